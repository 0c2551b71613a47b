// Runs files through a fuzz harness without libFuzzer: the committed corpora and every input that
// once broke a rule, on every build of the tests.
//   quarn_fuzz_replay HARNESS PATH...   (a PATH is a file or a folder of files; missing folders are
//                                        skipped, but at least one input must be found)
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "harness.hpp"

namespace {

std::vector<std::uint8_t> read_bytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s HARNESS PATH...\n", argv[0]);
    return 2;
  }
  const quarn::fuzz::Harness harness = quarn::fuzz::harness_named(argv[1]);
  if (!harness) {
    std::fprintf(stderr, "unknown harness %s\n", argv[1]);
    return 2;
  }
  std::vector<std::filesystem::path> inputs;
  for (int a = 2; a < argc; ++a) {
    const std::filesystem::path path(argv[a]);
    if (std::filesystem::is_directory(path)) {
      for (const auto& entry : std::filesystem::directory_iterator(path)) {
        if (entry.is_regular_file()) inputs.push_back(entry.path());
      }
    } else if (std::filesystem::is_regular_file(path)) {
      inputs.push_back(path);
    }
  }
  if (inputs.empty()) {
    std::fprintf(stderr, "no inputs found for %s\n", argv[1]);
    return 2;
  }
  std::sort(inputs.begin(), inputs.end());
  for (const auto& path : inputs) {
    const std::vector<std::uint8_t> bytes = read_bytes(path);
    quarn::fuzz::set_input_name(path.string());
    harness(bytes.data(), bytes.size());
  }
  std::printf("%s: %zu inputs replayed, every rule held\n", argv[1], inputs.size());
  return 0;
}
