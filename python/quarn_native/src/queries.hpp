// The array forms of the queries. Each converts its arguments as the matching quarn_parser method
// does, makes the same single core call with the interpreter lock released, and returns the core's
// own rows as Columns (quarn.Column) that share them without a copy. METH_VARARGS functions of
// quarn._native, called positionally by the Python layer with the Structure first; nullptr with an
// exception set on failure; never throw.
#pragma once

#include <Python.h>

namespace quarn::py {

// (structure, cutoff, max_results) -> (first, second, distance, classification)
PyObject* contacts_arrays(PyObject* module, PyObject* args) noexcept;

// (structure,) -> (first, second)
PyObject* explicit_bond_arrays(PyObject* module, PyObject* args) noexcept;

// (structure, include_geometric, tolerance) -> (indptr, indices, bond_type)
PyObject* bond_graph_arrays(PyObject* module, PyObject* args) noexcept;

// (structure, atom_indices) -> (atom_indices, distances)
PyObject* distance_matrix_arrays(PyObject* module, PyObject* args) noexcept;

// (structure, origins, max_distance, max_results) -> (offsets, indices, distances)
PyObject* nearest_atoms_arrays(PyObject* module, PyObject* args) noexcept;

// (indptr, indices, bond_type) of bond_graph -> (first, second, bond_type) of the entries whose atom
// is below their neighbour, in CSR order: each bond once. Not a core query: a reading of its result.
PyObject* graph_edge_arrays(PyObject* module, PyObject* args) noexcept;

}  // namespace quarn::py
