#include "quarn/found_pairs.hpp"

#include <algorithm>

#include "pair_sort.hpp"

namespace quarn {

namespace {

const auto kSame = [](const FoundPair& p) { return p; };
const auto kAtoms = [](const FoundPair& p) { return p.atoms; };

void drop_repeats(PairBuffer& pairs) {
  pairs.truncate(static_cast<std::size_t>(std::unique(pairs.begin(), pairs.end()) - pairs.begin()));
}

}  // namespace

PairBuffer in_scan_order(const FoundPairs& found, std::uint64_t atom_count) {
  PairBuffer pairs(found.size());
  detail::put_in_scan_order(found, atom_count, kSame, kAtoms, pairs.begin());
  drop_repeats(pairs);
  return pairs;
}

PairBuffer in_distance_order(const FoundPairs& found, double cutoff) {
  PairBuffer pairs(found.size());
  detail::put_in_distance_order(found, cutoff, kSame, [](const FoundPair& p) { return p.distance_bits; }, kAtoms,
                                pairs.begin());
  drop_repeats(pairs);
  return pairs;
}

}  // namespace quarn
