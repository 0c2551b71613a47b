// Whether a result can fit in memory before it is built, so that exhaustion raises instead of killing.
#pragma once

#include <cstdint>

#include "quarn/memory.hpp"

namespace quarn::py {

// Sizes of the interpreter's objects on 64-bit CPython 3.9 and later, as the allocator hands them out
// (garbage-collector header included), for estimating what a result will cost as Python objects.
inline constexpr std::uint64_t kPyFloatBytes = 24;
inline constexpr std::uint64_t kPyIntBytes = 32;          // an int that is not one of the cached small ones
inline constexpr std::uint64_t kPyListBytes = 56;         // the list itself, without its item array
inline constexpr std::uint64_t kPyPointerBytes = 8;       // one list or tuple slot
inline constexpr std::uint64_t kPyPairBytes = 56;         // a tuple of two items

// a * b + c, saturating at the largest value instead of wrapping. Never allocates.
std::uint64_t saturating_mul_add(std::uint64_t a, std::uint64_t b, std::uint64_t c) noexcept;

inline std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) noexcept { return saturating_mul_add(a, 1, b); }

// A list of n items of `item_bytes` each, slots included.
inline std::uint64_t list_bytes(std::uint64_t n, std::uint64_t item_bytes) noexcept {
  return saturating_mul_add(n, item_bytes + kPyPointerBytes, kPyListBytes);
}

// The core's check (quarn/memory.hpp): amounts below quarn::kAlwaysFits pass without asking the
// system; others must fit in available memory and leave the system its reserve.
using quarn::fits_in_memory;

// fits_in_memory(bytes), else false with MemoryError "<what> needs <bytes> bytes, more than the <n>
// bytes of memory available" set: the one wording of a result refused before it is allocated.
bool fits_or_refuse(const char* what, std::uint64_t bytes) noexcept;

}  // namespace quarn::py
