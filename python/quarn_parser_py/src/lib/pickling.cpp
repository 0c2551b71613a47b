/* Pickling and copying without a special method on any class.

   This part of the module roughly corresponds to::

      def _restore_structure(data): ...          # Structure from its binary form (bytes)
      def _restore_atom_hit(index, distance, label_atom_id, label_comp_id, chain_id, seq_id, element,
                            position): ...
      def _restore_residue_hit(comp_id, chain_id, seq_id, distance): ...
      def _restore_distance_matrix(atom_indices, distances): ...   # bytes of uint64 / float64
      def _restore_bond_neighbor(index, bond_type): ...
      def _restore_contact(first, second, distance, classification): ...
      def _restore_atom_profile(index, label_atom_id, label_comp_id, chain_id, seq_id, element,
                                occupancy, b_factor, formal_charge, position, electronegativity,
                                hybridization, neighbors): ...     # neighbors: ((index, bond_type), ...)

      copyreg.pickle(Structure, lambda s: (_restore_structure, (<binary form of s>,)))
      ...                                        # and likewise for each result class

   A reconstructor raises ValueError for anything its reducer could not have made.
*/

#include "pickling.hpp"

#include <bit>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "py_ref.hpp"
#include "quarn/binary_form.hpp"
#include "results.hpp"
#include "structure_type.hpp"

namespace quarn::py {

namespace {

static_assert(std::endian::native == std::endian::little, "matrices are pickled as little-endian bytes");

// The reconstructors, looked up once the module holds them; they live as long as the module.
enum Kind { kStructure, kAtomHit, kResidueHit, kDistanceMatrix, kBondNeighbor, kContact, kAtomProfile, kKinds };
PyObject* restorers[kKinds] = {};

// --- building a reduction ----------------------------------------------------------------------------

// A new tuple of `items`, each a new reference; nullptr (with the exception of the first failed item
// still set) when any item is missing.
PyObject* tuple_of(std::initializer_list<PyObject*> items) noexcept {
  std::vector<Ref> owned;
  try {
    owned.reserve(items.size());
  } catch (...) {
    for (PyObject* item : items) Py_XDECREF(item);
    return PyErr_NoMemory();
  }
  for (PyObject* item : items) owned.emplace_back(item);
  for (const Ref& item : owned) {
    if (!item) return nullptr;
  }
  Ref tuple(PyTuple_New(static_cast<Py_ssize_t>(owned.size())));
  if (!tuple) return nullptr;
  for (std::size_t k = 0; k < owned.size(); ++k) PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(k), owned[k].release());
  return tuple.release();
}

// Whether a reducer was handed an object of its own type: copyreg's table is open to any caller.
bool own(PyObject* self, PyObject* type) noexcept {
  if (type != nullptr && Py_TYPE(self) == reinterpret_cast<PyTypeObject*>(type)) return true;
  if (type != nullptr) PyErr_SetString(PyExc_TypeError, "a quarn_parser reducer was given an object of another type");
  return false;
}

// (restorer, state): what copyreg expects of a reducer.
PyObject* reduction(Kind kind, PyObject* state) noexcept { return tuple_of({Ref::borrow(restorers[kind]).release(), state}); }

PyObject* optional_bond_type(const std::optional<BondType>& type) noexcept {
  if (!type) Py_RETURN_NONE;
  return text(bond_type_text(*type));
}

PyObject* bytes_of(const void* data, std::size_t size) noexcept {
  return PyBytes_FromStringAndSize(static_cast<const char*>(data), static_cast<Py_ssize_t>(size));
}

// --- reading a state back ----------------------------------------------------------------------------

// The arguments of one reconstructor: each read checks its item's type and range strictly and, on the
// first mismatch, raises ValueError naming the class and the item; later reads then do nothing.
class State {
 public:
  State(const char* type, PyObject* args, std::initializer_list<const char*> names) noexcept
      : type_(type), args_(args), names_(names.begin()), count_(names.size()) {
    if (PyTuple_Size(args) != static_cast<Py_ssize_t>(count_)) {
      PyErr_Clear();
      PyErr_Format(PyExc_ValueError, "cannot restore %s: expected %zu values", type_, count_);
      failed_ = true;
    }
  }

  bool failed() const noexcept { return failed_; }

