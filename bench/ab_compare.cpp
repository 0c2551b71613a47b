// Times two builds of the core on the same files, in one process, alternating file by file.
//
//   quarn_ab_compare A.so B.so ROUNDS load|parse LIST
//
// Why: this machine's speed drifts by tens of percent within minutes, so two builds timed one after
// the other differ by more than most changes do. Here every file is loaded by A and by B back to
// back (in turns of which goes first), so the drift falls on both. Prints, for B against A, the
// ratio of the sums of each file's best time and the median of the per-load ratios. In parse
// mode the texts are read (and inflated by zlib, for .gz) beforehand.
#include <dlfcn.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

using LoadFn = double (*)(const char*);
using ParseFn = double (*)(const char*, unsigned long);

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "quarn_ab_compare: %s\n", what.c_str());
  std::exit(1);
}

std::string text_of(const std::string& path) {
  gzFile f = gzopen(path.c_str(), "rb");  // reads plain files as they are
  if (f == nullptr) die("cannot open " + path);
  std::string text;
  char buffer[1 << 16];
  int n;
  while ((n = gzread(f, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<std::size_t>(n));
  gzclose(f);
  if (n < 0) die("cannot read " + path);
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) die("usage: quarn_ab_compare A.so B.so ROUNDS load|parse LIST");
  void* handles[2];
  LoadFn load[2];
  ParseFn parse[2];
  for (int v = 0; v < 2; ++v) {
    // RTLD_LOCAL and each object linked -Bsymbolic: each build keeps its own code and thread-locals.
    handles[v] = dlopen(argv[1 + v], RTLD_NOW | RTLD_LOCAL);
    if (handles[v] == nullptr) die(dlerror());
    load[v] = reinterpret_cast<LoadFn>(dlsym(handles[v], "quarn_ab_load"));
    parse[v] = reinterpret_cast<ParseFn>(dlsym(handles[v], "quarn_ab_parse"));
    if (load[v] == nullptr || parse[v] == nullptr) die(std::string(argv[1 + v]) + " lacks the wrapper's functions");
  }
  const int rounds = std::atoi(argv[3]);
  const bool parsing = std::string(argv[4]) == "parse";
  if (rounds < 1 || (!parsing && std::string(argv[4]) != "load")) die("ROUNDS must be positive, the mode load or parse");
  std::vector<std::string> files;
  {
    std::ifstream list(argv[5]);
    if (!list) die(std::string("cannot open ") + argv[5]);
    for (std::string line; std::getline(list, line);) {
      if (!line.empty()) files.push_back(line);
    }
  }
  if (files.empty()) die("no files listed");
  std::vector<std::string> texts;
  if (parsing) {
    for (const std::string& f : files) texts.push_back(text_of(f));
  }
  std::vector<double> best[2] = {std::vector<double>(files.size(), 1e300), std::vector<double>(files.size(), 1e300)};
  std::vector<double> ratios;
  for (int r = 0; r < rounds; ++r) {
    for (std::size_t i = 0; i < files.size(); ++i) {
      double t[2];
      for (int k = 0; k < 2; ++k) {
        const int v = static_cast<int>((static_cast<std::size_t>(r) + i + static_cast<std::size_t>(k)) % 2);
        t[v] = parsing ? parse[v](texts[i].data(), texts[i].size()) : load[v](files[i].c_str());
        if (t[v] < 0) die(files[i] + " does not " + (parsing ? "parse" : "load") + " with " + argv[1 + v]);
        best[v][i] = std::min(best[v][i], t[v]);
      }
      ratios.push_back(t[1] / t[0]);
    }
  }
  double sum[2] = {0, 0};
  for (std::size_t i = 0; i < files.size(); ++i) {
    sum[0] += best[0][i];
    sum[1] += best[1][i];
  }
  std::sort(ratios.begin(), ratios.end());
  std::printf("%zu files, %d rounds, %s: sum of best A %.1f ms, B %.1f ms; B/A %.4f over the sums, %.4f median per %s\n",
              files.size(), rounds, parsing ? "parse_text" : "load_structure", 1e3 * sum[0], 1e3 * sum[1],
              sum[1] / sum[0], ratios[ratios.size() / 2], parsing ? "parse" : "load");
}
