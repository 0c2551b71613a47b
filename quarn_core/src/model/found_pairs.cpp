#include "quarn/found_pairs.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include "pair_sort.hpp"

namespace quarn {

namespace {

// Lambdas rather than functions, so that the sorts inline them.
constexpr auto atoms_of = [](const FoundPair& p) noexcept { return p.atoms; };
constexpr auto distance_bits_of = [](const FoundPair& p) noexcept { return p.distance_bits; };

void drop_repeats(PairBuffer& pairs) {
  pairs.truncate(static_cast<std::size_t>(std::unique(pairs.begin(), pairs.end()) - pairs.begin()));
}

}  // namespace

// Buckets by the first index (by its top bits when there are few pairs for many atoms), then
// (first, second) within each.
PairBuffer in_scan_order(const FoundPairs& found, std::uint64_t atom_count) {
  PairBuffer pairs(found.size());
  int shift = 0;
  while ((atom_count >> shift) > found.size() / 2 + 1) ++shift;
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
PairBuffer in_distance_order(const FoundPairs& found, double cutoff) {
  PairBuffer pairs(found.size());
  constexpr std::uint64_t kBuckets = 2048;
  const double scale = static_cast<double>(kBuckets) / cutoff;
  const bool spread = std::isfinite(scale);
  std::vector<std::uint64_t> start;
  detail::scatter(found, spread ? kBuckets : 1, [&](const FoundPair& p) {
    return spread ? std::min(kBuckets - 1, static_cast<std::uint64_t>(p.distance() * scale)) : 0;
  }, pairs.begin(), start);
  detail::sort_buckets(pairs.begin(), start, distance_bits_of);
  FoundPair* out = pairs.begin();
  std::vector<FoundPair> scratch;
  for (std::size_t i = 0, n = pairs.size(); i < n;) {
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

}  // namespace quarn