  std::uint64_t index(std::size_t k) noexcept {
    PyObject* v = item(k);
    if (!v) return 0;
    if (PyLong_Check(v)) {
      const unsigned long long n = PyLong_AsUnsignedLongLong(v);
      if (!(n == static_cast<unsigned long long>(-1) && PyErr_Occurred())) return n;
    }
    return refuse(k, "an int from 0 to 2**64 - 1");
  }

  double real(std::size_t k) noexcept {
    PyObject* v = item(k);
    if (!v) return 0;
    if (PyFloat_Check(v)) return PyFloat_AsDouble(v);
    return refuse(k, "a float");
  }

  std::optional<double> optional_real(std::size_t k) noexcept {
    if (none(k)) return std::nullopt;
    return real(k);
  }

  std::optional<std::int32_t> optional_int32(std::size_t k) noexcept {
    if (none(k)) return std::nullopt;
    PyObject* v = item(k);
    if (!v) return std::nullopt;
    if (PyLong_Check(v)) {
      int overflow = 0;
      const long long n = PyLong_AsLongLongAndOverflow(v, &overflow);
      if (overflow == 0 && !PyErr_Occurred() && n >= INT32_MIN && n <= INT32_MAX) return static_cast<std::int32_t>(n);
    }
    refuse(k, "an int of 32 bits or None");
    return std::nullopt;
  }

  std::optional<std::string> optional_text(std::size_t k) {
    if (none(k)) return std::nullopt;
    PyObject* v = item(k);
    if (!v) return std::nullopt;
    if (PyUnicode_Check(v)) {
      Ref utf8(PyUnicode_AsUTF8String(v));
      char* data = nullptr;
      Py_ssize_t size = 0;
      if (utf8 && PyBytes_AsStringAndSize(utf8.get(), &data, &size) == 0) {
        return std::string(data, static_cast<std::size_t>(size));
      }
    }
    refuse(k, "a str or None");
    return std::nullopt;
  }

  std::optional<Vec3> optional_point(std::size_t k) noexcept {
    if (none(k)) return std::nullopt;
    PyObject* v = item(k);
    if (!v) return std::nullopt;
    if (PyTuple_Check(v) && PyTuple_Size(v) == 3) {
      double xyz[3];
      bool floats = true;
      for (Py_ssize_t c = 0; c < 3 && floats; ++c) {
        PyObject* coordinate = PyTuple_GetItem(v, c);
        floats = PyFloat_Check(coordinate);
        if (floats) xyz[c] = PyFloat_AsDouble(coordinate);
      }
      if (floats) return Vec3{xyz[0], xyz[1], xyz[2]};
    }
    refuse(k, "a tuple of three floats or None");
    return std::nullopt;
  }

  // A word of `vocabulary` (the texts of codes 0 to size - 1), as its code; None is allowed when
  // `optional`.
  template <class Code>
  std::optional<Code> word(std::size_t k, std::string_view (*vocabulary)(Code), int size, bool optional) {
    if (optional && none(k)) return std::nullopt;
    const std::optional<std::string> t = optional_text(k);
    if (t) {
      for (int c = 0; c < size; ++c) {
        if (vocabulary(static_cast<Code>(c)) == *t) return static_cast<Code>(c);
      }
    }
    refuse(k, optional ? "a word of its vocabulary or None" : "a word of its vocabulary");
    return std::nullopt;
  }

  // A bytes object's contents; its length must be a multiple of `unit`.
  std::string_view bytes(std::size_t k, std::size_t unit) noexcept {
    PyObject* v = item(k);
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (v && PyBytes_Check(v) && PyBytes_AsStringAndSize(v, &data, &size) == 0 && size % static_cast<Py_ssize_t>(unit) == 0) {
      return {data, static_cast<std::size_t>(size)};
    }
    if (v) refuse(k, "bytes of whole values");
    return {};
  }

  // The item itself (borrowed), or nullptr once a read has failed.
  PyObject* item(std::size_t k) noexcept { return failed_ ? nullptr : PyTuple_GetItem(args_, static_cast<Py_ssize_t>(k)); }

  // Raises the ValueError for item k (unless one is raised already); returns 0 for the caller to return.
  int refuse(std::size_t k, const char* expected) noexcept {
    if (!failed_) {
      PyErr_Clear();
      PyErr_Format(PyExc_ValueError, "cannot restore %s: %s must be %s", type_, names_[k], expected);
      failed_ = true;
    }
    return 0;
  }

 private:
  bool none(std::size_t k) noexcept { return item(k) == Py_None; }

