// How much memory can still be had, asked before large steps so that running out is an error instead
// of a process the kernel kills.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

namespace quarn {

// Why ask at all: the kernel grants address space freely (overcommit) and only finds out that memory is
// short when the pages are written, and then it kills the largest process. A reader or a query that
// asks before each large step can fail cleanly instead.

struct MemoryReading {
  bool known;           // false when the system does not say (no /proc): then nothing is refused
  std::uint64_t bytes;  // what the process can still commit
  std::uint64_t total;  // the size of the smallest pool that bounds it (machine or control group)
};

// The machine's available memory plus free swap, bounded by the room left under every memory limit of
// the process's control groups (v1 and v2, ancestors included) and by the test ceiling. Reads a few
// small files under /proc and /sys (tens of microseconds); never allocates, never throws.
MemoryReading available_memory() noexcept;

// Requests up to this size are granted without asking: no machine lacks a few megabytes, and asking
// costs more than the small steps it would guard.
inline constexpr std::uint64_t kAlwaysFits = std::uint64_t{64} << 20;

// True when `bytes` more can be committed and the system still keeps a reserve of 1/32 of the bounding
// pool, so that the other processes (and the caller's next small allocations) still find memory.
// True below kAlwaysFits and when the system does not say. `available`, when given, receives what
// the system said (0 when it was not asked or did not say). Never allocates, never throws.
bool fits_in_memory(std::uint64_t bytes, std::uint64_t* available = nullptr) noexcept;

// Memory exhaustion that says what did not fit: a std::bad_alloc, so every handler of exhaustion still
// takes it, whose what() names the step and the bytes it asked for. Made without allocating.
class MemoryShortage : public std::bad_alloc {
 public:
  // `what` names what was being made ("the rows of a contact search"); bytes 0 leaves the size out.
  explicit MemoryShortage(const char* what, std::uint64_t bytes = 0) noexcept;
  const char* what() const noexcept override { return text_; }

 private:
  char text_[192];
};

// vector::reserve that asks first when the new room is large, and throws std::bad_alloc when it does
// not fit. For results that can grow with the square of the atom count (every pair of a huge cutoff):
// they must end in an exception, not in a process the kernel kills while the pages are written.
// Runs f() and returns what it returns; a std::bad_alloc that does not say what did not fit becomes a
// MemoryShortage naming `what`.
template <class F>
decltype(auto) naming_shortage(const char* what, F&& f) {
  try {
    return f();
  } catch (const MemoryShortage&) {
    throw;
  } catch (const std::bad_alloc&) {
    throw MemoryShortage(what);
  }
}

// Throws MemoryShortage naming `what`.
template <class T, class A>
void reserve_checked(std::vector<T, A>& v, std::size_t n, const char* what = "a search result") {
  if (n <= v.capacity()) return;
  const std::uint64_t bytes = static_cast<std::uint64_t>(n) * sizeof(T);
  if (n > v.max_size() || !fits_in_memory(bytes)) throw MemoryShortage(what, bytes);
  try {
    v.reserve(n);
  } catch (const std::bad_alloc&) {
    throw MemoryShortage(what, bytes);
  }
}

// push_back with reserve_checked's question asked at every doubling.
template <class T, class A>
void push_back_checked(std::vector<T, A>& v, const T& value, const char* what = "a search result") {
  if (v.size() == v.capacity()) reserve_checked(v, v.capacity() < 8 ? 16 : 2 * v.capacity(), what);
  v.push_back(value);
}

namespace detail {
// For tests: behave as if the process could hold at most `bytes` resident (0 lifts the ceiling).
void set_memory_ceiling(std::uint64_t bytes) noexcept;
}  // namespace detail

}  // namespace quarn
