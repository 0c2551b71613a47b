// Columns of a Structure's atoms: every field of the atom record and the values the queries derive
// from it, one column per request. Each is called with the interpreter lock and releases it while it
// reads the atoms (the caller's Structure object keeps the model alive meanwhile); each allocates only
// the column it returns, and never throws.
#pragma once

#include <Python.h>

#include <string_view>

#include "quarn/structure.hpp"

namespace quarn::py {

// ((name, kind), ...) in table order, kind one of "text", "int", "real"; "position" (n x 3 reals)
// stands apart, since a table of 1-D columns holds its x, y and z instead.
PyObject* atom_fields() noexcept;

// The column `name` of every atom, in index order: a Column of float64 (NaN where absent) or of int32
// (-2147483648 where absent), an n x 3 Column for "position", or (codes, categories) for a text field:
// int32 codes into the tuple of distinct texts in order of first appearance, -1 where absent.
// KeyError for an unknown name; MemoryError when the column cannot fit.
PyObject* atom_column(const Structure& s, std::string_view name) noexcept;

// A bool Column, true where the field `name` is absent ("position": where any of x, y, z is).
PyObject* atom_absent(const Structure& s, std::string_view name) noexcept;

}  // namespace quarn::py
