#include "select.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <numeric>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "column.hpp"
#include "py_ref.hpp"
#include "quarn/derive.hpp"
#include "structure_arg.hpp"
#include "unlocked.hpp"

namespace quarn::py {

namespace {

// The structure of a call (structure, *rest) with exactly `rest` more arguments.
const Structure* unpack(const char* callable, PyObject* args, Py_ssize_t rest, PyObject** extra) {
  PyObject* structure = nullptr;
  if (!PyArg_UnpackTuple(args, callable, 1 + rest, 1 + rest, &structure, extra)) return nullptr;
  return structure_arg(callable, structure);
}

PyObject* raise(PyObject* type, const char* callable, const char* parameter, const std::string& why) {
  PyErr_Format(type, "%s() argument '%s': %s", callable, parameter, why.c_str());
  return nullptr;
}

// The UTF-8 text of a str (the limited API of 3.9 has no direct view of it).
std::optional<std::string> utf8_of(PyObject* text) {
  Ref bytes(PyUnicode_AsUTF8String(text));
  char* data = nullptr;
  Py_ssize_t length = 0;
  if (!bytes || PyBytes_AsStringAndSize(bytes.get(), &data, &length) != 0) return std::nullopt;
  return std::string(data, static_cast<std::size_t>(length));
}

// str(value), or nothing with an exception set.
std::optional<std::string> shown(PyObject* value) {
  Ref text(PyObject_Str(value));
  if (!text) return std::nullopt;
  return utf8_of(text.get());
}

// Derives without the lock and wraps the result; refusals of the core are raised against `atoms`.
PyObject* derived(const Structure& parent, std::vector<std::uint64_t> indices, bool keep_cell) {
  auto result = without_lock([&] { return derive(parent, std::move(indices), keep_cell); });
  if (!result) {
    const DeriveError& e = result.error();
    const std::string index = std::to_string(e.index), n = std::to_string(parent.atom_count());
    switch (e.kind) {
      case DeriveError::kEmpty:
        return raise(PyExc_ValueError, "select", "atoms", "selects no atom; a structure has at least one");
      case DeriveError::kOutOfRange:
        return raise(PyExc_IndexError, "select", "atoms", "index " + index + " is out of range for " + n + " atoms");
      case DeriveError::kDuplicate:
        return raise(PyExc_ValueError, "select", "atoms", "index " + index + " is given twice");
    }
  }
  return quarn_parser_api().new_structure(std::move(*result));
}

// --- the selection argument ------------------------------------------------------------------------

struct Selection {
  bool is_mask = false;
  std::vector<std::uint64_t> indices;  // the selected indices, a mask already turned into them
};

// A 1-D array interface (numpy, quarn.Column): 1 when read, 0 when there is none to read, -1 with an
// exception set.
int read_array(PyObject* value, std::uint64_t n, Selection* out) {
  Ref interface(PyObject_GetAttrString(value, "__array_interface__"));
  if (!interface) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
  }
  if (!PyDict_Check(interface.get())) return 0;
  PyObject* shape = PyDict_GetItemString(interface.get(), "shape");  // borrowed, like the others
  PyObject* typestr = PyDict_GetItemString(interface.get(), "typestr");
  PyObject* data = PyDict_GetItemString(interface.get(), "data");
  PyObject* strides = PyDict_GetItemString(interface.get(), "strides");
  PyObject* mask = PyDict_GetItemString(interface.get(), "mask");
  if (shape == nullptr || typestr == nullptr || data == nullptr || !PyTuple_Check(shape) ||
      !PyUnicode_Check(typestr) || !PyTuple_Check(data) || PyTuple_Size(data) != 2 ||
      (mask != nullptr && mask != Py_None)) {
    return 0;
  }
  if (PyTuple_Size(shape) != 1) {
    raise(PyExc_ValueError, "select", "atoms", "expected a 1-D array");
    return -1;
  }
  const Py_ssize_t length = PyLong_AsSsize_t(PyTuple_GetItem(shape, 0));
  if (length < 0) return -1;
  const auto type = utf8_of(typestr);
  if (!type) return -1;
  const std::string& t = *type;
  const bool little = !t.empty() && (t[0] == '<' || t[0] == '|' || t[0] == '=');
  const char kind = t.size() >= 3 ? t[1] : '?';
  const int size = t.size() >= 3 ? std::atoi(t.c_str() + 2) : 0;
  const bool boolean = little && kind == 'b' && size == 1;
  const bool integer = little && (kind == 'i' || kind == 'u') && (size == 1 || size == 2 || size == 4 || size == 8);
  if (!boolean && !integer) {
    raise(PyExc_TypeError, "select", "atoms", "expected booleans or integers, got element type '" + t + "'");
    return -1;
  }
  Py_ssize_t step = size;
  if (strides != nullptr && strides != Py_None) {
    if (!PyTuple_Check(strides) || PyTuple_Size(strides) != 1) return 0;
    step = PyLong_AsSsize_t(PyTuple_GetItem(strides, 0));
    if (PyErr_Occurred()) return -1;
  }
  const auto* base = static_cast<const std::byte*>(PyLong_AsVoidPtr(PyTuple_GetItem(data, 0)));
  if (PyErr_Occurred()) return -1;
  out->is_mask = boolean;
  if (boolean && static_cast<std::uint64_t>(length) != n) {
    raise(PyExc_ValueError, "select", "atoms",
          "a mask of " + std::to_string(length) + " values for " + std::to_string(n) + " atoms");
    return -1;
  }
  for (Py_ssize_t k = 0; k < length; ++k) {
    const std::byte* at = base + k * step;
    if (boolean) {
      if (*at != std::byte{0}) out->indices.push_back(static_cast<std::uint64_t>(k));
      continue;
    }
    std::uint64_t u = 0;
    std::memcpy(&u, at, static_cast<std::size_t>(size));
    if (kind == 'i' && size < 8 && (u >> (8 * size - 1) & 1)) u |= ~std::uint64_t{0} << (8 * size);  // sign
    if (kind == 'i' && static_cast<std::int64_t>(u) < 0) {
      raise(PyExc_IndexError, "select", "atoms",
            "index " + std::to_string(static_cast<std::int64_t>(u)) + " is out of range for " + std::to_string(n) +
                " atoms");
      return -1;
    }
    out->indices.push_back(u);
  }
  return 1;
}

// One attribute of a range as a C integer; false with an exception set.
bool range_part(PyObject* range, const char* name, long long* out) {
  Ref part(PyObject_GetAttrString(range, name));
  if (!part) return false;
  *out = PyLong_AsLongLong(part.get());
  return !(*out == -1 && PyErr_Occurred());
}

// A range of indices, without a Python int per index. 1 when read, 0 when `value` is no range, -1
// with an exception set.
int read_range(PyObject* value, std::uint64_t n, Selection* out) {
  if (!PyObject_TypeCheck(value, &PyRange_Type)) return 0;
  const Py_ssize_t length = PyObject_Size(value);
  long long start = 0, step = 0;
  if (length < 0 || !range_part(value, "start", &start) || !range_part(value, "step", &step)) return -1;
  out->indices.reserve(static_cast<std::size_t>(length));
  for (Py_ssize_t k = 0; k < length; ++k) {
    const long long v = start + k * step;
    if (v < 0) {
      raise(PyExc_IndexError, "select", "atoms",
            "index " + std::to_string(v) + " is out of range for " + std::to_string(n) + " atoms");
      return -1;
    }
    out->indices.push_back(static_cast<std::uint64_t>(v));
  }
  return 1;
}

// A sequence of bools (a mask) or of integers (indices), one kind throughout.
bool read_sequence(PyObject* value, std::uint64_t n, Selection* out) {
  if (PyUnicode_Check(value) || PyBytes_Check(value) || !PySequence_Check(value)) {
    Ref type_name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__name__"));
    const auto name = type_name ? shown(type_name.get()) : std::nullopt;
    if (!name) return false;
    raise(PyExc_TypeError, "select", "atoms", "expected a boolean mask or a sequence of atom indices, not " + *name);
    return false;
  }
  Ref items(PySequence_Fast(value, "select() argument 'atoms': expected a sequence"));
  if (!items) return false;
  const Py_ssize_t length = PySequence_Size(items.get());
  if (length < 0) return false;
  if (length > 0) {
    Ref first(PySequence_GetItem(items.get(), 0));
    if (!first) return false;
    out->is_mask = PyBool_Check(first.get());
  }
  out->indices.reserve(static_cast<std::size_t>(length));
  for (Py_ssize_t k = 0; k < length; ++k) {
    Ref item(PySequence_GetItem(items.get(), k));
    if (!item) return false;
    if (PyBool_Check(item.get()) != out->is_mask) {
      raise(PyExc_TypeError, "select", "atoms", "mixes booleans and integers (item " + std::to_string(k) + ")");
      return false;
    }
    if (out->is_mask) {
      if (item.get() == Py_True) out->indices.push_back(static_cast<std::uint64_t>(k));
      continue;
    }
    Ref index(PyNumber_Index(item.get()));
    if (!index) {
      if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
      PyErr_Clear();
      raise(PyExc_TypeError, "select", "atoms", "item " + std::to_string(k) + " is neither a boolean nor an integer");
      return false;
    }
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow != 0 || v < 0) {
      const auto text = shown(index.get());
      if (!text) return false;
      raise(PyExc_IndexError, "select", "atoms", "index " + *text + " is out of range for " + std::to_string(n) + " atoms");
      return false;
    }
    out->indices.push_back(static_cast<std::uint64_t>(v));
  }
  if (out->is_mask && static_cast<std::uint64_t>(length) != n) {
    raise(PyExc_ValueError, "select", "atoms",
          "a mask of " + std::to_string(length) + " values for " + std::to_string(n) + " atoms");
    return false;
  }
  return true;
}

