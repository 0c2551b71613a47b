// Real entries from the shared data folder, loaded whole for the analysis tests.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "reader_support.hpp"

namespace quarn::testing {

// Loads the entry `name` into `out`. Skips the calling test when the entry is not there and fails it
// when it does not parse; `out` then stays empty and the caller returns:
//   std::optional<Structure> s;
//   load_entry("1aki.cif", &s);
//   if (!s) return;
inline void load_entry(const std::string& name, std::optional<Structure>* out) {
  const auto text = entry_text(name);
  if (!text) GTEST_SKIP() << "real entry " << name << " not found under " QUARN_DATA_DIR;
  auto parsed = parse_text(*text, true);
  if (!parsed) FAIL() << name << ": " << parsed.error().display();
  out->emplace(std::move(*parsed));
}

}  // namespace quarn::testing
