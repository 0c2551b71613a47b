#include "quarn/analyze/adjacency.hpp"

#include <algorithm>
#include <limits>
#include <new>

#include "quarn/analyze/exhaustive.hpp"
#include "quarn/element.hpp"
#include "quarn/found_pairs.hpp"
#include "quarn/geometry.hpp"
#include "quarn/memory.hpp"
#include "quarn/pair_search.hpp"
#include "quarn/spatial_index.hpp"

namespace quarn {

namespace {

// An atom that can take part in a geometric bond.
struct Candidate {
  std::uint64_t index;
  Vec3 position;
  double radius;  // covalent radius of its element
};

std::optional<Candidate> candidate_of(const AtomSite& atom, std::uint64_t index) noexcept {
  const auto p = position_of(atom);
  if (!p) return std::nullopt;
  const ElementInfo* e = element_of(atom);
  if (!e || !e->covalent_radius) return std::nullopt;
  return Candidate{index, *p, *e->covalent_radius};
}

// The bond rule for candidates a before b: the distance taken as b minus a, the radii summed b first.
bool bonded(const DistanceRule& distance, const Candidate& a, const Candidate& b, double tolerance) noexcept {
  return distance(a.position, b.position) <= (b.radius + a.radius) + tolerance;
}

using Pair = std::pair<std::uint64_t, std::uint64_t>;

// The bond rule over the slots of the spatial index (pair_search.hpp). A slot without a covalent
// radius is in no bond (its reach is NaN). Every pair's bound (r_b + r_a) + tolerance is within both
// atoms' reach (r_max + r) + tolerance, r_max the largest radius of a finite slot: only pairs of
// finite slots are ever offered by reach, and the others are NaN or infinitely far apart.
class BondRule {
 public:
  BondRule(const SpatialIndex& index, double tolerance) noexcept
      : index_(index), r_max_(index.max_covalent_radius()), tolerance_(tolerance) {}
  double max_reach() const noexcept { return (r_max_ + r_max_) + tolerance_; }
  double reach(std::uint32_t a) const noexcept { return (r_max_ + index_.covalent_radius(a)) + tolerance_; }
  bool keep(std::uint32_t first, std::uint32_t second, double* distance, unsigned*) const noexcept {
    const double r_first = index_.covalent_radius(first), r_second = index_.covalent_radius(second);
    if (std::isnan(r_first) || std::isnan(r_second)) return false;
    *distance = index_.distance()(index_.position(first), index_.position(second));
    return *distance <= (r_second + r_first) + tolerance_;
  }

