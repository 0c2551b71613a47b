#include "py_ref.hpp"

namespace quarn::py {

PyObject* internal_error_type() noexcept {
  // Lives for the process, like the module's types (the module is single-phase and never unloaded).
  static PyObject* type = nullptr;
  if (type == nullptr) type = PyErr_NewException("quarn_parser.InternalError", PyExc_BaseException, nullptr);
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
