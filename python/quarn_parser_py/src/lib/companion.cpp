#include "companion.hpp"

#include "py_ref.hpp"
#include "quarn/companion_api.hpp"
#include "results.hpp"
#include "structure_type.hpp"

namespace quarn::py {

namespace {

const Structure* structure_of(PyObject* object) noexcept {
  PyObject* type = structure_type();
  if (type == nullptr) return nullptr;
  // The class is final, so its own type is the only one to accept.
  if (reinterpret_cast<PyObject*>(Py_TYPE(object)) != type) {
    Ref name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__name__"));
    if (name) PyErr_Format(PyExc_TypeError, "must be quarn_parser.Structure, not %U", name.get());
    return nullptr;
  }
  return &value_of<Structure>(object);
}

const companion::Api kApi = {
    companion::kApiVersion, sizeof(Structure), QUARN_PROJECT_VERSION, structure_of, new_structure,
};

}  // namespace

PyObject* companion_capsule() noexcept {
  return PyCapsule_New(const_cast<companion::Api*>(&kApi), companion::kCapsuleName, nullptr);
}

}  // namespace quarn::py