 private:
  const SpatialIndex& index_;
  double r_max_;
  double tolerance_;
};

PairBuffer ordered_bond_pairs(const Structure& s, double tolerance) {
  return pairs_in_scan_order(
      s, [tolerance](const SpatialIndex& index) { return BondRule(index, tolerance); },
      "the pairs of a geometric bond search");
}

// The explicit graph with each geometric pair (in scan order) that it does not already hold appended
// as a covalent_unknown bond. Why straight from the pairs: a copy into a bond list would be one more
// pass over, and one more fresh allocation of, millions of entries.
BondGraph with_geometric(const BondGraph& explicit_graph, const PairBuffer& pairs) {
  return explicit_graph.with_appended_each([&](auto&& add) {
    std::size_t seen = 0;
    for (const FoundPair& p : pairs) {
      if ((seen++ & 0xFFFF) == 0) interruption_point();
      const std::uint64_t i = p.first(), j = p.second();
      const auto own = explicit_graph.neighbors(i);
      // Geometric pairs never repeat, so only an explicit entry can already name j.
      if (std::none_of(own.begin(), own.end(), [j](const BondEntry& e) { return e.neighbor == j; })) {
        add(BondGraph::Bond{i, j, BondType::covalent_unknown});
      }
    }
  });
}

}  // namespace

std::vector<std::pair<std::uint64_t, std::uint64_t>> exhaustive::geometric_bond_pairs(const Structure& s,
                                                                                    double tolerance) {
  std::vector<Candidate> candidates;
  for (std::uint64_t i = 0; i < s.atoms.size(); ++i) {
    if (const auto c = candidate_of(s.atoms[i], i)) candidates.push_back(*c);
  }
  const DistanceRule distance = DistanceRule::of(s);
  std::vector<std::pair<std::uint64_t, std::uint64_t>> pairs;
  if (candidates.size() >= 2) pairs.reserve(2 * candidates.size());
  run_search([&] {
    for (std::size_t a = 0; a < candidates.size(); ++a) {
      for (std::size_t b = a + 1; b < candidates.size(); ++b) {
        if (bonded(distance, candidates[a], candidates[b], tolerance)) {
          // A huge tolerance bonds every pair: the list must fail cleanly when that cannot fit.
          push_back_checked(pairs, std::pair{candidates[a].index, candidates[b].index});
        }
      }
    }
  });
  return pairs;
}

std::vector<std::uint64_t> exhaustive::geometric_bond_partners(const Structure& s, std::uint64_t atom_index,
                                                               double tolerance) {
  if (atom_index >= s.atoms.size()) return {};
  const auto self = candidate_of(s.atoms[atom_index], atom_index);
  if (!self) return {};
  const DistanceRule distance = DistanceRule::of(s);
  std::vector<std::uint64_t> partners;
  for (std::uint64_t i = 0; i < s.atoms.size(); ++i) {
    if (i == atom_index) continue;
    const auto other = candidate_of(s.atoms[i], i);
    if (!other) continue;
    // The pair is tested the way the pair scan meets it: lower index first.
    if (i < atom_index ? bonded(distance, *other, *self, tolerance) : bonded(distance, *self, *other, tolerance)) {
      partners.push_back(i);
    }
  }
  return partners;
}

std::vector<std::pair<std::uint64_t, std::uint64_t>> geometric_bond_pairs(const Structure& s, double tolerance) {
  if (std::isnan(tolerance)) return {};  // no bound holds
  const PairBuffer ordered = ordered_bond_pairs(s, tolerance);
  std::vector<Pair> pairs;
  reserve_checked(pairs, ordered.size(), "the pairs of a geometric bond search");
  for (const FoundPair& p : ordered) pairs.emplace_back(p.first(), p.second());
  return pairs;
}

std::vector<std::uint64_t> geometric_bond_partners(const Structure& s, std::uint64_t atom_index, double tolerance) {
  if (std::isnan(tolerance)) return {};
  return partners_in_scan_order(
      s, [tolerance](const SpatialIndex& index) { return BondRule(index, tolerance); }, atom_index);
}

BondGraph augmented_bond_graph(const Structure& s, bool include_geometric, double tolerance) {
  const BondGraph& explicit_graph = s.bond_graph();
  if (!include_geometric || std::isnan(tolerance)) return explicit_graph;  // NaN: no bound holds
  return with_geometric(explicit_graph, ordered_bond_pairs(s, tolerance));
}

BondGraph sparse_adjacency(const Structure& s, bool include_geometric, double tolerance) {
  return augmented_bond_graph(s, include_geometric, tolerance);
}

std::vector<std::uint64_t> select_matrix_atoms(const Structure& s, std::span<const std::uint64_t> atom_indices) {
  std::vector<std::uint64_t> selected;
  if (atom_indices.empty()) {
    for (std::uint64_t i = 0; i < s.atoms.size(); ++i) {
      if (position_of(s.atoms[i])) selected.push_back(i);
    }
    return selected;
  }
  selected.reserve(atom_indices.size());
  for (const std::uint64_t i : atom_indices) {
    if (i < s.atoms.size() && position_of(s.atoms[i])) selected.push_back(i);
  }
  return selected;
}

DistanceMatrixResult dense_distance_matrix(const Structure& s, std::span<const std::uint64_t> atom_indices) {
  DistanceMatrixResult result;
  result.atom_indices = select_matrix_atoms(s, atom_indices);
  const std::size_t n = result.atom_indices.size();
  // n squared can exceed what a vector may hold (or wrap) for a long repeated index list; that is
  // memory exhaustion, reported as such rather than as a length error.
  if (n != 0 && n > result.distances.max_size() / n) throw std::bad_alloc();
  result.distances.assign(n * n, 0.0);
  std::vector<Vec3> p(n);
  for (std::size_t k = 0; k < n; ++k) p[k] = *position_of(s.atoms[result.atom_indices[k]]);
  const DistanceRule distance = DistanceRule::of(s);
  for (std::size_t r = 0; r + 1 < n; ++r) {
    interruption_point();
    for (std::size_t c = r + 1; c < n; ++c) {
      const double d = distance(p[r], p[c]);
      result.distances[r * n + c] = d;
      result.distances[c * n + r] = d;
    }
  }
  return result;
}

}  // namespace quarn
