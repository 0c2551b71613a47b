// Loading a file without the interpreter lock, for quarn.load and the many-file loaders.
#pragma once

#include <Python.h>

namespace quarn::py {

// (path,) with `path` the file-system path as bytes -> (Structure, None) on success, or
// (None, (kind text, message, detail bytes or None, os errno or 0, line or None, display text)) for
// a reader failure. The file is read, inflated and parsed with the lock released, so Python threads
// calling this load files in parallel. nullptr with an exception set for a wrong argument type and
// for memory exhaustion (MemoryError); never throws.
PyObject* load_file(PyObject* module, PyObject* args) noexcept;

}  // namespace quarn::py
