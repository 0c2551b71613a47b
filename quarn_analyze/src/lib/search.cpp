#include "quarn/analyze/search.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <unordered_map>

#include "quarn/analyze/exhaustive.hpp"
#include "quarn/geometry.hpp"
#include "quarn/spatial_index.hpp"

namespace quarn {

namespace {

struct ResidueKeyHash {
  std::size_t operator()(const ResidueKey& k) const noexcept {
    std::size_t h = k.seq_id ? std::hash<std::int32_t>{}(*k.seq_id) : 0x9e3779b9u;
    const auto mix = [&h](const std::optional<std::string_view>& t) {
      const std::size_t v = t ? std::hash<std::string_view>{}(*t) : 0x7f4a7c15u;
      h ^= v + 0x9e3779b97f4a7c15u + (h << 6) + (h >> 2);
    };
    mix(k.comp_id);
    mix(k.chain_id);
    return h;
  }
};

// NaN after every number, NaNs equal to each other: a strict weak order, so a stable sort keeps
// scan order among NaN rows as it does among equal numbers.
bool nearer(double a, double b) noexcept { return !std::isnan(a) && (std::isnan(b) || a < b); }

// Atoms within the radius, in any order and without NaN distances, put nearest first (ties by
// index) and cut to max_results. With the total order (distance, index) only the rows kept need sorting.
std::vector<AtomHitRecord> nearest_first(std::vector<AtomHitRecord> rows, std::uint64_t max_results) {
  const auto before = [](const AtomHitRecord& a, const AtomHitRecord& b) {
    return a.distance != b.distance ? a.distance < b.distance : a.index < b.index;
  };
  if (max_results < rows.size()) {
    std::partial_sort(rows.begin(), rows.begin() + static_cast<std::ptrdiff_t>(max_results), rows.end(), before);
    rows.resize(max_results);
  } else {
    std::sort(rows.begin(), rows.end(), before);
  }
  return rows;
}

// The residue rows of the atoms that passed the distance test, given in index order.
std::vector<ResidueHitRecord> residues_of(const Structure& s, const std::vector<AtomHitRecord>& hits,
                                          std::uint64_t max_results) {
  // Rows in order of first appearance, the map only finds a residue's row: equal distances then come
  // out the same in every run, whatever the hash.
  std::vector<ResidueHitRecord> rows;
  std::unordered_map<ResidueKey, std::size_t, ResidueKeyHash> row_of;
  for (const AtomHitRecord& hit : hits) {
    const AtomSite& atom = s.atoms[hit.index];
    if (!atom.label_comp_id.present() || !is_standard_amino_acid(atom.label_comp_id.view())) continue;
    const ResidueKey key{seq_of(atom), atom.label_comp_id.get(), chain_of(atom)};
    const auto [it, inserted] = row_of.try_emplace(key, rows.size());
    if (inserted) {
      rows.push_back({key, hit.distance});
    } else if (nearer(hit.distance, rows[it->second].distance)) {
      rows[it->second].distance = hit.distance;  // a number replaces a NaN, never the reverse
    }
  }
  std::stable_sort(rows.begin(), rows.end(),
                   [](const ResidueHitRecord& a, const ResidueHitRecord& b) { return nearer(a.distance, b.distance); });
  if (max_results < rows.size()) rows.resize(max_results);
  return rows;
}

// The index when it helps a search of this radius around this origin, else null (the caller scans):
// a NaN or infinite origin or radius takes every atom or none, and so do radii spanning the atoms.
const SpatialIndex* point_index(const Structure& s, Vec3 origin, double max_distance) {
  if (!std::isfinite(origin.x) || !std::isfinite(origin.y) || !std::isfinite(origin.z)) return nullptr;
  if (s.atom_count() < 2) return nullptr;
  const SpatialIndex& index = s.spatial_index();
  return index.worth_searching(max_distance) ? &index : nullptr;
}

// The indexed atoms within max_distance of the origin, in no particular order. A finite origin is at
// a finite or infinite distance from a finite atom, never NaN.
std::vector<AtomHitRecord> indexed_hits(const SpatialIndex& index, Vec3 origin, double max_distance) {
  std::vector<AtomHitRecord> hits;
  run_search([&] {
    index.near(origin, max_distance, [&](std::uint32_t b) {
      const double d = index.distance()(origin, index.position(b));
      if (d <= max_distance) hits.push_back({index.atom(b), d});
    });
  });
  return hits;
}

}  // namespace

std::vector<AtomHitRecord> exhaustive::nearest_atoms(const Structure& s, Vec3 origin, double max_distance,
                                                     std::uint64_t max_results) {
  if (max_distance <= 0 || max_results == 0) return {};
  const DistanceRule distance = DistanceRule::of(s);
  std::vector<AtomHitRecord> rows;
  for (std::uint64_t i = 0; i < s.atoms.size(); ++i) {
    const auto p = position_of(s.atoms[i]);
    if (!p) continue;
    const double d = distance(origin, *p);
    if (d <= max_distance) rows.push_back({i, d});
  }
  return nearest_first(std::move(rows), max_results);
}

std::vector<ResidueHitRecord> exhaustive::nearest_residues(const Structure& s, Vec3 origin, double max_distance,
                                                           std::uint64_t max_results) {
  if (max_distance <= 0 || max_results == 0) return {};
  const DistanceRule distance = DistanceRule::of(s);
  std::vector<AtomHitRecord> hits;
  for (std::uint64_t i = 0; i < s.atoms.size(); ++i) {
    const AtomSite& atom = s.atoms[i];
    if (!atom.label_comp_id.present() || !is_standard_amino_acid(atom.label_comp_id.view())) continue;
    const auto p = position_of(atom);
    if (!p) continue;
    const double d = distance(origin, *p);
    if (d > max_distance) continue;  // not "<=": a NaN max_distance keeps every atom
    hits.push_back({i, d});
  }
  return residues_of(s, hits, max_results);
}

std::vector<AtomHitRecord> nearest_atoms(const Structure& s, Vec3 origin, double max_distance,
                                         std::uint64_t max_results) {
  if (max_distance <= 0 || max_results == 0 || std::isnan(max_distance)) return {};
  const SpatialIndex* index = point_index(s, origin, max_distance);
  if (!index) return exhaustive::nearest_atoms(s, origin, max_distance, max_results);
  // Atoms without finite coordinates are at a NaN or infinite distance: never within the radius.
  return nearest_first(indexed_hits(*index, origin, max_distance), max_results);
}

std::vector<ResidueHitRecord> nearest_residues(const Structure& s, Vec3 origin, double max_distance,
                                               std::uint64_t max_results) {
  if (max_distance <= 0 || max_results == 0) return {};
  const SpatialIndex* index = point_index(s, origin, max_distance);
  if (!index) return exhaustive::nearest_residues(s, origin, max_distance, max_results);
  std::vector<AtomHitRecord> hits = indexed_hits(*index, origin, max_distance);
  // The test is "not farther than", so an atom at a NaN distance (a NaN coordinate, or infinities
  // that cancel) stays in; one at an infinite distance does not.
  const DistanceRule& distance = index->distance();
  for (const std::uint64_t i : index->non_finite_atoms()) {
    const double d = distance(origin, *position_of(s.atoms[i]));
    if (!(d > max_distance)) hits.push_back({i, d});
  }
  std::sort(hits.begin(), hits.end(), [](const AtomHitRecord& a, const AtomHitRecord& b) { return a.index < b.index; });
  return residues_of(s, hits, max_results);
}

}  // namespace quarn
