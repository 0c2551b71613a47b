// One atom's profile: identity, electronegativity, hybridization and bonded neighbours.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "quarn/bond_graph.hpp"
#include "quarn/expected.hpp"
#include "quarn/structure.hpp"

namespace quarn {

enum class Hybridization : std::uint8_t { sp = 0, sp2 = 1, sp3 = 2 };

// "sp", "sp2", "sp3". Never allocates.
std::string_view hybridization_text(Hybridization h) noexcept;

struct AtomProfileRecord {
  std::uint64_t index;
  std::optional<double> electronegativity;   // of element_of the atom
  std::optional<Hybridization> hybridization;
  std::vector<BondEntry> neighbors;          // the atom's list in the graph in use
  // Identity fields (label ids, chain, seq, element text, occupancy, ...) are read from the atom.
};

inline constexpr const char* kAtomIndexOutOfRange = "atom_index out of range";
inline constexpr const char* kToleranceNegative = "tolerance must be non-negative";

// From the element of atom `atom_index` and its neighbour list (degree, heavy neighbours); absent
// when undetermined or when the index is not below the atom count.
std::optional<Hybridization> assign_hybridization(const Structure& s, std::uint64_t atom_index,
                                                  std::span<const BondEntry> neighbors) noexcept;

// Refuses an index not below the atom count, then (only with include_geometric) a tolerance below 0;
// a NaN tolerance passes and finds no geometric neighbour. The neighbours are the atom's row of
// augmented_bond_graph(s, include_geometric, tolerance), built for this atom alone. May throw
// std::bad_alloc (also from building the explicit bond graph on first use).
Expected<AtomProfileRecord, Refusal> atom_profile(const Structure& s, std::uint64_t atom_index,
                                                  bool include_geometric, double tolerance);

}  // namespace quarn
