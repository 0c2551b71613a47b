#include "arguments.hpp"

#include <string>

namespace quarn::py {

namespace {

// The bare name of the value's type, for messages; falls back to "object" when even that fails.
Ref type_name(PyObject* value) noexcept {
  Ref name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__name__"));
  if (!name || !PyUnicode_Check(name.get())) {
    PyErr_Clear();
    name = Ref(PyUnicode_FromString("object"));
  }
  return name;
}

// numpy.bool_, when numpy is loaded; without numpy no value can be one, so numpy is never imported.
bool is_numpy_bool(PyObject* value) noexcept {
  PyObject* modules = PySys_GetObject("modules");  // borrowed
  if (modules == nullptr) return false;
  Ref numpy(PyMapping_GetItemString(modules, "numpy"));
  if (!numpy) {
    PyErr_Clear();
    return false;
  }
  Ref bool_type(PyObject_GetAttrString(numpy.get(), "bool_"));
  if (!bool_type) {
    PyErr_Clear();
    return false;
  }
  return reinterpret_cast<PyObject*>(Py_TYPE(value)) == bool_type.get();
}

}  // namespace

bool Arguments::bind(PyObject* args, PyObject* kwargs) {
  const Py_ssize_t given = args == nullptr ? 0 : PyTuple_Size(args);
  if (given < 0) return false;
  if (static_cast<std::size_t>(given) > sig_.count) {
    if (sig_.required == sig_.count) {
      PyErr_Format(PyExc_TypeError, "%s() takes %zu positional argument%s but %zd were given", sig_.callable,
                   sig_.count, sig_.count == 1 ? "" : "s", given);
    } else {
      PyErr_Format(PyExc_TypeError, "%s() takes from %zu to %zu positional arguments but %zd were given",
                   sig_.callable, sig_.required, sig_.count, given);
    }
    return false;
  }
  for (Py_ssize_t i = 0; i < given; ++i) {
    PyObject* value = PyTuple_GetItem(args, i);
    if (value == nullptr) return false;
    slots_[static_cast<std::size_t>(i)] = Ref::borrow(value);
  }

  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", sig_.callable);
        return false;
      }
      std::size_t slot = sig_.count;
      for (std::size_t i = 0; i < sig_.count; ++i) {
        if (PyUnicode_CompareWithASCIIString(key, sig_.names[i]) == 0) slot = i;
      }
      if (slot == sig_.count) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig_.callable, key);
        return false;
      }
      if (slots_[slot]) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig_.callable,
                     sig_.names[slot]);
        return false;
      }
      slots_[slot] = Ref::borrow(value);
    }
  }

  std::array<const char*, kMaxParameters> missing_names{};
  std::size_t missing = 0;
  for (std::size_t i = 0; i < sig_.required; ++i) {
    if (!slots_[i]) missing_names[missing++] = sig_.names[i];
  }
  if (missing == 0) return true;
  std::string listed;  // "'a'", "'a' and 'b'", "'a', 'b' and 'c'", as the interpreter words it
  for (std::size_t k = 0; k < missing; ++k) {
    if (k > 0) listed += k + 1 == missing ? " and " : ", ";
    listed += '\'';
    listed += missing_names[k];
    listed += '\'';
  }
  PyErr_Format(PyExc_TypeError, "%s() missing %zu required argument%s: %s", sig_.callable, missing,
               missing == 1 ? "" : "s", listed.c_str());
  return false;
}

void Arguments::refuse_type(std::size_t i, const char* expected, PyObject* value) const noexcept {
  Ref name = type_name(value);
  if (!name) return;
  PyErr_Format(PyExc_TypeError, "%s() argument '%s': must be %s, not %U", sig_.callable, sig_.names[i], expected,
               name.get());
}

void Arguments::name_type_error(std::size_t i) const noexcept {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  Ref owned_type(type), owned_traceback(traceback);
  Ref owned_value(value);
  Ref message(value != nullptr ? PyObject_Str(value) : nullptr);
  if (!message) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "%s() argument '%s': wrong type", sig_.callable, sig_.names[i]);
    return;
  }
  PyErr_Format(PyExc_TypeError, "%s() argument '%s': %U", sig_.callable, sig_.names[i], message.get());
}

