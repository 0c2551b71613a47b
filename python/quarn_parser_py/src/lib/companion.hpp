// The capsule through which the companion package quarn reaches the core model of Structure objects.
#pragma once

#include <Python.h>

namespace quarn::py {

// A new capsule holding the companion table (quarn/companion_api.hpp); nullptr with an exception set
// on failure. The table is static: the capsule owns nothing.
PyObject* companion_capsule() noexcept;

}  // namespace quarn::py
