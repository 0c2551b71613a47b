// A parse for the reader tests that also checks the text read in pieces gives the same outcome.
#pragma once

#include <gtest/gtest.h>

#include "reader_support.hpp"

namespace quarn::testing {

// parse_text, after checking that the same text read one byte at a time and in random pieces gives
// exactly the same outcome: every snippet of the reader tests goes through here.
inline Expected<Structure, ReaderError> parse_everyway(std::string_view text, bool atoms_required = true) {
  auto whole = parse_text(text, atoms_required);
  const std::string expected = outcome(whole);
  EXPECT_EQ(parse_in_pieces(text, {1}, atoms_required), expected) << "one byte at a time: " << text;
  EXPECT_EQ(parse_in_pieces(text, random_pieces(text.size(), 13, static_cast<unsigned>(text.size())), atoms_required),
            expected)
      << "in pieces: " << text;
  return whole;
}

}  // namespace quarn::testing
