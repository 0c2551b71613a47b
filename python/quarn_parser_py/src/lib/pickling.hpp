// Pickling and copying of Structure and the six result classes, without a method on any of them.
#pragma once

#include <Python.h>

namespace quarn::py {

// Adds the private reconstructors (_restore_structure, _restore_atom_hit, ...; not in __all__) to
// `module` and registers with copyreg a reducer for each of the seven types, so that pickle (any
// protocol), copy.copy and copy.deepcopy work on them. A Structure reduces to its binary form
// (quarn/binary_form.hpp), a result to a tuple of its plain values. Every reconstructor checks what it
// is given and raises ValueError for anything a reducer could not have made. False with an exception
// set on failure. Called once, from module initialisation.
bool register_pickling(PyObject* module) noexcept;

}  // namespace quarn::py
