#include "unlocked.hpp"

#include "py_ref.hpp"

namespace quarn::py {

namespace {

unsigned long main_thread_ident = 0;
bool main_thread_known = false;

}  // namespace

bool find_main_thread() noexcept {
  Ref threading(PyImport_ImportModule("threading"));
  if (!threading) return false;
  Ref main(PyObject_CallMethod(threading.get(), "main_thread", nullptr));
  if (!main) return false;
  Ref ident(PyObject_GetAttrString(main.get(), "ident"));
  if (!ident) return false;
  const unsigned long value = PyLong_AsUnsignedLong(ident.get());
  if (value == static_cast<unsigned long>(-1) && PyErr_Occurred()) return false;
  main_thread_ident = value;
  main_thread_known = true;
  return true;
}

bool on_main_thread() noexcept { return main_thread_known && PyThread_get_thread_ident() == main_thread_ident; }

}  // namespace quarn::py
