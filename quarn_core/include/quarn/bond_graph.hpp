// Bond types and the per-atom bond adjacency that explicit bonds resolve into.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "quarn/atom_list.hpp"
#include "quarn/memory.hpp"

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

  // The same for extra bonds that are not stored anywhere: each_extra(add) calls add(const Bond&) for
  // every extra bond in order, and must produce the same bonds every time, as it is called twice (once
  // to size the lists, once to fill them). May throw std::bad_alloc.
  template <class EachExtra>
  BondGraph with_appended_each(EachExtra&& each_extra) const;

  std::uint64_t size() const noexcept { return offsets_.empty() ? 0 : offsets_.size() - 1; }
  std::span<const BondEntry> neighbors(std::uint64_t atom) const noexcept {
    return {entries_.data() + offsets_[atom], entries_.data() + offsets_[atom + 1]};
  }
  std::uint64_t entry_count() const noexcept { return entries_.size(); }

  // The flat form: list i is entries()[offsets()[i], offsets()[i + 1]); offsets() is empty for a
  // default-constructed graph, else size() + 1 long. Views into the graph, valid while it lives.
  std::span<const std::uint64_t> offsets() const noexcept { return offsets_; }
  std::span<const BondEntry> entries() const noexcept { return entries_; }

 private:
  // A graph of `n` lists, list i holding own(i) (a span of entries) and then what each_extra adds, as
  // with_appended_each describes; own_entries is the sum of the own(i) sizes.
  template <class Own, class EachExtra>
  static BondGraph appended(std::uint64_t n, std::uint64_t own_entries, Own&& own, EachExtra&& each_extra);

  std::vector<std::uint64_t> offsets_;  // size() + 1 entries; list i is [offsets_[i], offsets_[i+1])
  std::vector<BondEntry> entries_;
};

template <class EachExtra>
BondGraph BondGraph::with_appended_each(EachExtra&& each_extra) const {
  return appended(
      size(), entry_count(), [this](std::uint64_t i) { return neighbors(i); }, each_extra);
}

template <class Own, class EachExtra>
BondGraph BondGraph::appended(std::uint64_t n, std::uint64_t own_entries, Own&& own, EachExtra&& each_extra) {
  BondGraph g;
  // While filling, offsets_[i + 1] is list i's cursor: it ends at the list's end, the next one's start.
  // Both arrays are offered huge pages before they are first written: for a million atoms they are
  // megabytes of fresh memory, which small pages fault in several times slower.
  g.offsets_.reserve(n + 1);
  detail::advise_huge_pages(g.offsets_.data(), (n + 1) * sizeof(std::uint64_t));
  g.offsets_.assign(n + 1, 0);
  std::uint64_t total = own_entries;
  each_extra([&](const Bond& b) {
    ++g.offsets_[b.first + 1];
    ++g.offsets_[b.second + 1];
    total += 2;
  });
  reserve_checked(g.entries_, total);
  detail::advise_huge_pages(g.entries_.data(), total * sizeof(BondEntry));
  g.entries_.resize(total);
  std::uint64_t start = 0;
  for (std::uint64_t i = 0; i < n; ++i) {
    const std::span<const BondEntry> mine = own(i);
    const std::uint64_t added = g.offsets_[i + 1];
    std::copy(mine.begin(), mine.end(), g.entries_.begin() + static_cast<std::ptrdiff_t>(start));
    g.offsets_[i + 1] = start + mine.size();
    start += mine.size() + added;
  }
  // Filling in bond order keeps each list in insertion order.
  each_extra([&](const Bond& b) {
    g.entries_[g.offsets_[b.first + 1]++] = BondEntry{b.second, b.bond_type};
    g.entries_[g.offsets_[b.second + 1]++] = BondEntry{b.first, b.bond_type};
  });
  return g;
}

}  // namespace quarn
