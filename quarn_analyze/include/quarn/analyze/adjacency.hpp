// Bond adjacency completed by geometry, and dense distance matrices.
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "quarn/bond_graph.hpp"
#include "quarn/structure.hpp"

namespace quarn {

// Pairs (i, j), i < j, of positioned atoms with a resolvable element whose distance is at most
// (radius j + radius i) + tolerance, ordered by i then j. A NaN tolerance finds none.
std::vector<std::pair<std::uint64_t, std::uint64_t>> geometric_bond_pairs(const Structure& s, double tolerance);

// The atoms that geometric_bond_pairs pairs with `atom_index`, ascending: what that atom's row of
// the augmented graph gains, found without testing every pair. Empty when the atom is out of range,
// has no position or no element.
std::vector<std::uint64_t> geometric_bond_partners(const Structure& s, std::uint64_t atom_index, double tolerance);

// The explicit bond graph, with geometric pairs appended as covalent_unknown when include_geometric
// (a pair already bonded explicitly keeps its explicit entry only).
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

// Symmetric matrix of pair_distance over the selection, zero diagonal.
DistanceMatrixResult dense_distance_matrix(const Structure& s, std::span<const std::uint64_t> atom_indices);

}  // namespace quarn
