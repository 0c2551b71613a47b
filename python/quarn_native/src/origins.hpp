// The query points of a batched search, converted from Python before the search starts.
#pragma once

#include <Python.h>

#include <vector>

#include "quarn/structure.hpp"

namespace quarn::py {

// Accepts an m x 3 array of numbers through its array interface (a numpy array of any float or
// integer type, a quarn.Column), read in place, or a sequence of m sequences of three numbers
// (tuples, lists). TypeError for anything else, ValueError for another shape or a coordinate that is
// not finite; each message names `callable` and the parameter 'origins'. false with the exception set
// on failure. May throw std::bad_alloc.
bool origins_arg(const char* callable, PyObject* value, std::vector<Vec3>* out);

}  // namespace quarn::py
