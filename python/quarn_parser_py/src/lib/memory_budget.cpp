#include "memory_budget.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <limits>

namespace quarn::py {

namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

// Reads a small file into `buffer` (NUL-terminated); false when it cannot be read.
bool read_small_file(const char* path, char* buffer, std::size_t size) noexcept {
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::size_t used = 0;
  while (used + 1 < size) {
    const ssize_t n = ::read(fd, buffer + used, size - 1 - used);
    if (n < 0) {
      ::close(fd);
      return false;
    }
    if (n == 0) break;
    used += static_cast<std::size_t>(n);
  }
  ::close(fd);
  buffer[used] = '\0';
  return true;
}

// The value in kB of the /proc/meminfo line starting with `key`, in bytes.
bool meminfo_field(const char* text, const char* key, std::uint64_t* bytes) noexcept {
  const std::size_t key_length = std::strlen(key);
  for (const char* line = text; *line != '\0';) {
    if (std::strncmp(line, key, key_length) == 0) {
      *bytes = saturating_mul_add(std::strtoull(line + key_length, nullptr, 10), 1024, 0);
      return true;
    }
    const char* next = std::strchr(line, '\n');
    if (next == nullptr) break;
    line = next + 1;
  }
  return false;
}

// A control group's limit as a number of bytes; "max" and unreadable files mean no limit.
std::uint64_t cgroup_number(const char* path) noexcept {
  char buffer[64];
  if (!read_small_file(path, buffer, sizeof buffer) || buffer[0] < '0' || buffer[0] > '9') return kMax;
  return std::strtoull(buffer, nullptr, 10);
}

}  // namespace

std::uint64_t saturating_mul_add(std::uint64_t a, std::uint64_t b, std::uint64_t c) noexcept {
  std::uint64_t product = 0;
  std::uint64_t sum = 0;
  if (__builtin_mul_overflow(a, b, &product) || __builtin_add_overflow(product, c, &sum)) return kMax;
  return sum;
}

MemoryReading available_memory() noexcept {
  char meminfo[8192];
  std::uint64_t available = 0;
  if (!read_small_file("/proc/meminfo", meminfo, sizeof meminfo) ||
      !meminfo_field(meminfo, "MemAvailable:", &available)) {
    return {false, 0};
  }
  std::uint64_t swap_free = 0;
  if (meminfo_field(meminfo, "SwapFree:", &swap_free)) available = saturating_add(available, swap_free);

  // A container's limit binds before the machine's: cgroup v2 first, then v1.
  std::uint64_t limit = cgroup_number("/sys/fs/cgroup/memory.max");
  std::uint64_t used = cgroup_number("/sys/fs/cgroup/memory.current");
  if (limit == kMax) {
    limit = cgroup_number("/sys/fs/cgroup/memory/memory.limit_in_bytes");
    used = cgroup_number("/sys/fs/cgroup/memory/memory.usage_in_bytes");
  }
  if (limit != kMax && used != kMax) {
    const std::uint64_t room = used < limit ? limit - used : 0;
    if (room < available) available = room;
  }
  return {true, available};
}

bool fits_in_memory(std::uint64_t bytes, std::uint64_t* available) noexcept {
  *available = 0;
  if (bytes < kAlwaysFits) return true;
  const MemoryReading reading = available_memory();
  if (!reading.known) return true;  // nothing to compare with: let the allocators decide
  *available = reading.bytes;
  return bytes <= reading.bytes;
}

}  // namespace quarn::py
