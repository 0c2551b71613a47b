// One revision's core behind two C functions, built as a shared object by bench/run_ab: two such
// objects side by side in one process let ab_compare time both builds file by file.
#include <chrono>
#include <string_view>

#include "quarn/reader.hpp"

namespace {

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

// Seconds to load the file at `path`, or -1 when it does not load.
extern "C" double quarn_ab_load(const char* path) {
  const auto t0 = std::chrono::steady_clock::now();
  const auto s = quarn::load_structure(path);
  const double t = seconds_since(t0);
  return s ? t : -1;
}

// Seconds to parse `size` bytes of text at `text`, or -1 when they do not parse.
extern "C" double quarn_ab_parse(const char* text, unsigned long size) {
  const auto t0 = std::chrono::steady_clock::now();
  const auto s = quarn::parse_text(std::string_view(text, size), false);
  const double t = seconds_since(t0);
  return s ? t : -1;
}