  const char* type_;
  PyObject* args_;
  const char* const* names_;
  std::size_t count_;
  bool failed_ = false;
};

// --- Structure ---------------------------------------------------------------------------------------

PyObject* reduce_structure(PyObject*, PyObject* self) noexcept {
  return guarded([self]() -> PyObject* {
    if (!own(self, structure_type())) return nullptr;
    const std::string form = write_binary_form(value_of<Structure>(self));
    return reduction(kStructure, tuple_of({bytes_of(form.data(), form.size())}));
  });
}

PyObject* restore_structure(PyObject*, PyObject* data) noexcept {
  return guarded([data]() -> PyObject* {
    char* bytes = nullptr;
    Py_ssize_t size = 0;
    if (!PyBytes_Check(data) || PyBytes_AsStringAndSize(data, &bytes, &size) != 0) {
      PyErr_Clear();
      PyErr_SetString(PyExc_ValueError, "cannot restore Structure: its data must be bytes");
      return nullptr;
    }
    auto loaded = read_binary_form(std::string_view(bytes, static_cast<std::size_t>(size)));
    if (!loaded) {
      Ref message(text("cannot restore Structure: " + loaded.error().message));
      if (message) PyErr_SetObject(PyExc_ValueError, message.get());
      return nullptr;
    }
    return new_structure(std::move(*loaded));
  });
}

// --- AtomHit, ResidueHit, BondNeighbor, Contact ------------------------------------------------------

PyObject* reduce_atom_hit(PyObject*, PyObject* self) noexcept {
  return guarded([self]() -> PyObject* {
    if (!own(self, atom_hit_type())) return nullptr;
    const AtomHitValue& v = value_of<AtomHitValue>(self);
    return reduction(kAtomHit, tuple_of({PyLong_FromUnsignedLongLong(v.index), PyFloat_FromDouble(v.distance),
                                         optional_text(v.atom.label_atom_id), optional_text(v.atom.label_comp_id),
                                         optional_text(v.atom.chain_id), optional_int(v.atom.seq_id),
                                         optional_text(v.atom.element), optional_point(v.atom.position)}));
  });
}

PyObject* restore_atom_hit(PyObject*, PyObject* args) noexcept {
  return guarded([args]() -> PyObject* {
    State in("AtomHit", args, {"index", "distance", "label_atom_id", "label_comp_id", "chain_id", "seq_id", "element",
                               "position"});
    AtomHitValue v{in.index(0), in.real(1),
                   AtomIdentity{in.optional_text(2), in.optional_text(3), in.optional_text(4), in.optional_int32(5),
                                in.optional_text(6), in.optional_point(7)}};
    PyObject* type = atom_hit_type();
    return in.failed() || type == nullptr ? nullptr : box(type, std::move(v));
  });
}

PyObject* reduce_residue_hit(PyObject*, PyObject* self) noexcept {
  return guarded([self]() -> PyObject* {
    if (!own(self, residue_hit_type())) return nullptr;
    const ResidueHitValue& v = value_of<ResidueHitValue>(self);
    return reduction(kResidueHit, tuple_of({optional_text(v.comp_id), optional_text(v.chain_id),
                                            optional_int(v.seq_id), PyFloat_FromDouble(v.distance)}));
  });
}

PyObject* restore_residue_hit(PyObject*, PyObject* args) noexcept {
  return guarded([args]() -> PyObject* {
    State in("ResidueHit", args, {"comp_id", "chain_id", "seq_id", "distance"});
    ResidueHitValue v{in.optional_text(0), in.optional_text(1), in.optional_int32(2), in.real(3)};
    PyObject* type = residue_hit_type();
    return in.failed() || type == nullptr ? nullptr : box(type, std::move(v));
  });
}

PyObject* reduce_bond_neighbor(PyObject*, PyObject* self) noexcept {
  return guarded([self]() -> PyObject* {
    if (!own(self, bond_neighbor_type())) return nullptr;
    const BondEntry& v = value_of<BondEntry>(self);
    return reduction(kBondNeighbor, tuple_of({PyLong_FromUnsignedLongLong(v.neighbor), optional_bond_type(v.bond_type)}));
  });
}

PyObject* restore_bond_neighbor(PyObject*, PyObject* args) noexcept {
  return guarded([args]() -> PyObject* {
    State in("BondNeighbor", args, {"index", "bond_type"});
    BondEntry v{in.index(0), in.word(1, bond_type_text, 9, true)};
    PyObject* type = bond_neighbor_type();
    return in.failed() || type == nullptr ? nullptr : box(type, std::move(v));
  });
}

PyObject* reduce_contact(PyObject*, PyObject* self) noexcept {
  return guarded([self]() -> PyObject* {
    if (!own(self, contact_type())) return nullptr;
    const Contact& v = value_of<Contact>(self);
    return reduction(kContact, tuple_of({PyLong_FromUnsignedLongLong(v.first), PyLong_FromUnsignedLongLong(v.second),
                                         PyFloat_FromDouble(v.distance), text(contact_class_text(v.classification))}));
  });
}

PyObject* restore_contact(PyObject*, PyObject* args) noexcept {
  return guarded([args]() -> PyObject* {
    State in("Contact", args, {"first", "second", "distance", "classification"});
    Contact v{in.index(0), in.index(1), in.real(2), ContactClass::covalent};
    if (const auto c = in.word(3, contact_class_text, 4, false)) v.classification = *c;
    PyObject* type = contact_type();
    return in.failed() || type == nullptr ? nullptr : box(type, std::move(v));
  });
}

// --- DistanceMatrix: raw values, since a large matrix is mostly its n * n doubles ----------------------

PyObject* reduce_distance_matrix(PyObject*, PyObject* self) noexcept {
  return guarded([self]() -> PyObject* {
    if (!own(self, distance_matrix_type())) return nullptr;
    const DistanceMatrixResult& m = value_of<DistanceMatrixResult>(self);
    return reduction(kDistanceMatrix,
                     tuple_of({bytes_of(m.atom_indices.data(), m.atom_indices.size() * sizeof(std::uint64_t)),
                               bytes_of(m.distances.data(), m.distances.size() * sizeof(double))}));
  });
}

PyObject* restore_distance_matrix(PyObject*, PyObject* args) noexcept {
  return guarded([args]() -> PyObject* {
    State in("DistanceMatrix", args, {"atom_indices", "distances"});
    const std::string_view indices = in.bytes(0, sizeof(std::uint64_t));
    const std::string_view distances = in.bytes(1, sizeof(double));
    if (in.failed()) return nullptr;
    const std::size_t n = indices.size() / sizeof(std::uint64_t);
    const std::size_t cells = distances.size() / sizeof(double);
    // n * n cells, checked without forming n * n.
    if (n == 0 ? cells != 0 : cells % n != 0 || cells / n != n) {
      in.refuse(1, "one float64 for each pair of atom_indices");
      return nullptr;
    }
    DistanceMatrixResult m;
    m.atom_indices.resize(n);
    m.distances.resize(cells);
    if (n != 0) {
      std::memcpy(m.atom_indices.data(), indices.data(), indices.size());
      std::memcpy(m.distances.data(), distances.data(), distances.size());
    }
    PyObject* type = distance_matrix_type();
    return type == nullptr ? nullptr : box(type, std::move(m));
  });
}

// --- AtomProfile -------------------------------------------------------------------------------------

PyObject* reduce_atom_profile(PyObject*, PyObject* self) noexcept {
  return guarded([self]() -> PyObject* {
    if (!own(self, atom_profile_type())) return nullptr;
    const AtomProfileValue& v = value_of<AtomProfileValue>(self);
    Ref neighbors(PyTuple_New(static_cast<Py_ssize_t>(v.neighbors.size())));
    if (!neighbors) return nullptr;
    for (std::size_t k = 0; k < v.neighbors.size(); ++k) {
      PyObject* pair = tuple_of({PyLong_FromUnsignedLongLong(v.neighbors[k].neighbor),
                                 optional_bond_type(v.neighbors[k].bond_type)});
      if (pair == nullptr) return nullptr;
      PyTuple_SetItem(neighbors.get(), static_cast<Py_ssize_t>(k), pair);
    }
    PyObject* hybridization = v.hybridization ? text(hybridization_text(*v.hybridization)) : Ref::borrow(Py_None).release();
    return reduction(kAtomProfile,
                     tuple_of({PyLong_FromUnsignedLongLong(v.index), optional_text(v.atom.label_atom_id),
                               optional_text(v.atom.label_comp_id), optional_text(v.atom.chain_id),
                               optional_int(v.atom.seq_id), optional_text(v.atom.element), optional_real(v.occupancy),
                               optional_real(v.b_factor), optional_int(v.formal_charge), optional_point(v.atom.position),
                               optional_real(v.electronegativity), hybridization, neighbors.release()}));
  });
}

PyObject* restore_atom_profile(PyObject*, PyObject* args) noexcept {
  return guarded([args]() -> PyObject* {
    State in("AtomProfile", args, {"index", "label_atom_id", "label_comp_id", "chain_id", "seq_id", "element",
                                   "occupancy", "b_factor", "formal_charge", "position", "electronegativity",
                                   "hybridization", "neighbors"});
    AtomProfileValue v{in.index(0),
                       AtomIdentity{in.optional_text(1), in.optional_text(2), in.optional_text(3), in.optional_int32(4),
                                    in.optional_text(5), in.optional_point(9)},
                       in.optional_real(6),
                       in.optional_real(7),
                       in.optional_int32(8),
                       in.optional_real(10),
                       in.word(11, hybridization_text, 3, true),
                       {}};
    PyObject* neighbors = in.item(12);
    if (neighbors && !PyTuple_Check(neighbors)) in.refuse(12, "a tuple of (index, bond_type) pairs");
    const Py_ssize_t count = in.failed() ? 0 : PyTuple_Size(neighbors);
    v.neighbors.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t k = 0; k < count && !in.failed(); ++k) {
      PyObject* pair = PyTuple_GetItem(neighbors, k);
      if (!PyTuple_Check(pair) || PyTuple_Size(pair) != 2) {
        in.refuse(12, "a tuple of (index, bond_type) pairs");
        break;
      }
      State entry("AtomProfile", pair, {"a neighbor's index", "a neighbor's bond_type"});
      v.neighbors.push_back(BondEntry{entry.index(0), entry.word(1, bond_type_text, 9, true)});
      if (entry.failed()) return nullptr;
    }
    PyObject* type = atom_profile_type();
    return in.failed() || type == nullptr ? nullptr : box(type, std::move(v));
  });
}

