// The pair searches of the analyses written as plain scans: the definition that any faster search
// must reproduce row for row (same rows, same distances to the last bit, same order), and the oracle
// the tests hold it to. Each has the contract of the public function of the same name.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "quarn/analyze/search.hpp"
#include "quarn/structure.hpp"

namespace quarn::exhaustive {

// quarn::nearest_atoms, by one pass over every atom.
std::vector<AtomHitRecord> nearest_atoms(const Structure& s, Vec3 origin, double max_distance,
                                         std::uint64_t max_results);

// quarn::nearest_residues, by one pass over every atom.
std::vector<ResidueHitRecord> nearest_residues(const Structure& s, Vec3 origin, double max_distance,
                                               std::uint64_t max_results);

// quarn::geometric_bond_pairs, by testing every pair of candidates.
std::vector<std::pair<std::uint64_t, std::uint64_t>> geometric_bond_pairs(const Structure& s, double tolerance);

// quarn::geometric_bond_partners, by testing the atom against every other candidate.
std::vector<std::uint64_t> geometric_bond_partners(const Structure& s, std::uint64_t atom_index, double tolerance);

}  // namespace quarn::exhaustive
