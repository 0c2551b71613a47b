// Atom pairs that a search found in no particular order, held compactly until they are put in the
// order of a scan over every pair.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

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

// The order of rows sorted stably by distance from a scan: distance, then first, then second atom.
inline bool nearer_pair(const FoundPair& a, const FoundPair& b) noexcept {
  return a.distance_bits != b.distance_bits ? a.distance_bits < b.distance_bits : a.atoms < b.atoms;
}

// Atom indices a FoundPair can hold; a pair search refuses structures with more atoms.
inline constexpr std::uint64_t kMaxPairedAtoms = std::uint64_t{1} << 31;

// Pairs side by side in memory.
struct PairRun {
  const FoundPair* data;
  std::size_t size;
};

// One search part's pairs, in chunks that never move (no copy of millions of pairs while the search
// runs). Filled on worker threads, so growing never throws: push_back reports a failed allocation.
class PairChunks {
 public:
  PairChunks() = default;
  PairChunks(PairChunks&& other) noexcept;
  PairChunks& operator=(PairChunks&& other) noexcept;
  PairChunks(const PairChunks&) = delete;
  PairChunks& operator=(const PairChunks&) = delete;
  ~PairChunks();

  // False when no memory could be had for it; the list is then unchanged.
  bool push_back(const FoundPair& p) noexcept {
    if (last_ == nullptr || last_->size == last_->capacity) {
      if (!grow()) return false;
    }
    last_->pairs()[last_->size++] = p;
    ++size_;
    return true;
  }
  std::size_t size() const noexcept { return size_; }
  // Appends the chunks' runs, in order. May throw std::bad_alloc.
  void append_runs(std::vector<PairRun>& out) const;

 private:
  struct Chunk {
    Chunk* next;
    std::size_t size;
    std::size_t capacity;
    std::size_t padding;  // keeps the pairs 32-byte aligned after the header
    FoundPair* pairs() noexcept { return reinterpret_cast<FoundPair*>(this + 1); }
    const FoundPair* pairs() const noexcept { return reinterpret_cast<const FoundPair*>(this + 1); }
  };
  bool grow() noexcept;

  Chunk* first_ = nullptr;
  Chunk* last_ = nullptr;
  std::size_t size_ = 0;
};

// One search part's `keep` nearest pairs (in nearer_pair order) among those offered to it, each once.
// An array grown without throwing (it too is filled on a worker), cut back to the nearest `keep`
// whenever it holds twice as many: memory grows with `keep`, not with the pairs offered.
class NearestPairs {
 public:
  explicit NearestPairs(std::uint64_t keep) noexcept : keep_(keep) {}
  NearestPairs(NearestPairs&& other) noexcept;
  NearestPairs& operator=(NearestPairs&& other) noexcept;
  NearestPairs(const NearestPairs&) = delete;
  NearestPairs& operator=(const NearestPairs&) = delete;
  ~NearestPairs();

  // False when no memory could be had; a pair farther than the nearest `keep` already held is dropped.
  bool push_back(const FoundPair& p) noexcept {
    if (full_ && !nearer_pair(p, bound_)) return true;
    if (size_ == capacity_ && !make_room()) return false;
    data_[size_++] = p;
    return true;
  }
  // Every pair held (more than `keep` until the caller sorts them), in no particular order.
  PairRun run() const noexcept { return {data_, size_}; }

 private:
  bool make_room() noexcept;

  std::uint64_t keep_;
  FoundPair* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  bool full_ = false;   // `keep` distinct pairs held: bound_ is the farthest of them
  FoundPair bound_{};
};

// The sorted pairs, written once in full by the sorts.
using PairBuffer = ScratchArray<FoundPair>;

// The pairs ascending by first, then second index, each pair once (a pair found twice has the same
// distance and tag both times). Every index must be below atom_count. May throw std::bad_alloc, and
// Interrupted at its interruption points.
PairBuffer in_scan_order(std::span<const PairRun> runs, std::uint64_t atom_count);

// The pairs in nearer_pair order, each pair once; every distance must lie in [0, cutoff]. May throw
// std::bad_alloc, and Interrupted at its interruption points.
PairBuffer in_distance_order(std::span<const PairRun> runs, double cutoff);

}  // namespace quarn
