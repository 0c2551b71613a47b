// Hostile and huge inputs: binary junk, NUL bytes, giant tokens, millions of keywords and blocks.
// Each gets its exact result or error, the same whole and in pieces, in time linear in its size.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "reader_support.hpp"

namespace quarn {
namespace {

std::string failure(std::string_view text) {
  const auto r = parse_text(text, true);
  return r ? "ok" : r.error().display();
}

TEST(Robustness, RandomBytesGiveTheSameOutcomeWholeAndInPieces) {
  std::mt19937 rng(5);
  const std::string plain = "loop_ _atom_site.id _atom_site.Cartn_x 1 2.5 data_x _cell.length_a ";
  for (int round = 0; round < 300; ++round) {
    std::string text;
    const std::size_t size = 1 + rng() % 3000;
    while (text.size() < size) {
      const unsigned pick = rng() % 10;
      if (pick < 3) {
        text += plain.substr(rng() % plain.size(), rng() % 20);
      } else if (pick < 4) {
        text += static_cast<char>(rng() % 256);
      } else if (round % 2 == 0) {
        text += " \n\t\r#';\"_x.?\0"[rng() % 13];
      } else {
        text += "ab1 .\n_?("[rng() % 10];  // no quotes or text fields: the walk gets to run far
      }
    }
    const std::string whole = testing::outcome(parse_text(text, round % 3 != 0));
    ASSERT_EQ(testing::parse_in_pieces(text, {1}, round % 3 != 0), whole) << text;
    ASSERT_EQ(testing::parse_in_pieces(text, testing::random_pieces(text.size(), 97, round), round % 3 != 0), whole);
  }
}

TEST(Robustness, NulBytesAreOrdinaryTokenBytes) {
  const std::string text("loop_ _atom_site.id _atom_site.label_comp_id\n1 A\0B\n", 50);
  const auto s = parse_text(text, true);
  ASSERT_TRUE(s);
  EXPECT_EQ(s->atoms[0].label_comp_id.view(), std::string_view("A\0B", 3));
  EXPECT_EQ(failure(std::string("loop_ _atom_site.Cartn_x 1\0", 27)),
            std::string("invalid numeric literal: invalid numeric literal '1\0' for _atom_site.Cartn_x", 76));
}

// Giant bare, quoted and text-field tokens, and a giant bad value, are read from files in
// hostile_files_test.cpp.
TEST(Robustness, GiantTokens) {
  const std::string giant(32u << 20, 'x');
  std::string number = "loop_ _atom_site.Cartn_x 1.";
  number.append(8u << 20, '0').append("1");
  const auto n = parse_text(number, true);
  ASSERT_TRUE(n);
  EXPECT_EQ(n->atoms[0].x(), 1.0);
  // A giant blank run and a giant comment before a value.
  EXPECT_EQ(parse_text(std::string(32u << 20, ' ') + "#" + giant + "\nloop_ _atom_site.id 1", true)->atom_count(), 1u);
}

TEST(Robustness, MillionsOfKeywordsAndBlocks) {
  std::string loops;
  for (int i = 0; i < 2'000'000; ++i) loops += "loop_\n";
  // A tokenizer error after millions of bad loops still wins (the bad loops alone: hostile_files_test).
  EXPECT_EQ(failure(loops + "'"), "token stream is invalid: unterminated quoted value");

  std::string blocks;
  for (int i = 0; i < 1'000'000; ++i) blocks += "data_" + std::to_string(i) + " loop_ _atom_site.id 1\n";
  const auto s = parse_text(blocks, true);
  ASSERT_TRUE(s);
  EXPECT_EQ(s->atom_count(), 1'000'000u);
  EXPECT_EQ(s->entry_id, "999999");

  // A loop with a million tags and one row: one byte of bookkeeping per tag, and the tag of a bad
  // value still named.
  std::string wide = "loop_\n";
  for (int i = 0; i < 1'000'000; ++i) wide += "_struct_conn.ptnr1_auth_seq_id\n";
  std::string row;
  for (int i = 0; i < 999'999; ++i) row += "1 ";
  EXPECT_EQ(failure(wide + row + "z"), "invalid numeric literal: invalid integer 'z' for _struct_conn.ptnr1_auth_seq_id");
}

}  // namespace
}  // namespace quarn
