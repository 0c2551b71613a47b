#include "quarn/memory.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string_view>

namespace quarn {

namespace {

constexpr std::uint64_t kNoLimit = std::numeric_limits<std::uint64_t>::max();
// Deeper control-group paths than this are not walked (real hierarchies are a few levels deep).
constexpr int kMaxLevels = 32;

std::atomic<std::uint64_t> ceiling{0};

// Reads a small file into `buffer`, NUL-terminated; false when it cannot be read.
bool read_small_file(const char* path, char* buffer, std::size_t size) noexcept {
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::size_t used = 0;
  bool ok = true;
  while (used + 1 < size) {
    const ssize_t n = ::read(fd, buffer + used, size - 1 - used);
    if (n < 0) {
      ok = false;
      break;
    }
    if (n == 0) break;
    used += static_cast<std::size_t>(n);
  }
  ::close(fd);
  buffer[used] = '\0';
  return ok;
}

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) noexcept {
  return a > kNoLimit - b ? kNoLimit : a + b;
}

// The value of the /proc/meminfo line starting with `key`, in bytes; false when it is missing.
bool meminfo_field(const char* text, const char* key, std::uint64_t* bytes) noexcept {
  const std::size_t key_length = std::strlen(key);
  for (const char* line = text; *line != '\0';) {
    if (std::strncmp(line, key, key_length) == 0) {
      const std::uint64_t kb = std::strtoull(line + key_length, nullptr, 10);
      *bytes = kb > kNoLimit / 1024 ? kNoLimit : kb * 1024;
      return true;
    }
    const char* next = std::strchr(line, '\n');
    if (next == nullptr) break;
    line = next + 1;
  }
  return false;
}

// A number of bytes from a control-group file; "max", unreadable files and the "unlimited" values of
// cgroup v1 (near 2^63) mean no limit.
std::uint64_t cgroup_number(const char* path) noexcept {
  char buffer[64];
  if (!read_small_file(path, buffer, sizeof buffer) || buffer[0] < '0' || buffer[0] > '9') return kNoLimit;
  const std::uint64_t n = std::strtoull(buffer, nullptr, 10);
  return n >= (std::uint64_t{1} << 62) ? kNoLimit : n;
}

struct Room {
  std::uint64_t bytes = kNoLimit;  // the least room left under any limit
  std::uint64_t limit = kNoLimit;  // the limit that leaves it
};

// Walks the control group at `path` (relative to the hierarchy mounted at `mount`) and each of its
// ancestors, narrowing `room` by every memory limit found.
void narrow_by_cgroup(const char* mount, const char* path, std::size_t path_length, const char* limit_file,
                      const char* usage_file, Room* room) noexcept {
  char dir[512];
  for (int level = 0; level < kMaxLevels; ++level) {
    // Drop trailing slashes; an empty path is the hierarchy's root.
    while (path_length > 0 && path[path_length - 1] == '/') --path_length;
    char file[640];
    // The path starts with "/" (an empty one is the root).
    const int n = std::snprintf(dir, sizeof dir, "%s%.*s", mount, static_cast<int>(path_length), path);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof dir) return;
    std::snprintf(file, sizeof file, "%s/%s", dir, limit_file);
    const std::uint64_t limit = cgroup_number(file);
    if (limit != kNoLimit) {
      std::snprintf(file, sizeof file, "%s/%s", dir, usage_file);
      const std::uint64_t usage = cgroup_number(file);
      if (usage != kNoLimit) {
        const std::uint64_t left = usage < limit ? limit - usage : 0;
        if (left < room->bytes) room->bytes = left;
        if (limit < room->limit) room->limit = limit;
      }
    }
    if (path_length == 0) return;
    std::size_t cut = path_length;
    while (cut > 0 && path[cut - 1] != '/') --cut;
    path_length = cut;
  }
}

