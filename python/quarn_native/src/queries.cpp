#include "queries.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "arguments.hpp"
#include "column.hpp"
#include "memory_budget.hpp"
#include "origins.hpp"
#include "py_ref.hpp"
#include "quarn/analyze/adjacency.hpp"
#include "quarn/analyze/search.hpp"
#include "quarn/contacts.hpp"
#include "structure_arg.hpp"
#include "unlocked.hpp"

namespace quarn::py {

namespace {

// The Structure of a call (structure, *rest), with `rest` bound to `signature` in `a`.
const Structure* bind(const Signature& signature, PyObject* args, Arguments& a) {
  const Py_ssize_t given = PyTuple_Size(args);
  if (given < 1) {
    PyErr_Format(PyExc_TypeError, "%s() missing required argument 'structure'", signature.callable);
    return nullptr;
  }
  const Structure* s = structure_arg(signature.callable, PyTuple_GetItem(args, 0));
  if (s == nullptr) return nullptr;
  Ref rest(PyTuple_GetSlice(args, 1, given));
  return rest && a.bind(rest.get(), nullptr) ? s : nullptr;
}

PyObject* refuse(const Refusal& refusal) noexcept {
  PyErr_SetString(PyExc_ValueError, refusal.message);
  return nullptr;
}

// Columns are read as int64: the core's unsigned indices are far below 2**63, and numpy mixes signed
// integers with the int64 of its own index arithmetic without turning them into floats.
template <class Owner>
PyObject* index_column(const std::shared_ptr<Owner>& owner, const std::uint64_t* first, std::size_t n,
                       std::size_t stride) noexcept {
  return new_column(column_1d(owner, first, Kind::i8, n, stride));
}

// A tuple of new references, or nullptr when one of them failed (all are released then).
PyObject* tuple_of(std::initializer_list<PyObject*> items) noexcept {
  bool ok = true;
  for (PyObject* item : items) ok &= item != nullptr;
  Ref tuple(ok ? PyTuple_New(static_cast<Py_ssize_t>(items.size())) : nullptr);
  Py_ssize_t k = 0;
  for (PyObject* item : items) {
    if (tuple) {
      PyTuple_SetItem(tuple.get(), k++, item);  // steals
    } else {
      Py_XDECREF(item);
    }
  }
  return tuple.release();
}

constexpr std::uint64_t kNoBound = std::numeric_limits<std::uint64_t>::max();

// --- contacts -----------------------------------------------------------------------------------------

constexpr Signature kContacts{"contacts", {"cutoff", "max_results", nullptr}, 2, 1};

PyObject* contacts_body(PyObject* args) {
  Arguments a(kContacts);
  const Structure* s = bind(kContacts, args, a);
  double cutoff = 0;
  std::optional<std::uint64_t> max_results;
  if (s == nullptr || !a.real(0, &cutoff)) return nullptr;
  if (!a.absent(1)) {
    std::uint64_t bound = 0;
    if (!a.count(1, &bound)) return nullptr;
    max_results = bound;
  }
  auto rows = without_lock([&] { return quarn::contacts(*s, cutoff, max_results); });
  if (!rows) return refuse(rows.error());
  const auto owner = std::make_shared<const std::vector<Contact>>(std::move(*rows));
  const std::size_t n = owner->size();
  const Contact* r = n > 0 ? owner->data() : nullptr;
  constexpr std::size_t stride = sizeof(Contact);
  return tuple_of({
      index_column(owner, r ? &r->first : nullptr, n, stride),
      index_column(owner, r ? &r->second : nullptr, n, stride),
      new_column(column_1d(owner, r ? &r->distance : nullptr, Kind::f8, n, stride)),
      new_column(column_1d(owner, r ? &r->classification : nullptr, Kind::u1, n, stride)),
  });
}

// --- bonds --------------------------------------------------------------------------------------------

PyObject* explicit_bonds_body(PyObject* args) {
  constexpr Signature kExplicitBonds{"explicit_bonds", {nullptr, nullptr, nullptr}, 0, 0};
  Arguments a(kExplicitBonds);
  const Structure* s = bind(kExplicitBonds, args, a);
  if (s == nullptr) return nullptr;
  auto pairs = without_lock([&] { return s->explicit_bonds(); });
  const auto owner = std::make_shared<const decltype(pairs)>(std::move(pairs));
  const std::size_t n = owner->size();
  const auto* p = n > 0 ? owner->data() : nullptr;
  constexpr std::size_t stride = sizeof(*p);
  return tuple_of({index_column(owner, p ? &p->first : nullptr, n, stride),
                   index_column(owner, p ? &p->second : nullptr, n, stride)});
}

constexpr Signature kBondGraph{"bond_graph", {"include_geometric", "tolerance", nullptr}, 2, 2};

PyObject* bond_graph_body(PyObject* args) {
  Arguments a(kBondGraph);
  const Structure* s = bind(kBondGraph, args, a);
  bool include_geometric = false;
  double tolerance = 0;
  if (s == nullptr || !a.flag(0, &include_geometric) || !a.real(1, &tolerance)) return nullptr;
  const auto graph = std::make_shared<const BondGraph>(
      without_lock([&] { return quarn::sparse_adjacency(*s, include_geometric, tolerance); }));
  if (graph->size() != s->atom_count()) return raise_internal("adjacency does not have one list per atom");
  const auto entries = graph->entries();
  // The types are the one part that is not the core's memory: an optional is no number.
  const std::size_t n = entries.size();
  if (!fits_in_memory(n)) return raise_memory("bond_graph: no memory for the bond types");
  std::shared_ptr<std::int8_t[]> types(new std::int8_t[n > 0 ? n : 1]);
  for (std::size_t k = 0; k < n; ++k) {
    types[k] = entries[k].bond_type ? static_cast<std::int8_t>(*entries[k].bond_type) : std::int8_t{-1};
  }
  static const std::uint64_t kNoOffsets[1] = {0};  // a graph of no atoms: indptr [0]
  const auto offsets = graph->offsets().empty() ? std::span<const std::uint64_t>(kNoOffsets) : graph->offsets();
  return tuple_of({
      index_column(graph, offsets.data(), offsets.size(), sizeof(std::uint64_t)),
      index_column(graph, n > 0 ? &entries[0].neighbor : nullptr, n, sizeof(BondEntry)),
      new_column(column_1d(types, types.get(), Kind::i1, n, 1)),
  });
}

template <class T>
T element(const ColumnData& c, std::size_t i) noexcept {
  T v;
  std::memcpy(&v, c.data + static_cast<Py_ssize_t>(i) * c.strides[0], sizeof v);
  return v;
}

bool is_csr(const ColumnData* indptr, const ColumnData* indices, const ColumnData* types) {
  if (indptr->ndim != 1 || indptr->kind != Kind::i8 || indptr->shape[0] < 1 || indices->ndim != 1 ||
      indices->kind != Kind::i8 || types->ndim != 1 || types->kind != Kind::i1 || types->shape[0] != indices->shape[0]) {
    return false;
  }
  std::int64_t previous = 0;
  for (Py_ssize_t i = 0; i < indptr->shape[0]; ++i) {
    const auto at = element<std::int64_t>(*indptr, static_cast<std::size_t>(i));
    if (at < previous) return false;
    previous = at;
  }
  return element<std::int64_t>(*indptr, 0) == 0 && previous == indices->shape[0];
}

PyObject* graph_edges_body(PyObject* args) {
  PyObject *indptr_object, *indices_object, *types_object;
  if (!PyArg_UnpackTuple(args, "graph_edges", 3, 3, &indptr_object, &indices_object, &types_object)) return nullptr;
  const ColumnData* indptr = column_data(indptr_object);
  const ColumnData* indices = indptr ? column_data(indices_object) : nullptr;
  const ColumnData* types = indices ? column_data(types_object) : nullptr;
  if (types == nullptr) return nullptr;
  if (!is_csr(indptr, indices, types)) {
    PyErr_SetString(PyExc_ValueError, "graph_edges() needs the indptr, indices and bond_type of a BondGraph");
    return nullptr;
  }
  struct Edges {
    std::vector<std::uint64_t> first, second;
    std::vector<std::int8_t> types;
  };
  const auto edges = std::make_shared<Edges>();
  const auto rows = static_cast<std::size_t>(indptr->shape[0] - 1);
  // Columns never change and `args` keeps them alive, so they may be read unlocked.
  without_lock([&] {
    for (std::size_t i = 0; i < rows; ++i) {
      const auto end = static_cast<std::size_t>(element<std::int64_t>(*indptr, i + 1));
      for (auto k = static_cast<std::size_t>(element<std::int64_t>(*indptr, i)); k < end; ++k) {
        const auto j = static_cast<std::uint64_t>(element<std::int64_t>(*indices, k));
        if (i >= j) continue;
        push_back_checked(edges->first, static_cast<std::uint64_t>(i));
        push_back_checked(edges->second, j);
        push_back_checked(edges->types, element<std::int8_t>(*types, k));
      }
    }
  });
  const std::size_t n = edges->first.size();
  return tuple_of({index_column(edges, edges->first.data(), n, sizeof(std::uint64_t)),
                   index_column(edges, edges->second.data(), n, sizeof(std::uint64_t)),
                   new_column(column_1d(edges, edges->types.data(), Kind::i1, n, 1))});
}

// --- distance matrix ----------------------------------------------------------------------------------

constexpr Signature kDistanceMatrix{"distance_matrix", {"atom_indices", nullptr, nullptr}, 1, 0};

PyObject* distance_matrix_body(PyObject* args) {
  Arguments a(kDistanceMatrix);
  const Structure* s = bind(kDistanceMatrix, args, a);
  std::vector<std::uint64_t> indices;  // empty: every positioned atom
  if (s == nullptr || (!a.absent(0) && !a.index_list(0, &indices))) return nullptr;
  // Quadratic in the selection, with no limit: sized first, so that a matrix that cannot fit raises
  // MemoryError before anything of its size is allocated.
  const std::uint64_t n = without_lock([&] { return select_matrix_atoms(*s, indices).size(); });
  const std::uint64_t needed = saturating_mul_add(n, saturating_mul_add(n, sizeof(double), sizeof(std::uint64_t)), 0);
  const std::string what = "a distance matrix of " + std::to_string(n) + " atoms";
  if (!fits_or_refuse(what.c_str(), needed)) return nullptr;
  const auto matrix = std::make_shared<const DistanceMatrixResult>(
      without_lock([&] { return quarn::dense_distance_matrix(*s, indices); }));
  const std::size_t size = matrix->size();
  if (matrix->distances.size() != size * size) return raise_internal("distance matrix does not have one value per pair");
  ColumnData distances = column_1d(matrix, matrix->distances.data(), Kind::f8, size, size * sizeof(double));
  distances.ndim = 2;
  distances.shape[1] = static_cast<Py_ssize_t>(size);
  distances.strides[1] = sizeof(double);
  return tuple_of({index_column(matrix, matrix->atom_indices.data(), size, sizeof(std::uint64_t)),
                   new_column(std::move(distances))});
}

// --- nearest atoms of many origins --------------------------------------------------------------------

// Each origin's hits, in nearest_atoms' order, by origin.
using HitLists = std::vector<std::vector<AtomHitRecord>>;

// The origins' positions in a space-filling (Morton) order over their bounding box. Why: points spread
// over a large structure make each search wait on index rows and atoms that the previous one did not
// touch; visited along the curve, neighbouring searches find most of them in cache. The order only
// decides when each origin is searched, never what it finds.
std::vector<std::size_t> spatial_order(std::span<const Vec3> origins) {
  Vec3 low = origins.empty() ? Vec3{0, 0, 0} : origins[0], high = low;
  for (const Vec3& p : origins) {
    low = {std::min(low.x, p.x), std::min(low.y, p.y), std::min(low.z, p.z)};
    high = {std::max(high.x, p.x), std::max(high.y, p.y), std::max(high.z, p.z)};
  }
  // 10 bits an axis, each spread to every third bit of the code.
  const auto spread = [](double v, double lo, double hi) {
    const double unit = hi > lo ? (v - lo) / (hi - lo) : 0.0;
    std::uint32_t q = static_cast<std::uint32_t>(unit * 1023.0), out = 0;
    for (int bit = 0; bit < 10; ++bit) out |= ((q >> bit) & 1u) << (3 * bit);
    return out;
  };
  std::vector<std::pair<std::uint32_t, std::size_t>> keyed(origins.size());
  for (std::size_t k = 0; k < origins.size(); ++k) {
    const Vec3& p = origins[k];
    keyed[k] = {spread(p.x, low.x, high.x) | (spread(p.y, low.y, high.y) << 1) | (spread(p.z, low.z, high.z) << 2), k};
  }
  std::sort(keyed.begin(), keyed.end());
  std::vector<std::size_t> order(origins.size());
  for (std::size_t k = 0; k < keyed.size(); ++k) order[k] = keyed[k].second;
  return order;
}

// Why threads: each origin is an independent search, so the curve is cut in runs, one per processor,
// each run a compact region of space. Every origin's list lands in its own slot, so the result never
// depends on the split. Small batches stay on the calling thread.
constexpr std::size_t kOriginsPerThread = 256;

HitLists search_all(const Structure& s, std::span<const Vec3> origins, double max_distance,
                    std::uint64_t max_results) {
  const std::vector<std::size_t> order = spatial_order(origins);
  HitLists hits(origins.size());
  const std::size_t processors = std::max(1u, std::min(8u, std::thread::hardware_concurrency()));
  const std::size_t parts = std::max<std::size_t>(1, std::min(processors, origins.size() / kOriginsPerThread));
  if (parts > 1 && s.atom_count() >= 2) s.spatial_index();  // built once here, not raced for by the workers
  std::vector<std::exception_ptr> failed(parts);
  const auto run = [&](std::size_t part) {
    // A failure (std::bad_alloc) reaches the calling thread as a value, never ends the process.
    try {
      const std::size_t begin = order.size() * part / parts, end = order.size() * (part + 1) / parts;
      for (std::size_t k = begin; k < end; ++k) {
        hits[order[k]] = quarn::nearest_atoms(s, origins[order[k]], max_distance, max_results);
      }
    } catch (...) {
      failed[part] = std::current_exception();
    }
  };
  std::vector<std::thread> workers;
  workers.reserve(parts);
  for (std::size_t part = 1; part < parts; ++part) {
    try {
      workers.emplace_back(run, part);
    } catch (...) {
      // No thread to be had (std::system_error, or no memory for its state): this one does the run.
      // A thrown exception here would leave the started workers joinable, which ends the process.
      run(part);
    }
  }
  run(0);
  for (std::thread& w : workers) w.join();
  for (const std::exception_ptr& e : failed) {
    if (e) std::rethrow_exception(e);
  }
  return hits;
}

struct BatchResult {
  std::vector<std::uint64_t> offsets;  // origins + 1
  std::vector<AtomHitRecord> rows;
};

// The lists end to end, in origin order. May throw std::bad_alloc before the rows are copied.
BatchResult batch(HitLists&& lists) {
  BatchResult out;
  reserve_checked(out.offsets, lists.size() + 1);
  out.offsets.push_back(0);
  for (const auto& list : lists) out.offsets.push_back(out.offsets.back() + list.size());
  reserve_checked(out.rows, out.offsets.back());
  for (auto& list : lists) {
    out.rows.insert(out.rows.end(), list.begin(), list.end());
    list = {};
  }
  return out;
}

constexpr Signature kNearestAtoms{"nearest_atoms", {"origins", "max_distance", "max_results"}, 3, 2};

PyObject* nearest_atoms_body(PyObject* args) {
  Arguments a(kNearestAtoms);
  const Structure* s = bind(kNearestAtoms, args, a);
  std::vector<Vec3> origins;
  double max_distance = 0;
  std::uint64_t max_results = kNoBound;
  if (s == nullptr || !origins_arg(kNearestAtoms.callable, a[0], &origins) || !a.real(1, &max_distance) ||
      (!a.absent(2) && !a.count(2, &max_results))) {
    return nullptr;
  }
  const auto result = std::make_shared<const BatchResult>(
      without_lock([&] { return batch(search_all(*s, origins, max_distance, max_results)); }));
  const std::size_t n = result->rows.size();
  const AtomHitRecord* r = n > 0 ? result->rows.data() : nullptr;
  constexpr std::size_t stride = sizeof(AtomHitRecord);
  return tuple_of({
      index_column(result, result->offsets.data(), result->offsets.size(), sizeof(std::uint64_t)),
      index_column(result, r ? &r->index : nullptr, n, stride),
      new_column(column_1d(result, r ? &r->distance : nullptr, Kind::f8, n, stride)),
  });
}

}  // namespace

PyObject* contacts_arrays(PyObject*, PyObject* args) noexcept {
  return guarded([&] { return contacts_body(args); });
}

PyObject* explicit_bond_arrays(PyObject*, PyObject* args) noexcept {
  return guarded([&] { return explicit_bonds_body(args); });
}

PyObject* bond_graph_arrays(PyObject*, PyObject* args) noexcept {
  return guarded([&] { return bond_graph_body(args); });
}

PyObject* graph_edge_arrays(PyObject*, PyObject* args) noexcept {
  return guarded([&] { return graph_edges_body(args); });
}

PyObject* distance_matrix_arrays(PyObject*, PyObject* args) noexcept {
  return guarded([&] { return distance_matrix_body(args); });
}

PyObject* nearest_atoms_arrays(PyObject*, PyObject* args) noexcept {
  return guarded([&] { return nearest_atoms_body(args); });
}

}  // namespace quarn::py
