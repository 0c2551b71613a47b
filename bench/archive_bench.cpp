// Times loading many gzip entries, one after another, against zlib alone inflating the same files.
//
//   quarn_archive_bench [--rounds N] [--shard I/K] [--load-only] [--times TSV] LIST
//
// LIST names one file per line. Every file is loaded with load_structure, inflated with zlib alone and its text, inflated beforehand, parsed alone
// with parse_text, back to back, so the machine's ups and downs (it is shared) fall on all alike; each
// file keeps its fastest round. Prints the files per second, the MB of text per second and the
// load/inflate ratio, over the sum and as the median per file.
// --load-only loads each file once, untimed here: the caller times whole processes (two workers).
// --shard I/K keeps the files whose line number is I modulo K.
// --times writes each file's text size and best times (load, zlib, parse_text) as TSV.
#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "quarn/inflater.hpp"
#include "quarn/reader.hpp"
#include "zlib_floor.hpp"

namespace {

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "quarn_archive_bench: %s\n", what.c_str());
  std::exit(1);
}

// The whole text of a one-member gzip file, by zlib's own file reader.
std::string inflated(const std::string& path) {
  std::string out;
  gzFile f = gzopen(path.c_str(), "rb");
  if (f == nullptr) die("cannot open " + path);
  char buffer[1 << 16];
  for (int n; (n = gzread(f, buffer, sizeof buffer)) > 0;) out.append(buffer, static_cast<std::size_t>(n));
  gzclose(f);
  return out;
}

double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 3;
  std::size_t shard = 0, shards = 1;
  bool load_only = false;
  std::string list, times;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--rounds" && i + 1 < argc) {
      rounds = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--shard" && i + 1 < argc) {
      if (std::sscanf(argv[++i], "%zu/%zu", &shard, &shards) != 2 || shards == 0 || shard >= shards) die("bad --shard");
    } else if (arg == "--times" && i + 1 < argc) {
      times = argv[++i];
    } else if (arg == "--load-only") {
      load_only = true;
    } else {
      list = arg;
    }
  }
  if (list.empty()) die("usage: quarn_archive_bench [--rounds N] [--shard I/K] [--load-only] [--times TSV] LIST");
  std::vector<std::string> files;
  {
    std::ifstream in(list);
    std::string line;
    for (std::size_t n = 0; std::getline(in, line); ++n) {
      if (!line.empty() && n % shards == shard) files.push_back(line);
    }
  }
  if (files.empty()) die("no files in " + list);

  if (load_only) {
    for (const std::string& f : files) {
      if (!quarn::load_structure(f)) die(f + " does not load");
    }
    return 0;
  }

  std::vector<double> load_t(files.size(), 1e30), zlib_t(files.size(), 1e30), parse_t(files.size(), 1e30);
  std::vector<std::size_t> text(files.size());
  std::size_t atoms = 0;
  for (int round = 0; round < rounds; ++round) {
    for (std::size_t i = 0; i < files.size(); ++i) {
      double t0 = now();
      {
        auto s = quarn::load_structure(files[i]);
        if (!s) die(files[i] + ": " + s.error().display());
        if (round == 0) atoms += s->atom_count();
        load_t[i] = std::min(load_t[i], now() - t0);
        // The structure is freed outside the timed span, as a caller keeps it while it works.
      }
      t0 = now();
      text[i] = quarn_bench::inflate_only(files[i]);
      zlib_t[i] = std::min(zlib_t[i], now() - t0);
      const std::string whole = inflated(files[i]);
      t0 = now();
      if (!quarn::parse_text(whole, true)) die(files[i] + " does not parse");
      parse_t[i] = std::min(parse_t[i], now() - t0);
    }
  }

  double load_sum = 0, zlib_sum = 0, parse_sum = 0, mb = 0;
  std::vector<double> ratios;
  for (std::size_t i = 0; i < files.size(); ++i) {
    load_sum += load_t[i];
    zlib_sum += zlib_t[i];
    parse_sum += parse_t[i];
    mb += static_cast<double>(text[i]) / 1e6;
    ratios.push_back(load_t[i] / zlib_t[i]);
  }
  if (!times.empty()) {
    std::ofstream out(times);
    out << "file\ttext_bytes\tload_s\tzlib_s\tparse_s\n";
    for (std::size_t i = 0; i < files.size(); ++i) {
      out << files[i] << '\t' << text[i] << '\t' << load_t[i] << '\t' << zlib_t[i] << '\t' << parse_t[i] << '\n';
    }
  }
  std::sort(ratios.begin(), ratios.end());
  const double n = static_cast<double>(files.size());
  std::printf("%zu files, %.0f MB of text, %zu atoms; best of %d rounds per file; inflater %s\n", files.size(), mb,
              atoms, rounds, std::string(quarn::inflater_name()).c_str());
  std::printf("  load_structure  %8.1f files/s  %7.0f MB/s of text\n", n / load_sum, mb / load_sum);
  std::printf("  zlib inflate    %8.1f files/s  %7.0f MB/s of text\n", n / zlib_sum, mb / zlib_sum);
  std::printf("  parse_text      %8.1f files/s  %7.0f MB/s of text  (the text already in memory)\n", n / parse_sum,
              mb / parse_sum);
  std::printf("  load/inflate    %8.2fx over the sum, %.2fx median per file (%.2fx .. %.2fx, 10th to 90th)\n",
              load_sum / zlib_sum, ratios[ratios.size() / 2], ratios[ratios.size() / 10],
              ratios[ratios.size() * 9 / 10]);
}
