// Times the text parser on a plain mmCIF file against the floor of reading that file, in one run.
//   usage: quarn_parse_bench FILE.cif [repetitions]
// Make a large file with bench/make_large_cif.py (a million atoms is about 90 MB).
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "quarn/reader.hpp"

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The whole file in one sized read, as the loader reads plain files.
bool read_file(const char* path, std::string& out) {
  std::FILE* f = std::fopen(path, "rb");
  if (!f) return false;
  std::fseek(f, 0, SEEK_END);
  const long size = std::ftell(f);
  std::fseek(f, 0, SEEK_SET);
  out.resize(static_cast<std::size_t>(size));
  const bool ok = std::fread(out.data(), 1, out.size(), f) == out.size();
  std::fclose(f);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE.cif [repetitions]\n", argv[0]);
    return 2;
  }
  const int repetitions = argc > 2 ? std::atoi(argv[2]) : 5;
  std::string text;
  double read_best = 1e30, parse_best = 1e30;
  std::uint64_t atoms = 0;
  std::size_t structure_bytes = 0;
  for (int r = 0; r < repetitions; ++r) {
    std::string fresh;
    const auto start = std::chrono::steady_clock::now();
    if (!read_file(argv[1], fresh)) {
      std::fprintf(stderr, "cannot read %s\n", argv[1]);
      return 1;
    }
    read_best = std::min(read_best, seconds_since(start));
    text = std::move(fresh);
  }
  for (int r = 0; r < repetitions; ++r) {
    const auto start = std::chrono::steady_clock::now();
    const auto s = quarn::parse_text(text, true);
    parse_best = std::min(parse_best, seconds_since(start));
    if (!s) {
      std::fprintf(stderr, "%s\n", s.error().display().c_str());
      return 1;
    }
    atoms = s->atom_count();
    structure_bytes = s->atoms.bytes_reserved() + s->arena.bytes_reserved() + s->bonds.bytes_reserved();
  }
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const double mb = static_cast<double>(text.size()) / 1e6;
  std::printf("file        %.1f MB, %llu atoms\n", mb, static_cast<unsigned long long>(atoms));
  std::printf("read        %.4f s  %7.0f MB/s  (floor)\n", read_best, mb / read_best);
  std::printf("parse_text  %.4f s  %7.0f MB/s  %.2f x floor\n", parse_best, mb / parse_best, parse_best / read_best);
  // The read loop briefly holds two texts; for large files text + structure is the larger peak.
  const double bound = mb + static_cast<double>(structure_bytes) / 1e6;
  std::printf("peak RSS    %.1f MB  (text + structure %.1f MB, %.0f bytes per atom)\n",
              static_cast<double>(usage.ru_maxrss) * 1024 / 1e6, bound,
              atoms ? static_cast<double>(structure_bytes) / static_cast<double>(atoms) : 0.0);
  return 0;
}
