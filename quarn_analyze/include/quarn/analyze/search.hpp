// What lies near a point: atoms within a radius, and amino-acid residues by their nearest atom.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "quarn/structure.hpp"

namespace quarn {

struct AtomHitRecord {
  std::uint64_t index;   // the atom's index in Structure::atoms
  double distance;       // pair_distance from the origin
};

// Residue identity of an atom; the views point into the Structure's atoms.
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
// max_distance drops nothing), nearest first; equal distances in order of first appearance, NaN
// distances last. At most max_results.
std::vector<ResidueHitRecord> nearest_residues(const Structure& s, Vec3 origin, double max_distance,
                                               std::uint64_t max_results);

}  // namespace quarn
