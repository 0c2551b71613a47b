#include "structure_type.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "arguments.hpp"
#include "memory_budget.hpp"
#include "py_ref.hpp"
#include "quarn/analyze/adjacency.hpp"
#include "quarn/analyze/profile.hpp"
#include "quarn/analyze/search.hpp"
#include "quarn/contacts.hpp"
#include "results.hpp"

namespace quarn::py {

namespace {

const Structure& model(PyObject* self) noexcept { return value_of<Structure>(self); }

PyObject* refuse(const Refusal& refusal) noexcept {
  PyErr_SetString(PyExc_ValueError, refusal.message);
  return nullptr;
}

// Refuses, with MemoryError, converting `rows` core rows into Python objects of `needed` bytes in all
// when that cannot fit; the core's rows already exist, so this guards only the conversion.
bool room_for(const char* what, std::uint64_t rows, std::uint64_t needed) noexcept {
  std::uint64_t available = 0;
  if (fits_in_memory(needed, &available)) return true;
  PyErr_Format(PyExc_MemoryError,
               "%s: %llu results need %llu bytes as Python objects, more than the %llu bytes available", what,
               static_cast<unsigned long long>(rows), static_cast<unsigned long long>(needed),
               static_cast<unsigned long long>(available));
  return false;
}

// --- attributes --------------------------------------------------------------------------------------

PyObject* read_atom_count(const Structure& s) { return PyLong_FromUnsignedLongLong(s.atom_count()); }
PyObject* read_entry_id(const Structure& s) { return optional_text(s.entry_id); }
PyObject* read_space_group(const Structure& s) { return optional_text(s.space_group); }

// --- methods without parameters ----------------------------------------------------------------------

PyObject* unit_cell(PyObject* self, PyObject*) noexcept {
  return guarded([self]() -> PyObject* {
    const std::optional<UnitCell> cell = model(self).unit_cell();
    if (!cell) Py_RETURN_NONE;
    return Py_BuildValue("((ddd)(ddd))", cell->a, cell->b, cell->c, cell->alpha, cell->beta, cell->gamma);
  });
}

PyObject* bounding_box(PyObject* self, PyObject*) noexcept {
  return guarded([self]() -> PyObject* {
    const std::optional<BoundingBox> box = model(self).bounding_box();
    if (!box) Py_RETURN_NONE;
    return Py_BuildValue("((ddd)(ddd))", box->min.x, box->min.y, box->min.z, box->max.x, box->max.y, box->max.z);
  });
}

PyObject* explicit_bonds(PyObject* self, PyObject*) noexcept {
  return interruptible([self]() -> PyObject* {
    const auto pairs = model(self).explicit_bonds();
    const std::uint64_t needed = list_bytes(pairs.size(), kPyPairBytes + 2 * kPyIntBytes);
    if (!room_for("Structure.explicit_bonds", pairs.size(), needed)) return nullptr;
    return new_list(pairs.size(), [&](std::size_t k) {
      return Py_BuildValue("(KK)", static_cast<unsigned long long>(pairs[k].first),
                           static_cast<unsigned long long>(pairs[k].second));
    });
  });
}

// Moves `values` into a list of new objects of `type`, once it is clear that they fit in memory.
template <class Value>
PyObject* objects_of(const char* what, PyObject* type, std::vector<Value>& values) {
  if (type == nullptr || !room_for(what, values.size(), list_bytes(values.size(), sizeof(Boxed<Value>)))) {
    return nullptr;
  }
  return new_list(values.size(), [&](std::size_t k) { return box(type, std::move(values[k])); });
}

// --- methods with parameters -------------------------------------------------------------------------

constexpr Signature kContacts{"Structure.contacts", {"cutoff", "max_results", nullptr}, 2, 1};

PyObject* contacts(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return interruptible([&]() -> PyObject* {
    Arguments a(kContacts);
    double cutoff = 0;
    std::optional<std::uint64_t> max_results;
    if (!a.bind(args, kwargs) || !a.real(0, &cutoff)) return nullptr;
    if (!a.absent(1)) {
      std::uint64_t bound = 0;
      if (!a.count(1, &bound)) return nullptr;
      max_results = bound;
    }
    auto rows = quarn::contacts(model(self), cutoff, max_results);
    if (!rows) return refuse(rows.error());
    return objects_of("Structure.contacts", contact_type(), *rows);
  });
}

// The arguments of nearest_atoms and nearest_residues: a point, a radius and a count.
struct PointQuery {
  Vec3 origin{};
  double max_distance = 0;
  std::uint64_t max_results = 0;
};

bool bind_point_query(const Signature& signature, PyObject* args, PyObject* kwargs, PointQuery* q) {
  Arguments a(signature);
  return a.bind(args, kwargs) && a.point(0, &q->origin) && a.real(1, &q->max_distance) && a.count(2, &q->max_results);
}

constexpr Signature kNearestAtoms{"Structure.nearest_atoms", {"origin", "max_distance", "max_results"}, 3, 3};

PyObject* nearest_atoms(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return interruptible([&]() -> PyObject* {
    PointQuery q;
    if (!bind_point_query(kNearestAtoms, args, kwargs, &q)) return nullptr;
    const Structure& s = model(self);
    const std::vector<AtomHitRecord> hits = quarn::nearest_atoms(s, q.origin, q.max_distance, q.max_results);
    for (const AtomHitRecord& hit : hits) {
      if (hit.index >= s.atom_count()) return raise_internal("nearest_atoms returned an atom index out of range");
      // Why: the hits' atoms lie all over the structure, and reading them one by one waits for each
      // one's cache misses in turn; asked for all at once, the misses overlap.
      const char* record = reinterpret_cast<const char*>(&s.atoms[hit.index]);
      for (std::size_t at = 0; at < sizeof(AtomSite); at += 64) __builtin_prefetch(record + at);
      __builtin_prefetch(record + sizeof(AtomSite) - 1);
    }
    std::vector<AtomHitValue> values;
    values.reserve(hits.size());
    for (const AtomHitRecord& hit : hits) {
      values.push_back(atom_hit_value(s.atoms[hit.index], hit.index, hit.distance));
    }
    return objects_of("Structure.nearest_atoms", atom_hit_type(), values);
  });
}

constexpr Signature kNearestResidues{"Structure.nearest_residues", {"origin", "max_distance", "max_results"}, 3, 3};

PyObject* nearest_residues(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return interruptible([&]() -> PyObject* {
    PointQuery q;
    if (!bind_point_query(kNearestResidues, args, kwargs, &q)) return nullptr;
    const auto rows = quarn::nearest_residues(model(self), q.origin, q.max_distance, q.max_results);
    std::vector<ResidueHitValue> values;
    values.reserve(rows.size());
    for (const ResidueHitRecord& row : rows) values.push_back(residue_hit_value(row));
    return objects_of("Structure.nearest_residues", residue_hit_type(), values);
  });
}

constexpr Signature kDenseDistanceMatrix{"Structure.dense_distance_matrix", {"atom_indices", nullptr, nullptr}, 1, 0};

// What a matrix over n atoms costs: the core's n * n doubles and its index list, and the Python lists,
// floats and ints that reading its attributes builds.
std::uint64_t matrix_bytes(std::uint64_t n) noexcept {
  const std::uint64_t core = saturating_mul_add(n, saturating_mul_add(n, sizeof(double), sizeof(std::uint64_t)), 0);
  const std::uint64_t indices = saturating_mul_add(n, kPyPointerBytes + kPyIntBytes, kPyListBytes);
  return saturating_add(saturating_add(core, indices), distance_rows_bytes(n));
}

PyObject* dense_distance_matrix(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return interruptible([&]() -> PyObject* {
    Arguments a(kDenseDistanceMatrix);
    std::vector<std::uint64_t> indices;  // empty: every positioned atom
    if (!a.bind(args, kwargs)) return nullptr;
    if (!a.absent(0) && !a.index_list(0, &indices)) return nullptr;
    const Structure& s = model(self);
    // The size is quadratic in the selection and has no limit: a whole large entry asks for hundreds
    // of gigabytes. Sizing the selection first (linear) lets an impossible matrix raise MemoryError
    // instead of allocating until the kernel kills the interpreter.
    const std::uint64_t n = select_matrix_atoms(s, indices).size();
    const std::string what = "a distance matrix of " + std::to_string(n) + " atoms";
    if (!fits_or_refuse(what.c_str(), matrix_bytes(n))) return nullptr;
    DistanceMatrixResult matrix = quarn::dense_distance_matrix(s, indices);
    if (matrix.distances.size() != matrix.size() * matrix.size()) {
      return raise_internal("distance matrix does not have one value per pair");
    }
    PyObject* type = distance_matrix_type();
    return type == nullptr ? nullptr : box(type, std::move(matrix));
  });
}

constexpr Signature kSparseAdjacency{"Structure.sparse_adjacency", {"include_geometric", "tolerance", nullptr}, 2, 2};

PyObject* sparse_adjacency(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return interruptible([&]() -> PyObject* {
    Arguments a(kSparseAdjacency);
    bool include_geometric = false;
    double tolerance = 0;
    if (!a.bind(args, kwargs) || !a.flag(0, &include_geometric) || !a.real(1, &tolerance)) return nullptr;
    const Structure& s = model(self);
    const BondGraph graph = quarn::sparse_adjacency(s, include_geometric, tolerance);
    if (graph.size() != s.atom_count()) return raise_internal("adjacency does not have one list per atom");
    PyObject* type = bond_neighbor_type();
    const std::uint64_t needed = saturating_mul_add(graph.entry_count(), sizeof(Boxed<BondEntry>) + kPyPointerBytes,
                                                    list_bytes(graph.size(), kPyListBytes));
    if (type == nullptr || !room_for("Structure.sparse_adjacency", graph.entry_count(), needed)) return nullptr;
    // Why share: geometric bonds are most of a large adjacency and each names its atom in two rows, so
    // one immutable BondNeighbor per atom for its covalent_unknown entries halves the objects made.
    std::vector<Ref> unknown_of(graph.size());
    return new_list(graph.size(), [&](std::size_t i) {
      const auto row = graph.neighbors(i);
      return new_list(row.size(), [&](std::size_t k) -> PyObject* {
        const BondEntry& e = row[k];
        if (e.bond_type != BondType::covalent_unknown) return box(type, BondEntry(e));
        Ref& shared = unknown_of[e.neighbor];
        if (!shared) shared = Ref(box(type, BondEntry(e)));
        if (!shared) return nullptr;
        return Ref::borrow(shared.get()).release();
      });
    });
  });
}

constexpr Signature kAtomProfile{"Structure.atom_profile", {"atom_index", "include_geometric", "tolerance"}, 3, 3};

PyObject* atom_profile(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return interruptible([&]() -> PyObject* {
    Arguments a(kAtomProfile);
    std::uint64_t atom_index = 0;
    bool include_geometric = false;
    double tolerance = 0;
    if (!a.bind(args, kwargs) || !a.count(0, &atom_index) || !a.flag(1, &include_geometric) ||
        !a.real(2, &tolerance)) {
      return nullptr;
    }
    const Structure& s = model(self);
    auto profile = quarn::atom_profile(s, atom_index, include_geometric, tolerance);
    if (!profile) return refuse(profile.error());
    if (profile->index >= s.atom_count()) return raise_internal("atom_profile returned an atom index out of range");
    AtomProfileValue value = atom_profile_value(s.atoms[profile->index], std::move(*profile));
    PyObject* type = atom_profile_type();
    return type == nullptr ? nullptr : box(type, std::move(value));
  });
}

// --- the type ----------------------------------------------------------------------------------------

template <class Method>
PyCFunction as_function(Method method) noexcept {
  // The table stores every method as PyCFunction; METH_* flags tell the interpreter the real shape.
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method));
}

