#include "py_ref.hpp"

#include <cstdio>

// The collector's C interface of Python 3.10 and later, outside the 3.9 limited API the module is built
// for; weak, so that the module loads on 3.9, where they resolve to null.
extern "C" {
__attribute__((weak)) int PyGC_Enable(void);
__attribute__((weak)) int PyGC_Disable(void);
}

// The companion package builds this file too, and names its own exception type.
#ifndef QUARN_INTERNAL_ERROR_NAME
#define QUARN_INTERNAL_ERROR_NAME "quarn_parser.InternalError"
#endif

namespace quarn::py {

namespace {

// On 3.9 the collector is reached through the C functions behind gc.isenabled, gc.disable and
// gc.enable, found at initialisation and called directly: calling them through the interpreter could
// raise (a recursion check) and would refuse to run with an exception pending.
struct GcFunction {
  PyCFunction function = nullptr;
  PyObject* self = nullptr;  // the gc module, kept for the process

  PyObject* operator()() const noexcept { return function(self, nullptr); }
};

struct LegacyCollector {
  GcFunction isenabled, disable, enable;
  bool ready = false;
} legacy;

// Fills `out` from gc.<name> when that is the interpreter's own function without arguments; leaves it
// empty when gc was replaced. False with an exception set only when the attribute cannot be read.
bool find_gc_function(PyObject* gc, const char* name, GcFunction* out) noexcept {
  Ref f(PyObject_GetAttrString(gc, name));
  if (!f) return false;
  if (!PyCFunction_Check(f.get()) || PyCFunction_GetFlags(f.get()) != METH_NOARGS) return true;
  out->function = PyCFunction_GetFunction(f.get());
  out->self = PyCFunction_GetSelf(f.get());
  Py_XINCREF(out->self);
  return true;
}

}  // namespace

bool python_at_least(int major, int minor) noexcept {
  int running_major = 0, running_minor = 0;
  // Py_GetVersion() starts with "3.11.7 (main, ...".
  if (std::sscanf(Py_GetVersion(), "%d.%d", &running_major, &running_minor) != 2) return false;
  return running_major > major || (running_major == major && running_minor >= minor);
}

bool prepare_collector_pause() noexcept {
  if (PyGC_Disable != nullptr && PyGC_Enable != nullptr) return true;
  if (legacy.ready) return true;
  Ref gc(PyImport_ImportModule("gc"));
  if (!gc || !find_gc_function(gc.get(), "isenabled", &legacy.isenabled) ||
      !find_gc_function(gc.get(), "disable", &legacy.disable) ||
      !find_gc_function(gc.get(), "enable", &legacy.enable)) {
    return false;
  }
  legacy.ready = legacy.isenabled.function && legacy.disable.function && legacy.enable.function;
  return true;
}

CollectorPause::CollectorPause() noexcept {
  if (PyGC_Disable != nullptr && PyGC_Enable != nullptr) {
    paused_ = PyGC_Disable() == 1;  // the state before: 1 when it was running
    return;
  }
  if (!legacy.ready) return;
  // The gc functions without arguments cannot fail; they return None or a bool.
  Ref enabled(legacy.isenabled());
  if (enabled.get() != Py_True) return;
  Ref done(legacy.disable());
  paused_ = static_cast<bool>(done);
}

CollectorPause::~CollectorPause() {
  if (!paused_) return;
  if (PyGC_Enable != nullptr) {
    PyGC_Enable();
  } else {
    Ref done(legacy.enable());
  }
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
