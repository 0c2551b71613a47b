// The six read-only result classes: the value each instance owns, their builders and their types.
#pragma once

#include <Python.h>

#include <cstdint>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "py_ref.hpp"
#include "quarn/analyze/adjacency.hpp"
#include "quarn/analyze/profile.hpp"
#include "quarn/analyze/search.hpp"
#include "quarn/bond_graph.hpp"
#include "quarn/contacts.hpp"
#include "quarn/structure.hpp"

namespace quarn::py {

// Identity fields that AtomHit and AtomProfile share, copied out of the atom so that a result
// outlives its Structure.
struct AtomIdentity {
  std::optional<std::string> label_atom_id;
  std::optional<std::string> label_comp_id;
  std::optional<std::string> chain_id;   // chain_of
  std::optional<std::int32_t> seq_id;    // seq_of
  std::optional<std::string> element;    // the stored type_symbol text
  std::optional<Vec3> position;          // position_of
};

struct AtomHitValue {
  std::uint64_t index;
  double distance;
  AtomIdentity atom;
};

struct ResidueHitValue {
  std::optional<std::string> comp_id;
  std::optional<std::string> chain_id;
  std::optional<std::int32_t> seq_id;
  double distance;
};

struct AtomProfileValue {
  std::uint64_t index;
  AtomIdentity atom;
  std::optional<double> occupancy;
  std::optional<double> b_factor;
  std::optional<std::int32_t> formal_charge;
  std::optional<double> electronegativity;
  std::optional<Hybridization> hybridization;
  std::vector<BondEntry> neighbors;      // adjacency order
};

// BondNeighbor owns a BondEntry, Contact a core Contact and DistanceMatrix a DistanceMatrixResult.

// Builders. May throw std::bad_alloc (string copies).
AtomIdentity atom_identity(const AtomSite& atom);
AtomHitValue atom_hit_value(const AtomSite& atom, std::uint64_t index, double distance);
ResidueHitValue residue_hit_value(const ResidueHitRecord& row);
AtomProfileValue atom_profile_value(const AtomSite& atom, AtomProfileRecord&& profile);

// Type objects, created on first call and kept for the process. nullptr with an exception set when
// creation fails.
PyObject* atom_hit_type() noexcept;
PyObject* residue_hit_type() noexcept;
PyObject* atom_profile_type() noexcept;
PyObject* bond_neighbor_type() noexcept;
PyObject* distance_matrix_type() noexcept;
PyObject* contact_type() noexcept;

// The type made from `spec` on first need, cached in `cache` for the process (the module is
// single-phase, so its types are never rebuilt). nullptr with an exception set when creation fails.
PyObject* lazy_type(PyObject*& cache, PyType_Spec& spec) noexcept;

// tp_new of every class: instances come only from the module.
PyObject* no_constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept;

// tp_alloc of every class, refusing with the same TypeError: object.__new__ allocates through it, so a
// class whose __new__ was replaced (possible while types are mutable, before 3.10) still cannot make an
// instance whose value was never constructed. Only box() makes instances, and it always fills them.
PyObject* no_allocation(PyTypeObject* type, Py_ssize_t items) noexcept;

// An instance's layout: the object header, then the value in raw storage (placement-constructed),
// which keeps the layout standard and the header first.
template <class Value>
struct Boxed {
  PyObject ob_base;
  alignas(Value) unsigned char storage[sizeof(Value)];
};

template <class Value>
Value& value_of(PyObject* self) noexcept {
  return *std::launder(reinterpret_cast<Value*>(reinterpret_cast<Boxed<Value>*>(self)->storage));
}

// A new instance of `type` owning `value`. Allocates with the object allocator directly, without the
// generic allocator's zero fill and checks: a million contacts spend their time in the core, not here.
// nullptr with MemoryError set when the memory is not there.
template <class Value>
PyObject* box(PyObject* type, Value&& value) noexcept {
  static_assert(std::is_nothrow_move_constructible_v<std::remove_cvref_t<Value>>);
  using V = std::remove_cvref_t<Value>;
  PyObject* self = static_cast<PyObject*>(PyObject_Malloc(sizeof(Boxed<V>)));
  if (self == nullptr) return PyErr_NoMemory();
  PyObject_Init(self, reinterpret_cast<PyTypeObject*>(type));  // takes a reference to the heap type
  ::new (static_cast<void*>(reinterpret_cast<Boxed<V>*>(self)->storage)) V(std::forward<Value>(value));
  return self;
}

// tp_dealloc of every class: destroys the value, frees the object, drops the reference to its type.
template <class Value>
void dealloc(PyObject* self) noexcept {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
  value_of<Value>(self).~Value();
  PyObject_Free(self);
  Py_DECREF(type);
}

// Getter slot around a reader of an instance's value; every read builds a fresh object, and a C++
// exception in the reader becomes a Python one.
template <class Value, PyObject* (*Read)(const Value&)>
PyObject* getter(PyObject* self, void*) noexcept {
  return guarded([self] { return Read(value_of<Value>(self)); });
}

// Below this many items a list is built with the collector running: pausing costs a few calls.
inline constexpr std::size_t kPauseCollectorItems = 4096;

// A list of `n` new objects, item i made by make(i) (a new reference or nullptr with an exception
// set); allocated at its final length and released whole when any item fails.
template <class Make>
PyObject* new_list(std::size_t n, Make&& make) {
  // Lists long enough to be worth it are filled with the collector paused (see CollectorPause).
  std::optional<CollectorPause> pause;
  if (n >= kPauseCollectorItems) pause.emplace();
  Ref list(PyList_New(static_cast<Py_ssize_t>(n)));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < n; ++i) {
    // Millions of objects take seconds: a signal handler's exception ends the call meanwhile.
    if ((i & 0xFFFF) == 0xFFFF && PyErr_CheckSignals() != 0) return nullptr;
    PyObject* item = make(i);
    if (item == nullptr) return nullptr;
    // Steals the item; cannot fail for an index inside a fresh list.
    if (PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item) != 0) return nullptr;
  }
  return list.release();
}

// One adjacency row as a list of new BondNeighbor objects of `type`, in order.
PyObject* bond_neighbor_list(PyObject* type, std::span<const BondEntry> row);

// Bytes the interpreter needs for the `distances` rows of a matrix over n atoms.
std::uint64_t distance_rows_bytes(std::uint64_t n) noexcept;

// Value converters shared by the getters of Structure and the result classes.
PyObject* optional_text(const std::optional<std::string>& text) noexcept;
PyObject* optional_int(std::optional<std::int32_t> value) noexcept;
PyObject* optional_real(std::optional<double> value) noexcept;
PyObject* point(const Vec3& p) noexcept;
PyObject* optional_point(const std::optional<Vec3>& p) noexcept;

}  // namespace quarn::py
