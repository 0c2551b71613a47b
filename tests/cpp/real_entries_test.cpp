// Real entries: atom counts, a few facts of each file, and the same result however the text arrives
// (whole, one byte at a time, in random pieces).
#include <gtest/gtest.h>

#include <string>

#include "reader_support.hpp"

namespace quarn {
namespace {

struct Entry {
  const char* name;
  std::uint64_t atoms;
};

constexpr Entry kEntries[] = {
    {"1aki.cif", 1079},    {"5i55.cif", 218},      {"4p5j.cif", 2011},    {"1bna.cif", 566},   {"1l2y.cif.gz", 11552},
    {"1as5.cif.gz", 4998}, {"3o5r.cif.gz", 1470},  {"1pfe.cif.gz", 342},  {"1xnr.cif.gz", 43833},
};

#define ENTRY_OR_SKIP(name, text)                                                    \
  const auto text = testing::entry_text(name);                                                \
  if (!text) GTEST_SKIP() << "real entry " << name << " not found under " QUARN_DATA_DIR

class RealEntry : public ::testing::TestWithParam<Entry> {};

TEST_P(RealEntry, AtomCountAndPiecesGiveTheSameResult) {
  ENTRY_OR_SKIP(GetParam().name, text);
  const auto whole = parse_text(*text, true);
  ASSERT_TRUE(whole) << whole.error().display();
  EXPECT_EQ(whole->atom_count(), GetParam().atoms);
  const std::string expected = testing::dump(*whole);
  EXPECT_EQ(testing::parse_in_pieces(*text, {1}), expected);
  EXPECT_EQ(testing::parse_in_pieces(*text, testing::random_pieces(text->size(), 5000, 7)), expected);
  EXPECT_EQ(testing::parse_in_pieces(*text, testing::random_pieces(text->size(), 70, 8)), expected);
}

INSTANTIATE_TEST_SUITE_P(Data, RealEntry, ::testing::ValuesIn(kEntries), [](const auto& info) {
  std::string name = info.param.name;
  return name.substr(0, 4) + (name.ends_with(".gz") ? "_gz" : "");
});

std::size_t count_bonds(const Structure& s, bool chem_comp) {
  std::size_t n = 0;
  for (const BondRecord& b : s.bonds) n += b.from_chem_comp == chem_comp;
  return n;
}

TEST(RealEntryFacts, Lysozyme1aki) {
  ENTRY_OR_SKIP("1aki.cif", text);
  const auto s = parse_text(*text, true);
  ASSERT_TRUE(s);
  EXPECT_EQ(s->entry_id, "1AKI");
  EXPECT_EQ(s->space_group, "P 21 21 21");
  ASSERT_TRUE(s->cell);
  EXPECT_EQ(s->cell->alpha, 90.0);
  EXPECT_GT(count_bonds(*s, true), 0u);
  std::size_t disulfides = 0;
  for (const BondRecord& b : s->bonds) disulfides += b.conn_type == "disulf";
  EXPECT_GT(disulfides, 0u);
  const AtomSite& first = s->atoms[0];
  EXPECT_EQ(first.label_comp_id.view(), "LYS");
  EXPECT_EQ(first.x(), 35.365);
  EXPECT_EQ(first.b_factor(), 22.28);
}

TEST(RealEntryFacts, StructConnRowsAndTypes) {
  ENTRY_OR_SKIP("4p5j.cif", rna);
  const auto s = parse_text(*rna, true);
  ASSERT_TRUE(s);
  EXPECT_EQ(count_bonds(*s, false), 97u);
  bool hydrogen = false, metal = false, covalent = false;
  for (const BondRecord& b : s->bonds) {
    hydrogen |= b.bond_type == BondType::hydrogen_bond;
    metal |= b.bond_type == BondType::metallic;
    covalent |= b.bond_type == BondType::covalent_unknown;
  }
  EXPECT_TRUE(hydrogen && metal && covalent);
  ENTRY_OR_SKIP("1bna.cif", dna);
  const auto d = parse_text(*dna, true);
  ASSERT_TRUE(d);
  EXPECT_EQ(count_bonds(*d, true), 0u);
  EXPECT_GT(count_bonds(*d, false), 0u);
}

TEST(RealEntryFacts, CellsOfNmrAndLargeEntries) {
  ENTRY_OR_SKIP("1l2y.cif.gz", nmr);
  EXPECT_FALSE(parse_text(*nmr, true)->cell);
  ENTRY_OR_SKIP("1as5.cif.gz", placeholder);
  EXPECT_EQ(parse_text(*placeholder, true)->cell, (UnitCell{1, 1, 1, 90, 90, 90}));
  ENTRY_OR_SKIP("1xnr.cif.gz", large);
  const auto s = parse_text(*large, true);
  ASSERT_TRUE(s);
  EXPECT_EQ(s->cell->a, 401.122);
  for (const AtomSite& a : s->atoms) ASSERT_FALSE(a.b_factor());
}

TEST(RealEntryFacts, AlternateLocationsAreKept) {
  ENTRY_OR_SKIP("3o5r.cif.gz", text);
  const auto s = parse_text(*text, true);
  ASSERT_TRUE(s);
  std::size_t alternates = 0;
  for (const AtomSite& a : s->atoms) alternates += a.label_alt_id.present();
  EXPECT_EQ(alternates, 288u);
}

}  // namespace
}  // namespace quarn
