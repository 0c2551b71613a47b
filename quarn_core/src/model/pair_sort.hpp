// The sorts that put found pairs in the order of a scan: counting passes into buckets, then radix
// and insertion sorts within each bucket, in cache. Internal to the core.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <span>
#include <vector>

#include "quarn/found_pairs.hpp"
#include "quarn/interrupt.hpp"
#include "quarn/scratch_array.hpp"

namespace quarn::detail {

// Calls f(pair) for every pair of every run. An interruption point between runs.
template <class F>
void for_each_found(std::span<const PairRun> runs, F&& f) {
  for (const PairRun& run : runs) {
    interruption_point();
    for (std::size_t k = 0; k < run.size; ++k) f(run.data[k]);
  }
}

// Touches every page of the `size` values at `data`, a slice at a time with an interruption point
// between slices. Why: a scatter writes all over its output from its first run, so that run would
// fault in the whole array (about half a second per gigabyte) without a check.
template <class T>
void fault_in(T* data, std::size_t size) {
  constexpr std::size_t kSlice = std::size_t{4} << 20, kPage = 4096;
  volatile char* bytes = reinterpret_cast<char*>(data);
  const std::size_t total = size * sizeof(T);
  for (std::size_t at = 0; at < total; at += kSlice) {
    interruption_point();
    const std::size_t end = std::min(total, at + kSlice);
    for (std::size_t page = at; page < end; page += kPage) bytes[page] = 0;
  }
}

// Writes every pair of the runs into `out` (as many as they hold), grouped by bucket_of(pair) in ascending
// bucket order and stably within a bucket; `start` receives the buckets + 1 bounds.
// Why counting passes: with several pairs per bucket, bucketing is linear where a comparison sort of
// millions of pairs is not, and each bucket's pairs are then sorted in cache.
template <class Bucket>
void scatter(std::span<const PairRun> found, std::uint64_t buckets, Bucket bucket_of, FoundPair* out,
             std::vector<std::uint64_t>& start) {
  start.assign(buckets + 1, 0);
  for_each_found(found, [&](const FoundPair& p) { ++start[bucket_of(p) + 1]; });
  for (std::uint64_t k = 0; k < buckets; ++k) start[k + 1] += start[k];
  fault_in(out, start[buckets]);
  std::vector<std::uint64_t> next(start.begin(), start.end() - 1);
  for_each_found(found, [&](const FoundPair& p) { out[next[bucket_of(p)]++] = p; });
}

// A stable insertion sort: its cost is the range plus its inversions, small for a few rows and for
// many equal keys with a few others among them.
template <class T, class Key>
void insertion_sort(T* begin, T* end, Key key) {
  if (end - begin < 2) return;  // also keeps begin + 1 off an empty range's null pointer
  for (T* it = begin + 1; it < end; ++it) {
    const T v = *it;
    T* j = it;
    for (; j != begin && key(v) < key(*(j - 1)); --j) *j = *(j - 1);
    *j = v;
  }
}

// A stable sort of `size` rows by an integer key, in cache: counting passes on ever lower bits of
// the keys' span, down to groups small enough for the insertion sort. Why not only the insertion
// sort: a bucket may hold hundreds of nearly equal keys in any order. `scratch` holds `size` rows.
template <class T, class Key>
void radix_sort(T* begin, std::size_t size, T* scratch, Key key) {
  if (size <= 16) {
    insertion_sort(begin, begin + size, key);
    return;
  }
  std::uint64_t lo = key(begin[0]), hi = lo;
  for (std::size_t i = 1; i < size; ++i) {
    lo = std::min(lo, key(begin[i]));
    hi = std::max(hi, key(begin[i]));
  }
  if (lo == hi) return;  // one key: the order stands
  constexpr std::uint64_t kMaxBuckets = 1024;
  const std::uint64_t buckets = std::min(kMaxBuckets, std::bit_ceil(size / 2));
  int shift = 0;
  while (((hi - lo) >> shift) >= buckets) ++shift;  // at least two buckets get rows
  std::uint64_t first[kMaxBuckets] = {};
  const auto bucket_of = [&](const T& row) { return (key(row) - lo) >> shift; };
  for (std::size_t i = 0; i < size; ++i) ++first[bucket_of(begin[i])];
  std::uint64_t total = 0;
  for (std::uint64_t b = 0; b < buckets; ++b) first[b] = total += first[b];
  // Filled from the back so that equal keys keep their order; first[b] ends at bucket b's start.
  for (std::size_t i = size; i-- > 0;) scratch[--first[bucket_of(begin[i])]] = begin[i];
  std::copy(scratch, scratch + size, begin);
  for (std::uint64_t b = 0; b < buckets; ++b) {
    const std::uint64_t end = b + 1 < buckets ? first[b + 1] : size;
    if (end - first[b] > 1) radix_sort(begin + first[b], end - first[b], scratch, key);
  }
}

// std::unique over the `size` values at `data`, a slice at a time with an interruption point between
// slices; returns how many it kept. Writes nothing before the first repeat, as std::unique.
template <class T>
std::size_t unique_in_slices(T* data, std::size_t size) {
  constexpr std::size_t kSlice = std::size_t{1} << 20;
  std::size_t kept = std::min<std::size_t>(size, 1);
  for (std::size_t at = 1; at < size; at += kSlice) {
    interruption_point();
    const std::size_t end = std::min(size, at + kSlice);
    for (std::size_t k = at; k < end; ++k) {
      if (data[k] == data[kept - 1]) continue;
      if (kept != k) data[kept] = data[k];
      ++kept;
    }
  }
  return kept;
}

// radix_sort of every bucket [start[k], start[k + 1]) of `rows`; an interruption point between buckets.
// May throw std::bad_alloc.
template <class T, class Key>
void sort_buckets(T* rows, const std::vector<std::uint64_t>& start, Key key) {
  std::uint64_t largest = 0;
  for (std::size_t k = 0; k + 1 < start.size(); ++k) largest = std::max(largest, start[k + 1] - start[k]);
  ScratchArray<T> scratch(largest);
  for (std::size_t k = 0; k + 1 < start.size(); ++k) {
    interruption_point();
    radix_sort(rows + start[k], start[k + 1] - start[k], scratch.begin(), key);
  }
}

}  // namespace quarn::detail