// The room under the memory limits of the process's control groups, from /proc/self/cgroup: the line
// "0::PATH" of cgroup v2 and the line naming the memory controller of cgroup v1.
Room cgroup_room() noexcept {
  Room room;
  char groups[4096];
  if (!read_small_file("/proc/self/cgroup", groups, sizeof groups)) return room;
  for (char* line = groups; *line != '\0';) {
    char* end = std::strchr(line, '\n');
    const std::size_t length = end ? static_cast<std::size_t>(end - line) : std::strlen(line);
    // hierarchy-id:controllers:path
    const char* first = static_cast<const char*>(std::memchr(line, ':', length));
    const char* second = first ? static_cast<const char*>(std::memchr(first + 1, ':', length - (first + 1 - line))) : nullptr;
    if (second != nullptr) {
      const char* path = second + 1;
      const std::size_t path_length = length - static_cast<std::size_t>(path - line);
      const std::string_view controllers(first + 1, static_cast<std::size_t>(second - first - 1));
      if (controllers.empty() && first - line == 1 && line[0] == '0') {
        const char* mount = ::access("/sys/fs/cgroup/cgroup.controllers", F_OK) == 0 ? "/sys/fs/cgroup"
                                                                                       : "/sys/fs/cgroup/unified";
        narrow_by_cgroup(mount, path, path_length, "memory.max", "memory.current", &room);
      } else {
        for (std::size_t at = 0; at < controllers.size();) {
          std::size_t comma = controllers.find(',', at);
          if (comma == std::string_view::npos) comma = controllers.size();
          if (controllers.substr(at, comma - at) == "memory") {
            narrow_by_cgroup("/sys/fs/cgroup/memory", path, path_length, "memory.limit_in_bytes",
                             "memory.usage_in_bytes", &room);
          }
          at = comma + 1;
        }
      }
    }
    if (end == nullptr) break;
    line = end + 1;
  }
  return room;
}

// Resident bytes of this process, from /proc/self/statm; 0 when unknown.
std::uint64_t resident_bytes() noexcept {
  char statm[128];
  if (!read_small_file("/proc/self/statm", statm, sizeof statm)) return 0;
  const char* space = std::strchr(statm, ' ');
  if (space == nullptr) return 0;
  return std::strtoull(space + 1, nullptr, 10) * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
}

}  // namespace

MemoryShortage::MemoryShortage(const char* what, std::uint64_t bytes) noexcept {
  if (bytes == 0) {
    std::snprintf(text_, sizeof text_, "not enough memory for %s", what);
  } else {
    std::snprintf(text_, sizeof text_, "not enough memory for %s (%llu bytes)", what,
                  static_cast<unsigned long long>(bytes));
  }
}

MemoryReading available_memory() noexcept {
  char meminfo[8192];
  std::uint64_t available = 0;
  std::uint64_t total = 0;
  if (!read_small_file("/proc/meminfo", meminfo, sizeof meminfo) ||
      !meminfo_field(meminfo, "MemAvailable:", &available) || !meminfo_field(meminfo, "MemTotal:", &total)) {
    return {false, 0, 0};
  }
  std::uint64_t swap = 0;
  if (meminfo_field(meminfo, "SwapFree:", &swap)) available = saturating_add(available, swap);
  if (meminfo_field(meminfo, "SwapTotal:", &swap)) total = saturating_add(total, swap);

  const Room room = cgroup_room();
  if (room.bytes < available) available = room.bytes;
  if (room.limit < total) total = room.limit;

  const std::uint64_t cap = ceiling.load(std::memory_order_relaxed);
  if (cap != 0) {
    const std::uint64_t used = resident_bytes();
    const std::uint64_t left = used < cap ? cap - used : 0;
    if (left < available) available = left;
    if (cap < total) total = cap;
  }
  return {true, available, total};
}

bool fits_in_memory(std::uint64_t bytes, std::uint64_t* available) noexcept {
  if (available != nullptr) *available = 0;
  if (bytes < kAlwaysFits) return true;
  const MemoryReading m = available_memory();
  if (!m.known) return true;
  if (available != nullptr) *available = m.bytes;
  return saturating_add(bytes, m.total / 32) <= m.bytes;
}

namespace detail {

void set_memory_ceiling(std::uint64_t bytes) noexcept { ceiling.store(bytes, std::memory_order_relaxed); }

}  // namespace detail

}  // namespace quarn
