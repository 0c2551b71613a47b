#include "quarn/found_pairs.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <utility>
#include <vector>

#include "pair_sort.hpp"
#include "quarn/atom_list.hpp"

namespace quarn {

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;
// Chunks grow from this many pairs to a whole huge page each, so that small searches stay small.
constexpr std::size_t kFirstChunkPairs = 64;

std::size_t total_size(std::span<const PairRun> runs) noexcept {
  std::size_t n = 0;
  for (const PairRun& run : runs) n += run.size;
  return n;
}

// Lambdas rather than functions, so that the sorts inline them.
constexpr auto atoms_of = [](const FoundPair& p) noexcept { return p.atoms; };
constexpr auto distance_bits_of = [](const FoundPair& p) noexcept { return p.distance_bits; };

void drop_repeats(PairBuffer& pairs) {
  pairs.truncate(detail::unique_in_slices(pairs.begin(), pairs.size()));
}

}  // namespace

// Buckets by the first index (by its top bits when there are few pairs for many atoms), then
// (first, second) within each.
PairBuffer in_scan_order(std::span<const PairRun> found, std::uint64_t atom_count) {
  const std::size_t size = total_size(found);
  PairBuffer pairs(size, "the pairs of a search, in order");
  int shift = 0;
  while ((atom_count >> shift) > size / 2 + 1) ++shift;
  std::vector<std::uint64_t> start;
  detail::scatter(found, (atom_count >> shift) + 1, [shift](const FoundPair& p) { return p.first() >> shift; },
                  pairs.begin(), start);
  detail::sort_buckets(pairs.begin(), start, atoms_of);
  drop_repeats(pairs);
  return pairs;
}

// For distances in [0, cutoff]: the first pass splits [0, cutoff] evenly in few enough buckets that
// its write streams stay in cache (a scatter over millions of buckets misses on nearly every write);
// a product with a positive number never reverses an order, so the buckets ascend. Each bucket is
// then sorted by the bits of the distance (they ascend with a non-negative distance), and each run of
// equal distances by (first, second).
PairBuffer in_distance_order(std::span<const PairRun> found, double cutoff) {
  PairBuffer pairs(total_size(found), "the pairs of a search, in order");
  constexpr std::uint64_t kBuckets = 2048;
  const double scale = static_cast<double>(kBuckets) / cutoff;
  const bool spread = std::isfinite(scale);
  std::vector<std::uint64_t> start;
  detail::scatter(found, spread ? kBuckets : 1, [&](const FoundPair& p) {
    // An infinite distance under an infinite cutoff scales to NaN: the last bucket, as anything
    // beyond the top.
    const double bucket = p.distance() * scale;
    return spread && bucket < static_cast<double>(kBuckets - 1) ? static_cast<std::uint64_t>(bucket)
                                                                : (spread ? kBuckets - 1 : 0);
  }, pairs.begin(), start);
  detail::sort_buckets(pairs.begin(), start, distance_bits_of);
  FoundPair* out = pairs.begin();
  std::vector<FoundPair> scratch;
  for (std::size_t i = 0, n = pairs.size(), polled = 0; i < n;) {
    if (i - polled >= (std::size_t{1} << 16)) {
      polled = i;
      interruption_point();
    }
    std::size_t end = i + 1;
    while (end < n && out[end].distance_bits == out[i].distance_bits) ++end;
    if (end - i > 1) {
      if (scratch.size() < end - i) scratch.resize(end - i);
      detail::radix_sort(out + i, end - i, scratch.data(), atoms_of);
    }
    i = end;
  }
  drop_repeats(pairs);
  return pairs;
}

PairChunks::PairChunks(PairChunks&& other) noexcept
    : first_(std::exchange(other.first_, nullptr)),
      last_(std::exchange(other.last_, nullptr)),
      size_(std::exchange(other.size_, 0)) {}

PairChunks& PairChunks::operator=(PairChunks&& other) noexcept {
  std::swap(first_, other.first_);
  std::swap(last_, other.last_);
  std::swap(size_, other.size_);
  return *this;
}

PairChunks::~PairChunks() {
  for (Chunk* c = first_; c != nullptr;) {
    Chunk* next = c->next;
    std::free(c);
    c = next;
  }
}

bool PairChunks::grow() noexcept {
  const std::size_t header = sizeof(Chunk);
  const std::size_t whole = (kHugePage - header) / sizeof(FoundPair);
  const std::size_t capacity = last_ == nullptr ? kFirstChunkPairs : std::min(4 * last_->capacity, whole);
  const std::size_t bytes = header + capacity * sizeof(FoundPair);
  const bool huge = capacity == whole;
  // Large chunks are asked for by the whole huge page; every 32 of them, the system is asked whether
  // 64 MiB more can be had, so that an impossible search fails instead of being killed (memory.hpp).
  if (huge && size_ / whole % 32 == 0 && !fits_in_memory(std::uint64_t{64} << 20)) return false;
  void* memory = huge ? std::aligned_alloc(kHugePage, kHugePage) : std::malloc(bytes);
  if (memory == nullptr) return false;
  if (huge) detail::advise_huge_pages(memory, kHugePage);
  Chunk* c = static_cast<Chunk*>(memory);
  *c = Chunk{nullptr, 0, capacity, 0};
  (last_ == nullptr ? first_ : last_->next) = c;
  last_ = c;
  return true;
}

void PairChunks::append_runs(std::vector<PairRun>& out) const {
  for (const Chunk* c = first_; c != nullptr; c = c->next) {
    if (c->size > 0) out.push_back({c->pairs(), c->size});
  }
}

NearestPairs::NearestPairs(NearestPairs&& other) noexcept
    : keep_(other.keep_),
      data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)),
      full_(std::exchange(other.full_, false)),
      bound_(other.bound_) {}

NearestPairs& NearestPairs::operator=(NearestPairs&& other) noexcept {
  std::swap(keep_, other.keep_);
  std::swap(data_, other.data_);
  std::swap(size_, other.size_);
  std::swap(capacity_, other.capacity_);
  std::swap(full_, other.full_);
  std::swap(bound_, other.bound_);
  return *this;
}

NearestPairs::~NearestPairs() { std::free(data_); }

bool NearestPairs::make_room() noexcept {
  // Holding twice `keep` (or the least worth sorting), the array is cut back to the nearest `keep`:
  // each cut sorts 2 keep pairs and frees room for keep more, so a pair costs O(log keep) at most.
  const std::size_t limit = keep_ > (std::size_t{1} << 40) ? std::size_t{1} << 41 : 2 * keep_ + 1024;
  if (size_ >= limit) {
    std::sort(data_, data_ + size_, nearer_pair);
    size_ = static_cast<std::size_t>(std::unique(data_, data_ + size_) - data_);
    if (size_ >= keep_) {
      size_ = keep_;
      full_ = true;
      bound_ = data_[keep_ - 1];
    }
    if (size_ < capacity_) return true;
  }
  const std::size_t grown = std::min(limit, std::max<std::size_t>(256, 2 * capacity_));
  if (grown > std::size_t{1} << 20 && !fits_in_memory(grown * sizeof(FoundPair))) return false;
  // Why realloc: the large arrays are mappings of their own, which the system moves without copying.
  void* memory = std::realloc(data_, grown * sizeof(FoundPair));
  if (memory == nullptr) return false;
  data_ = static_cast<FoundPair*>(memory);
  capacity_ = grown;
  return true;
}

}  // namespace quarn
