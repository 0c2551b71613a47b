// Bond types and the per-atom bond adjacency that explicit bonds resolve into.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

namespace quarn {

enum class BondType : std::uint8_t {
  covalent_single = 0,
  covalent_double = 1,
  covalent_triple = 2,
  covalent_aromatic = 3,
  covalent_unknown = 4,
  ionic = 5,
  hydrogen_bond = 6,
  metallic = 7,
  unknown = 8,
};

// "covalent_single", ..., "unknown". Never allocates.
std::string_view bond_type_text(BondType type) noexcept;

struct BondEntry {
  std::uint64_t neighbor;               // the other atom; always below the atom count
  std::optional<BondType> bond_type;    // absent for an untyped bond
  friend bool operator==(const BondEntry&, const BondEntry&) = default;
};

// One list of entries per atom, indexed like Structure::atoms, each in insertion order.
// Stored as one flat array with offsets: one allocation for the whole graph, not one per atom.
class BondGraph {
 public:
  BondGraph() = default;

  // Builds the graph of `atom_count` lists from bonds given as (i, j, type) in order: each adds
  // (j, type) to list i, then (i, type) to list j. Entries are never merged.
  struct Bond {
    std::uint64_t first;
    std::uint64_t second;
    std::optional<BondType> bond_type;
  };
  // Every `first` and `second` must be below atom_count. May throw std::bad_alloc.
  static BondGraph from_bonds(std::uint64_t atom_count, std::span<const Bond> bonds);

  // A copy whose every list holds its own entries first, then those `extra` adds, in the same way and
  // order as from_bonds. Every index in `extra` must be below size(). May throw std::bad_alloc.
  BondGraph with_appended(std::span<const Bond> extra) const;

  std::uint64_t size() const noexcept { return offsets_.empty() ? 0 : offsets_.size() - 1; }
  std::span<const BondEntry> neighbors(std::uint64_t atom) const noexcept {
    return {entries_.data() + offsets_[atom], entries_.data() + offsets_[atom + 1]};
  }
  std::uint64_t entry_count() const noexcept { return entries_.size(); }

 private:
  std::vector<std::uint64_t> offsets_;  // size() + 1 entries; list i is [offsets_[i], offsets_[i+1])
  std::vector<BondEntry> entries_;
};

}  // namespace quarn
