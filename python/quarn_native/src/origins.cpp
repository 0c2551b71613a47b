#include "origins.hpp"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "py_ref.hpp"

namespace quarn::py {

namespace {

struct Refusal {
  const char* callable;

  bool operator()(PyObject* type, const std::string& why) const {
    PyErr_Format(type, "%s() argument 'origins': %s", callable, why.c_str());
    return false;
  }
};

template <class T>
double number_at(const std::byte* at) noexcept {
  T v;
  std::memcpy(&v, at, sizeof v);
  return static_cast<double>(v);
}

using Reader = double (*)(const std::byte*) noexcept;

// The reader of one element of an array interface's typestr: little-endian (or byte-sized) floats
// and integers; nullptr for anything else.
Reader reader_of(std::string_view typestr) noexcept {
  if (typestr.size() < 3 || (typestr[0] != '<' && typestr[0] != '|' && typestr[0] != '=')) return nullptr;
  const std::string_view type = typestr.substr(1);
  if (type == "f8") return number_at<double>;
  if (type == "f4") return number_at<float>;
  if (type == "i8") return number_at<std::int64_t>;
  if (type == "i4") return number_at<std::int32_t>;
  if (type == "i2") return number_at<std::int16_t>;
  if (type == "i1") return number_at<std::int8_t>;
  if (type == "u8") return number_at<std::uint64_t>;
  if (type == "u4") return number_at<std::uint32_t>;
  if (type == "u2") return number_at<std::uint16_t>;
  if (type == "u1") return number_at<std::uint8_t>;
  return nullptr;
}

bool finite(const Vec3& p) noexcept { return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z); }

bool check_finite(const Refusal& refuse, const std::vector<Vec3>& points) {
  for (std::size_t k = 0; k < points.size(); ++k) {
    if (!finite(points[k])) {
      return refuse(PyExc_ValueError, "origin " + std::to_string(k) + " has a coordinate that is not finite");
    }
  }
  return true;
}

// The UTF-8 text of a str; "?" when it has none.
std::string utf8_of(PyObject* text) {
  Ref bytes(PyUnicode_AsUTF8String(text));
  const char* utf8 = bytes ? PyBytes_AsString(bytes.get()) : nullptr;
  if (utf8 == nullptr) {
    PyErr_Clear();
    return "?";
  }
  return utf8;
}

std::string shape_text(PyObject* shape) {
  Ref shown(PyObject_Repr(shape));
  if (!shown) {
    PyErr_Clear();
    return "?";
  }
  return utf8_of(shown.get());
}

// 1 when read, 0 when `interface` is not a plain array in memory (the caller tries the sequence
// forms), -1 with an exception set.
int read_interface(const Refusal& refuse, PyObject* interface, std::vector<Vec3>* out) {
  PyObject* shape = PyDict_GetItemString(interface, "shape");  // borrowed, like the others
  PyObject* typestr = PyDict_GetItemString(interface, "typestr");
  PyObject* data = PyDict_GetItemString(interface, "data");
  PyObject* strides = PyDict_GetItemString(interface, "strides");
  PyObject* mask = PyDict_GetItemString(interface, "mask");
  if (shape == nullptr || typestr == nullptr || data == nullptr || !PyTuple_Check(shape) ||
      !PyUnicode_Check(typestr) || !PyTuple_Check(data) || PyTuple_Size(data) != 2 ||
      (mask != nullptr && mask != Py_None)) {
    return 0;
  }
  if (PyTuple_Size(shape) != 2) {
    refuse(PyExc_ValueError, "expected an m x 3 array, got shape " + shape_text(shape));
    return -1;
  }
  const Py_ssize_t rows = PyLong_AsSsize_t(PyTuple_GetItem(shape, 0));
  const Py_ssize_t columns = PyLong_AsSsize_t(PyTuple_GetItem(shape, 1));
  if (PyErr_Occurred()) return -1;
  if (columns != 3) {
    refuse(PyExc_ValueError, "expected an m x 3 array, got shape " + shape_text(shape));
    return -1;
  }
  const std::string type = utf8_of(typestr);
  const Reader read = reader_of(type);
  if (read == nullptr) {
    refuse(PyExc_TypeError, "expected an array of numbers, got element type '" + type + "'");
    return -1;
  }
  const Py_ssize_t size = std::atoi(type.c_str() + 2);
  Py_ssize_t step[2] = {3 * size, size};
  if (strides != nullptr && strides != Py_None) {
    if (!PyTuple_Check(strides) || PyTuple_Size(strides) != 2) return 0;
    step[0] = PyLong_AsSsize_t(PyTuple_GetItem(strides, 0));
    step[1] = PyLong_AsSsize_t(PyTuple_GetItem(strides, 1));
    if (PyErr_Occurred()) return -1;
  }
  const auto* base = static_cast<const std::byte*>(PyLong_AsVoidPtr(PyTuple_GetItem(data, 0)));
  if (PyErr_Occurred()) return -1;
  out->resize(static_cast<std::size_t>(rows));
  for (Py_ssize_t r = 0; r < rows; ++r) {
    const std::byte* at = base + r * step[0];
    (*out)[static_cast<std::size_t>(r)] = Vec3{read(at), read(at + step[1]), read(at + 2 * step[1])};
  }
  return 1;
}

bool read_sequences(const Refusal& refuse, PyObject* value, std::vector<Vec3>* out) {
  const char* expected = "expected an m x 3 array or a sequence of (x, y, z)";
  if (PyUnicode_Check(value) || PyBytes_Check(value) || !PySequence_Check(value)) {
    return refuse(PyExc_TypeError, expected);
  }
  const Py_ssize_t m = PySequence_Size(value);
  if (m < 0) return false;
  out->resize(static_cast<std::size_t>(m));
  for (Py_ssize_t k = 0; k < m; ++k) {
    Ref origin(PySequence_GetItem(value, k));
    if (!origin) return false;
    const std::string which = "origin " + std::to_string(k);
    if (PyUnicode_Check(origin.get()) || !PySequence_Check(origin.get())) {
      return refuse(PyExc_TypeError, which + " is not a sequence of three numbers");
    }
    const Py_ssize_t length = PySequence_Size(origin.get());
    if (length < 0) return false;
    if (length != 3) {
      return refuse(PyExc_ValueError, which + " has " + std::to_string(length) + " coordinates, not 3");
    }
    double c[3];
    for (Py_ssize_t i = 0; i < 3; ++i) {
      Ref coordinate(PySequence_GetItem(origin.get(), i));
      if (!coordinate) return false;
      c[i] = PyFloat_AsDouble(coordinate.get());
      if (c[i] == -1.0 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
        PyErr_Clear();
        return refuse(PyExc_TypeError, which + " has a coordinate that is not a number");
      }
    }
    (*out)[static_cast<std::size_t>(k)] = Vec3{c[0], c[1], c[2]};
  }
  return true;
}

}  // namespace

bool origins_arg(const char* callable, PyObject* value, std::vector<Vec3>* out) {
  const Refusal refuse{callable};
  Ref interface(PyObject_GetAttrString(value, "__array_interface__"));
  if (!interface) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
  } else if (PyDict_Check(interface.get())) {
    const int read = read_interface(refuse, interface.get(), out);
    if (read < 0) return false;
    if (read > 0) return check_finite(refuse, *out);
  }
  return read_sequences(refuse, value, out) && check_finite(refuse, *out);
}

}  // namespace quarn::py
