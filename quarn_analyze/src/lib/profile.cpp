#include "quarn/analyze/profile.hpp"

#include <algorithm>

#include "quarn/analyze/adjacency.hpp"
#include "quarn/element.hpp"

namespace quarn {

namespace {

bool is_heavy(const Structure& s, std::uint64_t atom) noexcept {
  if (atom >= s.atoms.size()) return false;
  const ElementInfo* e = element_of(s.atoms[atom]);
  return e && e->atomic_number >= 2 && e->symbol != "H";
}

}  // namespace

std::optional<Hybridization> assign_hybridization(const Structure& s, std::uint64_t atom_index,
                                                  std::span<const BondEntry> neighbors) noexcept {
  if (atom_index >= s.atoms.size()) return std::nullopt;
  const ElementInfo* e = element_of(s.atoms[atom_index]);
  if (!e || e->symbol.size() != 1) return std::nullopt;
  const std::size_t degree = neighbors.size();
  const auto heavy = [&] {
    return std::count_if(neighbors.begin(), neighbors.end(), [&](const BondEntry& n) { return is_heavy(s, n.neighbor); });
  };
  const char symbol = e->symbol[0];
  if (symbol == 'C' || symbol == 'N') {
    if (degree == 2) return Hybridization::sp;
    if (degree == 3) return Hybridization::sp2;
    if (degree == 4) return Hybridization::sp3;
    if (heavy() >= 3) return Hybridization::sp3;
    return std::nullopt;
  }
  if (symbol == 'O' || symbol == 'S') {
    if (degree == 1) return Hybridization::sp;
    if (degree == 2) return Hybridization::sp2;
    if (degree == 3 || degree == 4) return Hybridization::sp3;
    if (heavy() >= 2) return Hybridization::sp2;
    return std::nullopt;
  }
  return std::nullopt;
}

Expected<AtomProfileRecord, Refusal> atom_profile(const Structure& s, std::uint64_t atom_index,
                                                  bool include_geometric, double tolerance) {
  if (atom_index >= s.atom_count()) return unexpected(Refusal{kAtomIndexOutOfRange});
  if (include_geometric && tolerance < 0) return unexpected(Refusal{kToleranceNegative});

  AtomProfileRecord profile{atom_index, std::nullopt, std::nullopt, {}};
  // Only this atom's row of augmented_bond_graph is reported, so only that row is built, from the
  // atoms near it. Row i of the augmented graph is:
  // - its explicit entries, in graph order (the graph is copied first);
  // - then one entry (j, covalent_unknown) for each geometric pair holding i, in pair order. Those
  //   pairs are (j, i) for j < i, then (i, j) for j > i, each ascending: together, ascending j,
  //   which is the order geometric_bond_partners returns;
  // - except for the pairs whose lower atom's explicit list already names the other. Every explicit
  //   bond is entered in the lists of both its atoms, so that is the case exactly when i's own
  //   explicit list names j (geometric pairs never repeat, so no earlier geometric entry matters).
  const auto own = s.bond_graph().neighbors(atom_index);
  profile.neighbors.assign(own.begin(), own.end());
  if (include_geometric) {
    for (const std::uint64_t j : geometric_bond_partners(s, atom_index, tolerance)) {
      const bool known = std::any_of(own.begin(), own.end(), [j](const BondEntry& e) { return e.neighbor == j; });
      if (!known) profile.neighbors.push_back({j, BondType::covalent_unknown});
    }
  }
  profile.hybridization = assign_hybridization(s, atom_index, profile.neighbors);
  if (const ElementInfo* e = element_of(s.atoms[atom_index])) profile.electronegativity = e->electronegativity;
  return profile;
}

}  // namespace quarn
