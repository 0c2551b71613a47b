// Atom pairs that an index search found in no particular order, held compactly until they are put in
// the order of a scan over every pair.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "quarn/atom_list.hpp"
#include "quarn/scratch_array.hpp"

namespace quarn {

// Sixteen bytes, half a Contact: sorting millions of pairs moves half the memory.
struct FoundPair {
  std::uint64_t distance_bits;  // bit pattern of a distance that is >= 0 and not NaN: ascends with it
  std::uint64_t atoms;          // first << 33 | second << 2 | tag; first < second < 2^31, tag < 4

  static FoundPair of(std::uint64_t first, std::uint64_t second, double distance, unsigned tag = 0) noexcept {
    return {std::bit_cast<std::uint64_t>(distance), first << 33 | second << 2 | tag};
  }
  std::uint64_t first() const noexcept { return atoms >> 33; }
  std::uint64_t second() const noexcept { return (atoms >> 2) & 0x7fffffffu; }
  unsigned tag() const noexcept { return static_cast<unsigned>(atoms & 3); }  // a rule's own mark of the pair
  double distance() const noexcept { return std::bit_cast<double>(distance_bits); }
  friend bool operator==(const FoundPair&, const FoundPair&) = default;
};

// Atom indices a FoundPair can hold; the index stays empty for structures with more atoms.
inline constexpr std::uint64_t kMaxPairedAtoms = std::uint64_t{1} << 31;

// One search's pairs, grown in blocks that never move: no copy of millions of pairs while it runs.
using PairList = BlockList<FoundPair>;

// The pairs of a search that ran in parts side by side, one list per part.
struct FoundPairs {
  std::vector<PairList> parts;
  std::size_t size() const noexcept {
    std::size_t n = 0;
    for (const PairList& part : parts) n += part.size();
    return n;
  }
};

// The sorted pairs, written once in full by the sorts.
using PairBuffer = ScratchArray<FoundPair>;

// The pairs ascending by first, then second index, each pair once (a pair found twice has the same
// distance and tag both times). Every index must be below atom_count. May throw std::bad_alloc.
PairBuffer in_scan_order(const FoundPairs& found, std::uint64_t atom_count);

// The pairs ascending by (distance, first, second), each pair once; every distance must lie in
// [0, cutoff]. May throw std::bad_alloc.
PairBuffer in_distance_order(const FoundPairs& found, double cutoff);

}  // namespace quarn
