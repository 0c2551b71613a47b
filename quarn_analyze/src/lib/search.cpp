#include "quarn/analyze/search.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <unordered_map>

#include "quarn/analyze/exhaustive.hpp"
#include "quarn/geometry.hpp"
#include "quarn/pair_search.hpp"
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

std::vector<AtomHitRecord> records_of(const std::vector<Hit>& hits) {
  std::vector<AtomHitRecord> rows;
  rows.reserve(hits.size());
  for (const Hit& h : hits) rows.push_back({h.atom, h.distance});
  return rows;
}

// NaN after every number, NaNs equal to each other: a strict weak order, so a stable sort keeps
// scan order among NaN rows as it does among equal numbers.
bool nearer(double a, double b) noexcept { return !std::isnan(a) && (std::isnan(b) || a < b); }

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
  // The definition itself: a stable sort by distance, then the first max_results.
  std::stable_sort(rows.begin(), rows.end(),
                   [](const AtomHitRecord& a, const AtomHitRecord& b) { return a.distance < b.distance; });
  if (max_results < rows.size()) rows.resize(max_results);
  return rows;
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
  std::vector<Hit> hits = hits_near(s, origin, max_distance, [&](const SpatialIndex& index, std::uint32_t slot, double* d) {
    *d = index.distance()(origin, index.position(slot));
    return *d <= max_distance;  // never a NaN
  });
  return records_of(quarn::nearest_first(std::move(hits), max_results));
}

std::vector<ResidueHitRecord> nearest_residues(const Structure& s, Vec3 origin, double max_distance,
                                               std::uint64_t max_results) {
  if (max_distance <= 0 || max_results == 0) return {};
  std::vector<Hit> hits = hits_near(s, origin, max_distance, [&](const SpatialIndex& index, std::uint32_t slot, double* d) {
    *d = index.distance()(origin, index.position(slot));
    // "Not farther than": a NaN distance (a NaN coordinate, or infinities that cancel) stays in.
    return !(*d > max_distance);
  });
  return residues_of(s, records_of(in_scan_order(std::move(hits))), max_results);
}

}  // namespace quarn
