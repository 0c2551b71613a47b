// Times load_structure on large files against the floor of merely reading (and inflating) them.
//
//   quarn_reader_bench [--runs N] FILE...
//
// Per file: the median load time and its throughput over the decoded text; the floor measured in the
// same run (reading the file whole, and for .gz inflating it with zlib alone) and the load's ratio to
// it; the peak memory of one load in a fresh child process against text size plus final Structure;
// and the bytes per atom the finished Structure holds.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "quarn/reader.hpp"
#include "zlib_floor.hpp"

namespace {

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

struct Timing {
  double median, min, max;
};

Timing summarize(std::vector<double> t) {
  std::sort(t.begin(), t.end());
  return {t[t.size() / 2], t.front(), t.back()};
}

// Runs every body once per round, round after round, so the machine's ups and downs (it is shared)
// fall on the load and on its floors alike. `after_round` runs untimed. Returns one timing per body.
std::vector<Timing> time_interleaved(int runs, const std::vector<std::function<void()>>& bodies,
                                     const std::function<void()>& after_round) {
  std::vector<std::vector<double>> t(bodies.size());
  for (int i = 0; i < runs; ++i) {
    for (std::size_t b = 0; b < bodies.size(); ++b) {
      const auto t0 = std::chrono::steady_clock::now();
      bodies[b]();
      t[b].push_back(seconds_since(t0));
    }
    after_round();
  }
  std::vector<Timing> out;
  for (auto& v : t) out.push_back(summarize(std::move(v)));
  return out;
}

bool ends_with_gz(const std::string& path) {
  return path.size() > 3 && (path.compare(path.size() - 3, 3, ".gz") == 0 || path.compare(path.size() - 3, 3, ".GZ") == 0);
}

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "quarn_reader_bench: %s\n", what.c_str());
  std::exit(1);
}

// The floor for plain text: the file read whole into memory that is already faulted in.
std::size_t read_whole(const std::string& path, std::vector<char>& buffer) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) die("cannot open " + path);
  std::size_t length = 0;
  for (;;) {
    if (length == buffer.size()) buffer.resize(buffer.empty() ? 1 << 20 : 2 * buffer.size());
    const ssize_t n = read(fd, buffer.data() + length, buffer.size() - length);
    if (n < 0) die("read failed on " + path);
    if (n == 0) break;
    length += static_cast<std::size_t>(n);
  }
  close(fd);
  return length;
}

std::size_t structure_bytes(const quarn::Structure& s) {
  return sizeof(quarn::Structure) + s.atoms.bytes_reserved() + s.arena.bytes_reserved() +
         s.bonds.bytes_reserved();
}

long status_kib(const char* key) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const std::size_t n = std::strlen(key);
  while (std::getline(in, line)) {
    if (line.compare(0, n, key) == 0) return std::atol(line.c_str() + n);
  }
  return -1;
}

struct Peak {
  long rise_kib = -1;          // VmHWM during the load minus VmRSS before it
  std::size_t structure = 0;   // bytes held by the finished Structure
  std::size_t atoms = 0;
};

// One load in a fresh child, so nothing a former load freed (and the allocator kept) hides the peak.
Peak measure_peak(const std::string& path) {
  int fds[2];
  if (pipe(fds) != 0) die("pipe failed");
  const pid_t pid = fork();
  if (pid < 0) die("fork failed");
  if (pid == 0) {
    close(fds[0]);
    Peak p;
    {
      std::ofstream("/proc/self/clear_refs") << "5";  // resets VmHWM to the current VmRSS
    }
    const long before = status_kib("VmRSS:");
    auto s = quarn::load_structure(path);
    if (s) {
      p.rise_kib = status_kib("VmHWM:") - before;
      p.structure = structure_bytes(*s);
      p.atoms = s->atom_count();
    }
    if (write(fds[1], &p, sizeof p) != static_cast<ssize_t>(sizeof p)) _exit(1);
    _exit(0);
  }
  close(fds[1]);
  Peak p;
  if (read(fds[0], &p, sizeof p) != static_cast<ssize_t>(sizeof p)) die("child failed");
  close(fds[0]);
  waitpid(pid, nullptr, 0);
  return p;
}

void bench_file(const std::string& path, int runs) {
  const bool gz = ends_with_gz(path);
  const Peak peak = measure_peak(path);

  std::vector<char> buffer;
  std::size_t file_bytes = read_whole(path, buffer);
  std::size_t text_bytes = gz ? quarn_bench::inflate_only(path) : file_bytes;
  std::size_t atoms = 0;
  std::string failure;
  std::optional<quarn::Structure> kept;  // released between rounds, so freeing it is not timed
  std::vector<std::function<void()>> bodies = {
      [&] {
        auto s = quarn::load_structure(path);
        if (s) {
          atoms = s->atom_count();
          kept = std::move(*s);
        } else {
          failure = s.error().display();
        }
      },
      [&] { file_bytes = read_whole(path, buffer); },
  };
  if (gz) bodies.push_back([&] { text_bytes = quarn_bench::inflate_only(path); });
  const std::vector<Timing> t = time_interleaved(runs, bodies, [&] { kept.reset(); });
  if (!failure.empty()) die(path + ": " + failure);
  const Timing load_t = t[0];
  const Timing read_t = t[1];
  const Timing inflate_t = gz ? t[2] : Timing{};

  const double mb = 1e6;
  std::printf("%s: %.1f MB file, %.1f MB text, %zu atoms, %d runs\n", path.c_str(), file_bytes / mb,
              text_bytes / mb, atoms, runs);
  std::printf("  load_structure  median %8.1f ms  (min %.1f, max %.1f)  %6.0f MB/s of text\n",
              load_t.median * 1e3, load_t.min * 1e3, load_t.max * 1e3, text_bytes / mb / load_t.median);
  std::printf("  read only       median %8.1f ms  load/read    %6.2fx\n", read_t.median * 1e3,
              load_t.median / read_t.median);
  if (gz) {
    std::printf("  inflate only    median %8.1f ms  load/inflate %6.2fx  (zlib alone, with its reads)\n",
                inflate_t.median * 1e3, load_t.median / inflate_t.median);
  }
  if (peak.rise_kib >= 0) {
    const double budget = static_cast<double>(text_bytes + peak.structure);
    std::printf("  peak memory     %8.1f MB  = %.3f x (text %.1f MB + structure %.1f MB)\n",
                peak.rise_kib * 1024.0 / mb, peak.rise_kib * 1024.0 / budget, text_bytes / mb,
                peak.structure / mb);
    std::printf("  structure       %8.1f bytes per atom\n",
                peak.atoms ? static_cast<double>(peak.structure) / static_cast<double>(peak.atoms) : 0.0);
  }
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 5;
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--runs" && i + 1 < argc) {
      runs = std::max(1, std::atoi(argv[++i]));
    } else {
      files.push_back(arg);
    }
  }
  if (files.empty()) die("usage: quarn_reader_bench [--runs N] FILE...");
  for (const std::string& f : files) bench_file(f, runs);
}
