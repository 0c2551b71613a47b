// The model's building blocks: compact texts, accessors, the element table, cell geometry.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "quarn/element.hpp"
#include "quarn/geometry.hpp"
#include "quarn/structure.hpp"
#include "quarn/white_space.hpp"

namespace quarn {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

AtomSite atom_at(double x, double y, double z) {
  AtomSite a;
  a.x_value = x;
  a.y_value = y;
  a.z_value = z;
  a.present |= AtomSite::kPosition;
  return a;
}

TEST(Text, InlineArenaAndAbsentKeepTheirBytes) {
  TextArena arena;
  EXPECT_FALSE(Text().present());
  EXPECT_EQ(Text().view(), "");
  EXPECT_FALSE(Text().get().has_value());

  const Text short_text = arena.store("HD21");
  const Text seven = arena.store("1234567");
  const std::string long_source(100, 'x');
  const Text long_text = arena.store(long_source);
  const std::string huge_source(200000, 'y');  // bigger than an arena chunk
  const Text huge = arena.store(huge_source);
  const Text after_huge = arena.store("12345678");

  EXPECT_EQ(short_text.view(), "HD21");
  EXPECT_EQ(seven.view(), "1234567");
  EXPECT_EQ(long_text.view(), long_source);
  EXPECT_EQ(huge.view(), huge_source);
  EXPECT_EQ(after_huge.view(), "12345678");
  EXPECT_EQ(arena.store("").view(), "");
  EXPECT_TRUE(arena.store("").present());
  EXPECT_EQ(short_text, arena.store("HD21"));
  EXPECT_FALSE(short_text == Text());

  // Arena blocks stay where they are when the arena moves.
  TextArena moved = std::move(arena);
  EXPECT_EQ(long_text.view(), long_source);
  EXPECT_EQ(huge.view(), huge_source);
}

TEST(Text, ManyArenaTextsAcrossChunks) {
  TextArena arena;
  std::vector<std::pair<Text, std::string>> kept;
  for (int i = 0; i < 20000; ++i) {
    std::string s = "residue-name-" + std::to_string(i);
    kept.emplace_back(arena.store(s), s);
  }
  for (const auto& [t, s] : kept) ASSERT_EQ(t.view(), s);
}

TEST(AtomAccessors, ChainSeqAndPositionFallBackAndRequireAllParts) {
  TextArena arena;
  AtomSite a;
  EXPECT_FALSE(position_of(a));
  EXPECT_FALSE(chain_of(a));
  EXPECT_FALSE(seq_of(a));

  a.auth_asym_id = arena.store("B");
  a.auth_seq_id_value = 12;
  a.present |= AtomSite::kAuthSeqId;
  EXPECT_EQ(chain_of(a), "B");
  EXPECT_EQ(seq_of(a), 12);
  a.label_asym_id = arena.store("A");
  a.label_seq_id_value = -3;
  a.present |= AtomSite::kLabelSeqId;
  EXPECT_EQ(chain_of(a), "A");
  EXPECT_EQ(seq_of(a), -3);

  a.x_value = 1;
  a.y_value = 2;
  a.present |= AtomSite::kX | AtomSite::kY;
  EXPECT_FALSE(position_of(a));  // z missing
  a.present |= AtomSite::kZ;
  EXPECT_EQ(position_of(a), (Vec3{1, 2, 0}));
  EXPECT_FALSE(a.occupancy());
  EXPECT_EQ(sizeof(AtomSite), 120u);
}

TEST(WhiteSpace, TrimsEveryUnicodeWhiteSpaceAndNothingElse) {
  EXPECT_EQ(trim_white_space("  FE \t"), "FE");
  EXPECT_EQ(trim_white_space("\v\fC\r\n"), "C");
  EXPECT_EQ(trim_white_space("\xc2\xa0N\xe3\x80\x80"), "N");               // NBSP, ideographic space
  EXPECT_EQ(trim_white_space("\xe2\x80\x8aO\xe2\x80\xa9\xc2\x85"), "O");   // hair space, PS, NEL
  EXPECT_EQ(trim_white_space("\xe1\x9a\x80\xe2\x81\x9fS\xe2\x80\xaf"), "S");
  EXPECT_EQ(trim_white_space("\xe2\x80\x8b" "C"), "\xe2\x80\x8b" "C");     // zero-width space is not White_Space
  EXPECT_EQ(trim_white_space("\xc2\xa1"), "\xc2\xa1");
  EXPECT_EQ(trim_white_space(" \xc2\xa0 "), "");
  EXPECT_EQ(trim_white_space(""), "");
}

TEST(ElementTable, LooksUpSymbolsIgnoringCaseAndBlanksOnly) {
  ASSERT_NE(lookup_element("Fe"), nullptr);
  EXPECT_EQ(lookup_element("Fe")->atomic_number, 26u);
  EXPECT_EQ(lookup_element("fe"), lookup_element("FE"));
  EXPECT_EQ(lookup_element(" FE "), lookup_element("FE"));
  EXPECT_EQ(lookup_element("FE2"), nullptr);
  EXPECT_EQ(lookup_element("O1-"), nullptr);
  EXPECT_EQ(lookup_element("CAL"), nullptr);
  EXPECT_EQ(lookup_element(""), nullptr);
  EXPECT_EQ(lookup_element("   "), nullptr);
  EXPECT_EQ(lookup_element("MN"), nullptr);
  EXPECT_EQ(*lookup_element("cu")->covalent_radius, 1.22);
  EXPECT_EQ(*lookup_element("H")->electronegativity, 2.20);
}

TEST(ElementTable, ElementOfTriesTypeSymbolThenAtomNames) {
  TextArena arena;
  AtomSite ca;
  ca.label_atom_id = arena.store("CA");
  EXPECT_EQ(element_of(ca)->symbol, "CA");  // calcium, not carbon: names are not interpreted

  AtomSite cb;
  cb.label_atom_id = arena.store("CB");
  cb.auth_atom_id = arena.store("CB");
  EXPECT_EQ(element_of(cb), nullptr);

  AtomSite mn;
  mn.type_symbol = arena.store("MN");
  mn.label_atom_id = arena.store("MN");
  mn.auth_atom_id = arena.store("MN");
  EXPECT_EQ(element_of(mn), nullptr);
  mn.label_atom_id = arena.store("O");
  EXPECT_EQ(element_of(mn)->symbol, "O");
}

TEST(CellGeometry, OrthogonalWithinOneTenThousandthOfADegree) {
  EXPECT_TRUE(is_orthogonal({10, 10, 10, 90, 90, 90.00005}));
  EXPECT_FALSE(is_orthogonal({10, 10, 10, 90, 90, 90.0001}));
  EXPECT_FALSE(is_orthogonal({10, 10, 10, 90, 100, 90}));
  EXPECT_FALSE(is_orthogonal({10, 10, 10, kNaN, 90, 90}));
}

TEST(CellGeometry, MinimumImageShiftsOnceAndNeverAtExactlyHalf) {
  const UnitCell cell{10, 10, 10, 90, 90, 90};
  EXPECT_EQ(pair_distance({1, 0, 0}, {9.5, 0, 0}, true, cell), 1.5);
  EXPECT_EQ(pair_distance({1, 0, 0}, {6, 0, 0}, true, cell), 5.0);
  EXPECT_EQ(pair_distance({6, 0, 0}, {1, 0, 0}, true, cell), 5.0);
  EXPECT_EQ(pair_distance({0, 0, 0}, {25, 0, 0}, true, cell), 15.0);
  EXPECT_EQ(pair_distance({0, 0, 0}, {-25, 0, 0}, true, cell), 15.0);
  EXPECT_EQ(pair_distance({1, 0, 0}, {9.5, 0, 0}, false, cell), 8.5);
  EXPECT_TRUE(std::isnan(minimum_image_delta(kNaN, 10)));
}

TEST(CellGeometry, DistanceUsesFusedMultiplyAddsInFixedOrder) {
  // Values whose plain sum of squares rounds differently from the fused evaluation.
  const Vec3 p{0, 0, 0};
  const Vec3 q{0.1, 0.1, 0.474};
  double s = q.x * q.x;
  s = std::fma(q.y, q.y, s);
  s = std::fma(q.z, q.z, s);
  volatile double xx = q.x * q.x, yy = q.y * q.y, zz = q.z * q.z;
  ASSERT_NE(std::sqrt((xx + yy) + zz), std::sqrt(s));  // else this test could not tell the two apart
  EXPECT_EQ(pair_distance(p, q, false, {}), std::sqrt(s));
  EXPECT_EQ(pair_distance(q, p, false, {}), std::sqrt(s));
}

TEST(CellGeometry, PlaceholderCellIsNotPeriodic) {
  Structure s;
  EXPECT_FALSE(is_periodic(s));
  s.cell = UnitCell{1, 1, 1, 90, 90, 90};
  EXPECT_FALSE(is_periodic(s));
  EXPECT_EQ(s.unit_cell(), (UnitCell{1, 1, 1, 90, 90, 90}));
  s.cell = UnitCell{1, 1, 2, 90, 90, 90};
  EXPECT_TRUE(is_periodic(s));
  s.cell = UnitCell{10, 10, 10, 90, 90, 120};
  EXPECT_FALSE(is_periodic(s));
}

TEST(BoundingBox, IgnoresUnpositionedAtomsAndNaNUnlessEveryValueIsNaN) {
  Structure s;
  EXPECT_FALSE(s.bounding_box());
  AtomSite unpositioned;
  unpositioned.x_value = 100;
  unpositioned.present |= AtomSite::kX | AtomSite::kY;
  s.atoms.push_back(unpositioned);
  EXPECT_FALSE(s.bounding_box());

  s.atoms.push_back(atom_at(kNaN, 2, 3));
  auto box = s.bounding_box();
  ASSERT_TRUE(box);
  EXPECT_TRUE(std::isnan(box->min.x));
  EXPECT_EQ(box->min.y, 2);

  s.atoms.push_back(atom_at(5, -1, 3));
  s.atoms.push_back(atom_at(-4, 7, kNaN));
  box = s.bounding_box();
  EXPECT_EQ(box->min, (Vec3{-4, -1, 3}));
  EXPECT_EQ(box->max, (Vec3{5, 7, 3}));
}

}  // namespace
}  // namespace quarn

