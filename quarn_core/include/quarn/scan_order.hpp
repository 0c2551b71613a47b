// Puts pairs that an index found in any order into the order of a scan over every pair: ascending
// first index, then second, each pair once.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

namespace quarn {

// Sorts `rows` by `less`, where bucket_of(row) is below `buckets` and never decreases along `less`.
// Why: with several rows per bucket a counting pass is linear where a comparison sort of millions of
// rows is not, and each bucket's few rows are then sorted in cache. May throw std::bad_alloc.
template <class T, class Bucket, class Less>
void bucket_sort(std::vector<T>& rows, std::uint64_t buckets, Bucket bucket_of, Less less) {
  std::vector<std::uint64_t> start(buckets + 1, 0);
  for (const T& row : rows) ++start[bucket_of(row) + 1];
  for (std::uint64_t k = 0; k < buckets; ++k) start[k + 1] += start[k];
  std::vector<T> out(rows.size());
  {
    std::vector<std::uint64_t> next(start.begin(), start.end() - 1);
    for (const T& row : rows) out[next[bucket_of(row)]++] = row;
  }
  for (std::uint64_t k = 0; k < buckets; ++k) {
    const auto begin = out.begin() + static_cast<std::ptrdiff_t>(start[k]);
    const auto end = out.begin() + static_cast<std::ptrdiff_t>(start[k + 1]);
    if (end - begin < 2) continue;
    if (end - begin > 24) {
      std::sort(begin, end, less);
      continue;
    }
    for (auto it = begin + 1; it < end; ++it) {  // an insertion sort for the usual few rows
      const T v = *it;
      auto j = it;
      for (; j != begin && less(v, *(j - 1)); --j) *j = *(j - 1);
      *j = v;
    }
  }
  rows.swap(out);
}

// `first(row)` and `second(row)` give a row's two atom indices, both below `atom_count`. Rows with
// the same two indices are the same pair found twice and must be equal; all but one are dropped.
// May throw std::bad_alloc.
template <class T, class First, class Second>
void to_scan_order(std::vector<T>& rows, std::uint64_t atom_count, First first, Second second) {
  const auto before = [&](const T& a, const T& b) {
    return first(a) != first(b) ? first(a) < first(b) : second(a) < second(b);
  };
  if (rows.size() < 64 || rows.size() < atom_count / 8) {
    std::sort(rows.begin(), rows.end(), before);
  } else {
    bucket_sort(rows, atom_count, first, before);
  }
  const auto same = [&](const T& a, const T& b) { return first(a) == first(b) && second(a) == second(b); };
  rows.erase(std::unique(rows.begin(), rows.end(), same), rows.end());
}

}  // namespace quarn