PyObject* select_body(PyObject* args) {
  PyObject* atoms = nullptr;
  const Structure* s = unpack("select", args, 1, &atoms);
  if (s == nullptr) return nullptr;
  Selection selection;
  int read = read_range(atoms, s->atom_count(), &selection);
  if (read == 0) read = read_array(atoms, s->atom_count(), &selection);
  if (read < 0 || (read == 0 && !read_sequence(atoms, s->atom_count(), &selection))) return nullptr;
  return derived(*s, std::move(selection.indices), true);
}

PyObject* model_body(PyObject* args) {
  PyObject* number = nullptr;
  const Structure* s = unpack("model", args, 1, &number);
  if (s == nullptr) return nullptr;
  std::optional<std::int32_t> wanted;
  bool exists = true;
  if (number != Py_None) {
    if (PyBool_Check(number) || !PyLong_Check(number)) {
      return raise(PyExc_TypeError, "model", "model_num", "must be int or None");
    }
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(number, &overflow);
    if (v == -1 && PyErr_Occurred()) return nullptr;
    exists = overflow == 0 && v >= INT32_MIN && v <= INT32_MAX;
    if (exists) wanted = static_cast<std::int32_t>(v);
  }
  std::vector<std::uint64_t> indices;
  if (exists) indices = without_lock([&] { return model_atoms(*s, wanted); });
  if (indices.empty()) {
    const auto text = shown(number);
    if (!text) return nullptr;
    return raise(PyExc_ValueError, "model", "model_num", "no atom has model number " + *text);
  }
  return derived(*s, std::move(indices), true);
}