PyMethodDef structure_methods[] = {
    {"unit_cell", as_function(unit_cell), METH_NOARGS, "unit_cell($self)\n--\n\n"},
    {"bounding_box", as_function(bounding_box), METH_NOARGS, "bounding_box($self)\n--\n\n"},
    {"contacts", as_function(contacts), METH_VARARGS | METH_KEYWORDS,
     "contacts($self, cutoff, max_results=None)\n--\n\n"},
    {"nearest_atoms", as_function(nearest_atoms), METH_VARARGS | METH_KEYWORDS,
     "nearest_atoms($self, origin, max_distance, max_results)\n--\n\n"},
    {"nearest_residues", as_function(nearest_residues), METH_VARARGS | METH_KEYWORDS,
     "nearest_residues($self, origin, max_distance, max_results)\n--\n\n"},
    {"dense_distance_matrix", as_function(dense_distance_matrix), METH_VARARGS | METH_KEYWORDS,
     "dense_distance_matrix($self, atom_indices=None)\n--\n\n"},
    {"sparse_adjacency", as_function(sparse_adjacency), METH_VARARGS | METH_KEYWORDS,
     "sparse_adjacency($self, include_geometric, tolerance)\n--\n\n"},
    {"explicit_bonds", as_function(explicit_bonds), METH_NOARGS, "explicit_bonds($self)\n--\n\n"},
    {"atom_profile", as_function(atom_profile), METH_VARARGS | METH_KEYWORDS,
     "atom_profile($self, atom_index, include_geometric, tolerance)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef structure_getset[] = {
    {"atom_count", getter<Structure, read_atom_count>, nullptr, nullptr, nullptr},
    {"entry_id", getter<Structure, read_entry_id>, nullptr, nullptr, nullptr},
    {"space_group", getter<Structure, read_space_group>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot structure_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_alloc, reinterpret_cast<void*>(no_allocation)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<Structure>)},
    {Py_tp_methods, structure_methods},
    {Py_tp_getset, structure_getset},
    {0, nullptr},
};

PyType_Spec structure_spec = {"quarn_parser.Structure", sizeof(Boxed<Structure>), 0, Py_TPFLAGS_DEFAULT,
                              structure_slots};

}  // namespace

PyObject* structure_type() noexcept {
  static PyObject* type = nullptr;
  return lazy_type(type, structure_spec);
}

const Structure* structure_of(PyObject* object) noexcept {
  PyObject* type = structure_type();
  if (type == nullptr) return nullptr;
  // Exact type: the class is final. Every instance is filled, since only box() can make one.
  if (object == nullptr) {
    PyErr_SetString(PyExc_TypeError, "expected a quarn_parser.Structure");
    return nullptr;
  }
  if (reinterpret_cast<PyObject*>(Py_TYPE(object)) != type) {
    PyErr_Format(PyExc_TypeError, "expected a quarn_parser.Structure, not %R",
                 reinterpret_cast<PyObject*>(Py_TYPE(object)));
    return nullptr;
  }
  return &model(object);
}

PyObject* new_structure(Structure&& model) noexcept {
  PyObject* type = structure_type();
  return type == nullptr ? nullptr : box(type, std::move(model));
}

}  // namespace quarn::py