// --- registration ------------------------------------------------------------------------------------

template <class Function>
PyCFunction as_function(Function f) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef restorer_defs[] = {
    {"_restore_structure", as_function(restore_structure), METH_O, nullptr},
    {"_restore_atom_hit", as_function(restore_atom_hit), METH_VARARGS, nullptr},
    {"_restore_residue_hit", as_function(restore_residue_hit), METH_VARARGS, nullptr},
    {"_restore_distance_matrix", as_function(restore_distance_matrix), METH_VARARGS, nullptr},
    {"_restore_bond_neighbor", as_function(restore_bond_neighbor), METH_VARARGS, nullptr},
    {"_restore_contact", as_function(restore_contact), METH_VARARGS, nullptr},
    {"_restore_atom_profile", as_function(restore_atom_profile), METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// Reducers are plain callables in copyreg's table, never attributes of the module.
PyMethodDef reducer_defs[] = {
    {"reduce_structure", as_function(reduce_structure), METH_O, nullptr},
    {"reduce_atom_hit", as_function(reduce_atom_hit), METH_O, nullptr},
    {"reduce_residue_hit", as_function(reduce_residue_hit), METH_O, nullptr},
    {"reduce_distance_matrix", as_function(reduce_distance_matrix), METH_O, nullptr},
    {"reduce_bond_neighbor", as_function(reduce_bond_neighbor), METH_O, nullptr},
    {"reduce_contact", as_function(reduce_contact), METH_O, nullptr},
    {"reduce_atom_profile", as_function(reduce_atom_profile), METH_O, nullptr},
};

}  // namespace

bool register_pickling(PyObject* module) noexcept {
  if (PyModule_AddFunctions(module, restorer_defs) != 0) return false;
  PyObject* const types[kKinds] = {structure_type(),       atom_hit_type(),      residue_hit_type(),
                                   distance_matrix_type(), bond_neighbor_type(), contact_type(),
                                   atom_profile_type()};
  Ref copyreg(PyImport_ImportModule("copyreg"));
  if (!copyreg) return false;
  for (int k = 0; k < kKinds; ++k) {
    if (types[k] == nullptr) return false;
    // A new reference kept for the process, like the module that also holds it.
    restorers[k] = PyObject_GetAttrString(module, restorer_defs[k].ml_name);
    Ref reducer(PyCFunction_New(&reducer_defs[k], nullptr));
    if (restorers[k] == nullptr || !reducer) return false;
    Ref done(PyObject_CallMethod(copyreg.get(), "pickle", "OO", types[k], reducer.get()));
    if (!done) return false;
  }
  return true;
}

}  // namespace quarn::py
