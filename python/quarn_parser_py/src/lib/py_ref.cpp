#include "py_ref.hpp"

// The companion package builds this file too, and names its own exception type.
#ifndef QUARN_INTERNAL_ERROR_NAME
#define QUARN_INTERNAL_ERROR_NAME "quarn_parser.InternalError"
#endif

namespace quarn::py {

namespace {

// Calls gc.<name>() and returns its result, or nullptr with the error cleared.
PyObject* call_gc(const char* name) noexcept {
  // gc is a built-in module, so this is a lookup in sys.modules, not an import from disk.
  Ref gc(PyImport_ImportModule("gc"));
  Ref result(gc ? PyObject_CallMethod(gc.get(), name, nullptr) : nullptr);
  if (!result) PyErr_Clear();
  return result.release();
}

}  // namespace

CollectorPause::CollectorPause() noexcept {
  Ref enabled(call_gc("isenabled"));
  if (!enabled || enabled.get() != Py_True) return;
  Ref done(call_gc("disable"));
  paused_ = static_cast<bool>(done);
}

CollectorPause::~CollectorPause() {
  if (!paused_) return;
  // A failed call leaves its exception set; the interpreter may not be called with one pending.
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  Ref done(call_gc("enable"));
  PyErr_Restore(type, value, traceback);
}

PyObject* internal_error_type() noexcept {
  // Lives for the process, like the module's types (the module is single-phase and never unloaded).
  static PyObject* type = nullptr;
  if (type == nullptr) type = PyErr_NewException(QUARN_INTERNAL_ERROR_NAME, PyExc_BaseException, nullptr);
  return type;
}

PyObject* raise_internal(const char* message) noexcept {
  PyObject* type = internal_error_type();
  if (type != nullptr) PyErr_SetString(type, message);
  return nullptr;
}

PyObject* raise_memory(const char* message) noexcept {
  PyErr_SetString(PyExc_MemoryError, message);
  return nullptr;
}

PyObject* text(std::string_view utf8) noexcept {
  PyObject* s = PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "strict");
  if (s == nullptr && PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
    PyErr_Clear();
    return raise_internal("stored text is not valid UTF-8");
  }
  return s;
}

}  // namespace quarn::py
