#include <cstdio>
#include <cstdlib>
#include <string>

#include "harness.hpp"

namespace quarn::fuzz {

namespace {
std::string input_name;
}  // namespace

Harness harness_named(std::string_view name) noexcept {
  if (name == "text") return text_reader;
  if (name == "gzip") return gzip_source;
  if (name == "queries") return queries;
  if (name == "binary") return binary_form;
  return nullptr;
}

void set_input_name(std::string_view name) noexcept {
  try {
    input_name.assign(name);
  } catch (...) {
    input_name.clear();
  }
}

void fail(std::string_view rule) {
  std::fprintf(stderr, "fuzz check failed: %.*s%s%s\n", static_cast<int>(rule.size()), rule.data(),
               input_name.empty() ? "" : " (input ", input_name.empty() ? "" : (input_name + ")").c_str());
  std::abort();
}

}  // namespace quarn::fuzz
