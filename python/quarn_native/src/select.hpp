// Derived structures: the native half of quarn.select, model, altloc, euclidean and their origin.
// METH_VARARGS functions of quarn._native, called positionally by quarn/select.py; each derivation
// runs without the interpreter lock and returns a new quarn_parser.Structure. nullptr with an exception
// set on failure; never throw.
#pragma once

#include <Python.h>

namespace quarn::py {

// (structure, atoms) -> Structure; atoms is a boolean mask or a sequence of indices
PyObject* select_atoms(PyObject* module, PyObject* args) noexcept;

// (structure, model_num) -> Structure; model_num an int or None
PyObject* select_model(PyObject* module, PyObject* args) noexcept;

// (structure, alt_id) -> Structure; alt_id a str or None
PyObject* select_altloc(PyObject* module, PyObject* args) noexcept;

// (structure,) -> Structure without the cell
PyObject* select_euclidean(PyObject* module, PyObject* args) noexcept;

// (structure,) -> int64 Column of the parsed structure's index of each atom
PyObject* parent_index_column(PyObject* module, PyObject* args) noexcept;

// (structure,) -> ((a, b, c), (alpha, beta, gamma)) of the parsed structure, or None
PyObject* source_cell(PyObject* module, PyObject* args) noexcept;

}  // namespace quarn::py
