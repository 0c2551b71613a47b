#include "companion.hpp"

#include "py_ref.hpp"
#include "quarn/companion_api.hpp"
#include "results.hpp"
#include "structure_type.hpp"

namespace quarn::py {

namespace {

const companion::Api kApi = {
    companion::kApiVersion, sizeof(Structure), QUARN_PROJECT_VERSION, structure_of, new_structure,
};

}  // namespace

PyObject* companion_capsule() noexcept {
  return PyCapsule_New(const_cast<companion::Api*>(&kApi), companion::kCapsuleName, nullptr);
}

}  // namespace quarn::py
