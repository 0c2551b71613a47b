// Whether a result can fit in memory before it is built, so that exhaustion raises instead of killing.
#pragma once

#include <cstdint>

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

// Bytes this process can still obtain from the machine: the kernel's available memory plus free swap,
// bounded by the control group's limit when there is one. Absent when the system does not say.
// Reads a few small files under /proc and /sys; never allocates on the heap.
struct MemoryReading {
  bool known;
  std::uint64_t bytes;
};
MemoryReading available_memory() noexcept;

// True when `bytes` fits in available_memory(). Amounts below kAlwaysFits are accepted without asking
// the system: reading /proc costs tens of microseconds, more than the small queries it would guard,
// and no machine this runs on lacks a few megabytes.
inline constexpr std::uint64_t kAlwaysFits = std::uint64_t{64} << 20;
bool fits_in_memory(std::uint64_t bytes, std::uint64_t* available) noexcept;

}  // namespace quarn::py
