// What lies near a point: atoms within a radius, and amino-acid residues by their nearest atom.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "quarn/structure.hpp"

namespace quarn {

// Neither search refuses an argument; both may throw std::bad_alloc and nothing else, and take every
// distance from pair_distance under DistanceRule::of(s), displacement atom minus origin.

struct AtomHitRecord {
  std::uint64_t index;   // the atom's index in Structure::atoms
  double distance;       // pair_distance from the origin
};

// Residue identity of an atom; the views point into the Structure's atoms and live as long as it.
struct ResidueKey {
  std::optional<std::int32_t> seq_id;          // seq_of
  std::optional<std::string_view> comp_id;     // label_comp_id exactly as stored
  std::optional<std::string_view> chain_id;    // chain_of
  friend bool operator==(const ResidueKey&, const ResidueKey&) = default;
};

struct ResidueHitRecord {
  ResidueKey key;
  double distance;   // smallest non-NaN distance of the residue's atoms within the radius
};

// True for the 21 standard amino-acid codes, after trimming and ASCII upper-casing. Never allocates.
bool is_standard_amino_acid(std::string_view comp_id) noexcept;

// Positioned atoms with distance <= max_distance from origin, nearest first (stable: ties in index
// order), at most max_results. Empty when max_distance <= 0 or max_results == 0; a NaN max_distance
// keeps nothing.
std::vector<AtomHitRecord> nearest_atoms(const Structure& s, Vec3 origin, double max_distance,
                                         std::uint64_t max_results);

// Amino-acid residues whose nearest positioned atom is not farther than max_distance (a NaN
// max_distance drops nothing), nearest first. A residue's distance is the smallest non-NaN distance
// of its atoms within the radius, NaN only when all are. Equal distances come in the order in which
// the residues' first atoms within the radius stand in the atom list; NaN rows come last, in that
// order too. At most max_results. Empty when max_distance <= 0 or max_results == 0.
std::vector<ResidueHitRecord> nearest_residues(const Structure& s, Vec3 origin, double max_distance,
                                               std::uint64_t max_results);

}  // namespace quarn