bool Arguments::real_of(PyObject* value, std::size_t i, double* out) const noexcept {
  const double v = PyFloat_AsDouble(value);
  if (v == -1.0 && PyErr_Occurred()) {
    name_type_error(i);
    return false;
  }
  *out = v;
  return true;
}

bool Arguments::real(std::size_t i, double* out) const noexcept { return real_of(slots_[i].get(), i, out); }

bool Arguments::count_of(PyObject* value, std::size_t i, std::uint64_t* out) const noexcept {
  Ref integer(PyNumber_Index(value));
  if (!integer) {
    name_type_error(i);
    return false;
  }
  const unsigned long long v = PyLong_AsUnsignedLongLong(integer.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
      PyErr_Clear();
      PyErr_Format(PyExc_OverflowError, "%s() argument '%s': %R is not in the range 0 to 2**64 - 1",
                   sig_.callable, sig_.names[i], integer.get());
    }
    return false;
  }
  *out = v;
  return true;
}

bool Arguments::count(std::size_t i, std::uint64_t* out) const noexcept {
  return count_of(slots_[i].get(), i, out);
}

bool Arguments::flag(std::size_t i, bool* out) const noexcept {
  PyObject* value = slots_[i].get();
  if (value == Py_True || value == Py_False) {
    *out = value == Py_True;
    return true;
  }
  if (!is_numpy_bool(value)) {
    refuse_type(i, "True or False", value);
    return false;
  }
  Ref truth(PyObject_CallMethod(value, "__bool__", nullptr));
  if (!truth) {
    name_type_error(i);
    return false;
  }
  if (!PyBool_Check(truth.get())) {
    Ref name = type_name(truth.get());
    if (name) {
      PyErr_Format(PyExc_TypeError, "%s() argument '%s': __bool__ returned %U, not bool", sig_.callable,
                   sig_.names[i], name.get());
    }
    return false;
  }
  *out = truth.get() == Py_True;
  return true;
}

bool Arguments::point(std::size_t i, Vec3* out) const noexcept {
  PyObject* value = slots_[i].get();
  if (!PyTuple_Check(value)) {
    refuse_type(i, "a tuple of three numbers", value);
    return false;
  }
  const Py_ssize_t length = PyTuple_Size(value);
  if (length != 3) {
    PyErr_Format(PyExc_ValueError, "%s() argument '%s': expected a tuple of length 3, got length %zd",
                 sig_.callable, sig_.names[i], length);
    return false;
  }
  double xyz[3];
  for (Py_ssize_t k = 0; k < 3; ++k) {
    if (!real_of(PyTuple_GetItem(value, k), i, &xyz[k])) return false;
  }
  *out = Vec3{xyz[0], xyz[1], xyz[2]};
  return true;
}

bool Arguments::index_list(std::size_t i, std::vector<std::uint64_t>* out) const {
  PyObject* value = slots_[i].get();
  if (PyUnicode_Check(value) || !PySequence_Check(value)) {
    refuse_type(i, "a sequence of atom indices", value);
    return false;
  }
  Ref iterator(PyObject_GetIter(value));
  if (!iterator) {
    name_type_error(i);
    return false;
  }
  out->clear();
  while (Ref item{PyIter_Next(iterator.get())}) {
    std::uint64_t index = 0;
    if (!count_of(item.get(), i, &index)) return false;
    out->push_back(index);
  }
  return !PyErr_Occurred();
}

Ref path_bytes(PyObject* value) noexcept {
  Ref path(PyOS_FSPath(value));
  Ref encoded;
  if (path && PyUnicode_Check(path.get())) encoded = Ref(PyUnicode_EncodeFSDefault(path.get()));
  if (encoded) return encoded;
  // An interrupt, an exit or exhausted memory during __fspath__ is not a bad path: it goes on unchanged.
  if (PyErr_Occurred() && (PyErr_ExceptionMatches(PyExc_MemoryError) || !PyErr_ExceptionMatches(PyExc_Exception))) {
    return encoded;
  }
  PyErr_Clear();
  PyErr_SetString(PyExc_OSError, "path must be str or os.PathLike");
  return encoded;
}

}  // namespace quarn::py