PyObject* altloc_body(PyObject* args) {
  PyObject* alt = nullptr;
  const Structure* s = unpack("altloc", args, 1, &alt);
  if (s == nullptr) return nullptr;
  std::optional<std::string> wanted;
  if (alt != Py_None) {
    if (!PyUnicode_Check(alt)) return raise(PyExc_TypeError, "altloc", "alt_id", "must be str or None");
    wanted = utf8_of(alt);
    if (!wanted) return nullptr;
  }
  auto indices = without_lock([&] {
    return altloc_atoms(*s, wanted ? std::optional<std::string_view>(*wanted) : std::nullopt);
  });
  if (indices.empty()) {
    return raise(PyExc_ValueError, "altloc", "alt_id",
                 wanted ? "no atom has alternate location '" + *wanted + "'" : std::string("the structure has no atom"));
  }
  return derived(*s, std::move(indices), true);
}

PyObject* euclidean_body(PyObject* args) {
  const Structure* s = unpack("euclidean", args, 0, nullptr);
  if (s == nullptr) return nullptr;
  std::vector<std::uint64_t> all(s->atom_count());
  std::iota(all.begin(), all.end(), std::uint64_t{0});
  return derived(*s, std::move(all), false);
}

PyObject* parent_indices_body(PyObject* args) {
  const Structure* s = unpack("parent_indices", args, 0, nullptr);
  if (s == nullptr) return nullptr;
  auto indices = std::make_shared<std::vector<std::uint64_t>>();
  if (s->derivation) {
    *indices = s->derivation->parsed_indices;
  } else {
    indices->resize(s->atom_count());
    std::iota(indices->begin(), indices->end(), std::uint64_t{0});
  }
  // int64 like every index column (the core's indices are far below 2**63).
  return new_column(column_over(indices, indices->data(), Kind::i8, indices->size()));
}

PyObject* source_cell_body(PyObject* args) {
  const Structure* s = unpack("source_cell", args, 0, nullptr);
  if (s == nullptr) return nullptr;
  const std::optional<UnitCell>& cell = s->derivation ? s->derivation->parsed_cell : s->cell;
  if (!cell) Py_RETURN_NONE;
  return Py_BuildValue("((ddd)(ddd))", cell->a, cell->b, cell->c, cell->alpha, cell->beta, cell->gamma);
}

}  // namespace

PyObject* select_atoms(PyObject*, PyObject* args) noexcept { return guarded([&] { return select_body(args); }); }
PyObject* select_model(PyObject*, PyObject* args) noexcept { return guarded([&] { return model_body(args); }); }
PyObject* select_altloc(PyObject*, PyObject* args) noexcept { return guarded([&] { return altloc_body(args); }); }
PyObject* select_euclidean(PyObject*, PyObject* args) noexcept {
  return guarded([&] { return euclidean_body(args); });
}
PyObject* parent_index_column(PyObject*, PyObject* args) noexcept {
  return guarded([&] { return parent_indices_body(args); });
}
PyObject* source_cell(PyObject*, PyObject* args) noexcept { return guarded([&] { return source_cell_body(args); }); }

}  // namespace quarn::py