namespace quarn {
namespace {

TEST(BlockList, IndexesAcrossBlocksAndKeepsFullBlocksInPlace) {
  struct Big {
    int value;
    char padding[65536 - sizeof(int)];
  };
  using List = BlockList<Big>;
  static_assert(List::kBlockSize == 32);
  List list;
  EXPECT_TRUE(list.empty());
  std::vector<const Big*> addresses;
  for (int i = 0; i < 100; ++i) {
    list.push_back(Big{i * 7, {}});
    addresses.push_back(&list.back());
  }
  ASSERT_EQ(list.size(), 100u);
  for (int i = 0; i < 100; ++i) {
    EXPECT_EQ(list[i].value, i * 7);
    if (i >= 16) {
      EXPECT_EQ(&list[i], addresses[i]) << i;  // the first block moved while it grew to 32
    }
  }
  std::size_t n = 0;
  for (const Big& v : list) EXPECT_EQ(v.value, static_cast<int>(n++) * 7);
  EXPECT_EQ(n, 100u);
  EXPECT_EQ(list.end() - list.begin(), 100);
  std::size_t length = 0;
  EXPECT_EQ(list.run(13, &length)->value, 91);
  EXPECT_EQ(length, 19u);  // 13 to 31 close block 0
  EXPECT_EQ(list.run(96, &length)->value, 96 * 7);
  EXPECT_EQ(length, 4u);
  // Three full blocks and the table; nothing of the old first blocks is kept.
  EXPECT_EQ(list.bytes_reserved(), 4 * List::kBlockBytes + 8 * sizeof(Big*));
}

TEST(BlockList, SmallListsStaySmallAndEverythingIsReleased) {
  // Strings make a missed destructor or a double free show under the sanitizers.
  BlockList<std::string> small;
  small.push_back("x");
  EXPECT_LE(small.bytes_reserved(), 16 * sizeof(std::string) + 8 * sizeof(void*));

  BlockList<std::string> list;
  const std::size_t n = 2 * BlockList<std::string>::kBlockSize + 5;
  for (std::size_t i = 0; i < n; ++i) list.push_back("element number " + std::to_string(i));
  for (std::size_t i = 0; i < n; i += 997) ASSERT_EQ(list[i], "element number " + std::to_string(i));
  EXPECT_EQ(list.bytes_reserved(), 3 * BlockList<std::string>::kBlockBytes + 8 * sizeof(void*));

  BlockList<std::string> moved = std::move(list);
  EXPECT_EQ(moved.size(), n);
  EXPECT_EQ(moved[n - 1], "element number " + std::to_string(n - 1));
  EXPECT_TRUE(list.empty());  // NOLINT(bugprone-use-after-move): a moved-from list is empty
  list = std::move(moved);
  EXPECT_EQ(list.size(), n);
  moved.push_back("reused after the move");
  EXPECT_EQ(moved[0], "reused after the move");
  list.clear();
  EXPECT_TRUE(list.empty());
  list.push_back("again");
  EXPECT_EQ(list.back(), "again");
}

}  // namespace
}  // namespace quarn
