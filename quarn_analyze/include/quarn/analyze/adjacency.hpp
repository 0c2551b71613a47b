// Bond adjacency completed by geometry, and dense distance matrices.
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "quarn/bond_graph.hpp"
#include "quarn/structure.hpp"

namespace quarn {

// None of these refuses an argument; each may throw std::bad_alloc and nothing else. The distance
// of every pair is pair_distance under DistanceRule::of(s), taken once per call.

// Pairs (i, j), i < j, of positioned atoms with a resolvable element whose distance is at most
// (radius j + radius i) + tolerance, ordered by i then j. Coincident atoms count; a negative
// tolerance only narrows the rule; a NaN tolerance finds none. The pairs of a scan over every pair
// of candidates (exhaustive::geometric_bond_pairs), found through the structure's spatial index.
std::vector<std::pair<std::uint64_t, std::uint64_t>> geometric_bond_pairs(const Structure& s, double tolerance);

// The atoms that geometric_bond_pairs pairs with `atom_index`, ascending: what that atom's row of
// the augmented graph gains, found among the atoms near it. Empty when the atom is out of range, has
// no position or no element.
std::vector<std::uint64_t> geometric_bond_partners(const Structure& s, std::uint64_t atom_index, double tolerance);

// A copy of the explicit bond graph (building it on first use); with include_geometric, each
// geometric pair in pair order is appended to both lists as covalent_unknown, unless an explicit
// entry already joins the two atoms (it keeps its own type). Explicit entries stay first.
BondGraph augmented_bond_graph(const Structure& s, bool include_geometric, double tolerance);

// augmented_bond_graph as the result of the sparse adjacency query: one list per atom.
BondGraph sparse_adjacency(const Structure& s, bool include_geometric, double tolerance);

struct DistanceMatrixResult {
  std::vector<std::uint64_t> atom_indices;     // rows and columns, in order
  std::vector<double> distances;               // row-major, atom_indices.size() squared values
  std::uint64_t size() const noexcept { return atom_indices.size(); }
  double at(std::uint64_t r, std::uint64_t c) const noexcept { return distances[r * size() + c]; }
};

// The selected atoms: every positioned atom when `atom_indices` is empty, else each given index that
// is in range and positioned, in the given order, repeats kept.
std::vector<std::uint64_t> select_matrix_atoms(const Structure& s, std::span<const std::uint64_t> atom_indices);

// Symmetric matrix of pair_distance over the selection (displacement column minus row), computed
// once per pair and mirrored, so [r][c] and [c][r] are the same bits; the diagonal is 0.0, never
// computed. Memory is n squared doubles; a size that cannot be held throws std::bad_alloc. Throws
// Interrupted when the caller's interrupt check says stop, as do the bond searches above.
DistanceMatrixResult dense_distance_matrix(const Structure& s, std::span<const std::uint64_t> atom_indices);

}  // namespace quarn
