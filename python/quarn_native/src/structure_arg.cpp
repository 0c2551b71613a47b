#include "structure_arg.hpp"

#include <cstring>

#include "py_ref.hpp"
#include "quarn/companion_api.hpp"

namespace quarn::py {

namespace {
const companion::Api* api = nullptr;
}  // namespace

bool connect_to_quarn_parser() noexcept {
  const auto* table = static_cast<const companion::Api*>(PyCapsule_Import(companion::kCapsuleName, 0));
  if (table == nullptr) return false;
  // Both modules link their own copy of the core and exchange its Structure: they must be one build.
  if (table->version != companion::kApiVersion || table->structure_bytes != sizeof(Structure) ||
      std::strcmp(table->project_version, QUARN_PROJECT_VERSION) != 0) {
    PyErr_Format(PyExc_ImportError,
                 "quarn %s needs the quarn_parser of the same build, found quarn_parser %s (interface %u, not %u)",
                 QUARN_PROJECT_VERSION, table->project_version, table->version, companion::kApiVersion);
    return false;
  }
  api = table;
  return true;
}

const companion::Api& quarn_parser_api() noexcept { return *api; }

const Structure* structure_arg(const char* callable, PyObject* object) noexcept {
  const Structure* s = api->structure_of(object);
  if (s != nullptr || !PyErr_ExceptionMatches(PyExc_TypeError)) return s;
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  Ref owned_type(type), owned_value(value), owned_traceback(traceback);
  Ref message(value != nullptr ? PyObject_Str(value) : nullptr);
  if (!message) return nullptr;
  PyErr_Format(PyExc_TypeError, "%s() argument 'structure': %U", callable, message.get());
  return nullptr;
}

}  // namespace quarn::py
