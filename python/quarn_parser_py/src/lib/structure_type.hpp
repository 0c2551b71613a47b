// The Structure class: a parsed model as a Python object, with its three attributes and nine methods.
#pragma once

#include <Python.h>

#include "quarn/structure.hpp"

namespace quarn::py {

// The type object, created on first call and kept for the process; nullptr with an exception set when
// creation fails.
PyObject* structure_type() noexcept;

// The core model of `object` when it is a quarn_parser.Structure, for code that receives arbitrary
// objects (the methods' own `self` needs no check). nullptr with TypeError for anything else. Allocates
// nothing on success once the type exists; the model stays valid while `object` is alive.
const Structure* structure_of(PyObject* object) noexcept;

// A new Structure object that owns `model` from now on; nullptr with an exception set on failure
// (the model is then released).
PyObject* new_structure(Structure&& model) noexcept;

}  // namespace quarn::py
