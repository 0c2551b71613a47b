// Contacts: the pair scan, its inclusive cutoff, the four classes and their boundaries, the order.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "builder.hpp"
#include "quarn/analyze/adjacency.hpp"
#include "quarn/contacts.hpp"
#include "quarn/exhaustive.hpp"

namespace quarn {
namespace {

using testing::StructureBuilder;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

double below(double d) { return std::nextafter(d, -kInf); }
double above(double d) { return std::nextafter(d, kInf); }

// The class of two atoms of the given types (empty: no type, no name) at distance d on the x axis,
// through the whole contact scan.
ContactClass class_at(std::string_view first, std::string_view second, double d) {
  const Structure s = StructureBuilder().atom(first, {0, 0, 0}).atom(second, {d, 0, 0}).take();
  const auto rows = contacts(s, 10.0, std::nullopt);
  EXPECT_EQ(rows->size(), 1u);
  EXPECT_EQ(rows->at(0).distance, d);
  EXPECT_EQ(rows->at(0).classification, classify_contact(s.atoms[0], s.atoms[1], d));
  return rows->at(0).classification;
}

TEST(ContactClassification, CarbonPairAcrossEveryBoundary) {
  // s = 1.5; covalent within [1.1, 1.9] as evaluated in doubles, clash below it, short below 2.5.
  EXPECT_EQ(class_at("C", "C", 1.54), ContactClass::covalent);
  EXPECT_EQ(class_at("C", "C", 1.2), ContactClass::covalent);   // the band wins over the clash rule
  EXPECT_EQ(class_at("C", "C", 1.15), ContactClass::covalent);  // below s - 0.25, still in the band
  EXPECT_EQ(class_at("C", "C", 1.1), ContactClass::covalent);
  EXPECT_EQ(class_at("C", "C", below(1.1)), ContactClass::clash);
  EXPECT_EQ(class_at("C", "C", 1.0), ContactClass::clash);
  EXPECT_EQ(class_at("C", "C", 1.9), ContactClass::covalent);
  EXPECT_EQ(class_at("C", "C", above(1.9)), ContactClass::short_contact);
  EXPECT_EQ(class_at("C", "C", 2.0), ContactClass::short_contact);
  EXPECT_EQ(class_at("C", "C", below(2.5)), ContactClass::short_contact);
  EXPECT_EQ(class_at("C", "C", 2.5), ContactClass::nonbonded);
  EXPECT_EQ(class_at("C", "C", 0.0), ContactClass::clash);
}

TEST(ContactClassification, OtherElementPairsUseTheSumOfTheirRadii) {
  EXPECT_EQ(class_at("O", "H", 0.96), ContactClass::covalent);   // s = 0.95
  EXPECT_EQ(class_at("H", "O", 0.5), ContactClass::clash);
  EXPECT_EQ(class_at("S", "S", 2.05), ContactClass::covalent);   // a disulfide, s = 2.04
  EXPECT_EQ(class_at("ZN", "S", 2.3), ContactClass::covalent);   // s = 2.27
  EXPECT_EQ(class_at("ZN", "S", 3.2), ContactClass::short_contact);
  EXPECT_EQ(class_at("K", "K", 4.5), ContactClass::short_contact);  // s = 4.06
  EXPECT_EQ(class_at("K", "K", 5.06), ContactClass::nonbonded);
}

TEST(ContactClassification, WithoutAnElementOnlyTwoAngstromsCount) {
  for (std::string_view other : {"C", "MN", ""}) {
    EXPECT_EQ(class_at("MN", other, 1.5), ContactClass::short_contact) << other;  // C-C here would be covalent
    EXPECT_EQ(class_at(other, "XX", 1.9), ContactClass::short_contact) << other;
    EXPECT_EQ(class_at("XX", other, below(2.0)), ContactClass::short_contact) << other;
    EXPECT_EQ(class_at(other, "", 2.0), ContactClass::nonbonded) << other;
    EXPECT_EQ(class_at("", other, 3.0), ContactClass::nonbonded) << other;
  }
}

TEST(ContactClassification, ElementsComeFromTheAtomNamesWhenTheTypeIsMissing) {
  // No type symbol and the name CA: calcium (radius 1.74), so with a carbon s = 2.49.
  StructureBuilder b;
  b.atom("C", {0, 0, 0}).atom("", {2.49, 0, 0}).name("CA").atom("", {5, 0, 0}).name("CB");
  const Structure s = b.take();
  EXPECT_EQ(classify_contact(s.atoms[0], s.atoms[1], 2.49), ContactClass::covalent);
  EXPECT_EQ(classify_contact(s.atoms[0], s.atoms[2], 1.5), ContactClass::short_contact);
  EXPECT_EQ(contact_class_text(ContactClass::covalent), "covalent");
  EXPECT_EQ(contact_class_text(ContactClass::short_contact), "short_contact");
  EXPECT_EQ(contact_class_text(ContactClass::clash), "clash");
  EXPECT_EQ(contact_class_text(ContactClass::nonbonded), "nonbonded");
}

TEST(ContactCutoff, RefusedUnlessGreaterThanZero) {
  const Structure s = StructureBuilder().atom("C", {0, 0, 0}).atom("C", {0, 0, 0}).take();
  for (double cutoff : {0.0, -0.0, -1.0, kNaN, -kInf}) {
    const auto all = contacts(s, cutoff, std::nullopt);
    ASSERT_FALSE(all.has_value()) << cutoff;
    EXPECT_STREQ(all.error().message, "cutoff must be positive");
    EXPECT_FALSE(contacts(s, cutoff, 0).has_value());
    EXPECT_FALSE(find_contacts(s, cutoff).has_value());
  }
  EXPECT_EQ(contacts(s, std::numeric_limits<double>::denorm_min(), std::nullopt)->size(), 1u);
}

TEST(ContactCutoff, InclusiveToTheLastBit) {
  // (1, 2, 2) is exactly 3 Å from the origin.
  const Structure s = StructureBuilder().atom("C", {0, 0, 0}).atom("C", {1, 2, 2}).take();
  EXPECT_EQ(contacts(s, 3.0, std::nullopt)->size(), 1u);
  EXPECT_EQ(contacts(s, below(3.0), std::nullopt)->size(), 0u);

  // Here the fused evaluation of the distance differs from a plain sum of squares, and comparing
  // squares with the squared cutoff would drop the pair.
  const Structure t = StructureBuilder().atom("C", {0, 0, 0}).atom("C", {0.1, 0.1, 0.474}).take();
  const auto at = contacts(t, 0.49464734912864938, std::nullopt);
  ASSERT_EQ(at->size(), 1u);
  EXPECT_EQ(at->at(0).distance, 0.49464734912864938);
  EXPECT_EQ(contacts(t, 0.49464734912864933, std::nullopt)->size(), 0u);
}

TEST(ContactScan, SkipsUnpositionedAndNonFiniteAtomsButKeepsTheirIndices) {
  StructureBuilder b;
  b.atom_without_position("C");           // 0
  b.atom("C", {0, 0, 0});                 // 1
  b.atom("C", {kNaN, 0, 0});              // 2: its distances are NaN, never within a cutoff
  b.atom_without_position("C");           // 3
  b.atom("C", {1, 0, 0});                 // 4
  b.atom("C", {kInf, 0, 0});              // 5: infinitely far from the others
  const Structure s = b.take();
  const auto rows = contacts(s, kInf, std::nullopt);
  ASSERT_EQ(rows->size(), 3u);
  EXPECT_EQ(rows->at(0), (Contact{1, 4, 1.0, ContactClass::clash}));
  EXPECT_EQ(rows->at(1), (Contact{1, 5, kInf, ContactClass::nonbonded}));
  EXPECT_EQ(rows->at(2), (Contact{4, 5, kInf, ContactClass::nonbonded}));

  EXPECT_TRUE(contacts(StructureBuilder().take(), 1.0, std::nullopt)->empty());
  EXPECT_TRUE(contacts(StructureBuilder().atom("C", {0, 0, 0}).atom_without_position("C").take(), 5.0, 9)->empty());
}

// Four carbons on a line at 0, 1, 2 and 3 Å: three pairs at 1 Å, two at 2 Å, one at 3 Å.
Structure four_in_a_row() {
  StructureBuilder b;
  for (double x : {0.0, 1.0, 2.0, 3.0}) b.atom("C", {x, 0, 0});
  return b.take();
}

TEST(ContactOrder, EnumerationFirstThenSecondAndStableByDistance) {
  const Structure s = four_in_a_row();
  const auto found = find_contacts(s, 10.0);
  std::vector<std::pair<std::uint64_t, std::uint64_t>> scan;
  for (const Contact& c : *found) scan.emplace_back(c.first, c.second);
  EXPECT_EQ(scan, (decltype(scan){{0, 1}, {0, 2}, {0, 3}, {1, 2}, {1, 3}, {2, 3}}));

  const std::vector<Contact> sorted = {
      {0, 1, 1.0, ContactClass::clash},         {1, 2, 1.0, ContactClass::clash},
      {2, 3, 1.0, ContactClass::clash},         {0, 2, 2.0, ContactClass::short_contact},
      {1, 3, 2.0, ContactClass::short_contact}, {0, 3, 3.0, ContactClass::nonbonded},
  };
  EXPECT_EQ(*contacts(s, 10.0, std::nullopt), sorted);
  EXPECT_EQ(*contacts(s, 10.0, 100), sorted);
  EXPECT_EQ(*contacts(s, 10.0, 6), sorted);
  for (std::uint64_t keep = 0; keep < 6; ++keep) {
    EXPECT_EQ(*contacts(s, 10.0, keep), std::vector<Contact>(sorted.begin(), sorted.begin() + keep)) << keep;
  }
  EXPECT_EQ(*contacts(s, 2.0, std::nullopt), std::vector<Contact>(sorted.begin(), sorted.begin() + 5));
}

TEST(ContactScan, PeriodicCellBringsPairsAcrossTheFaces) {
  StructureBuilder b;
  b.cell(10, 10, 10).atom("C", {0.2, 0, 0}).atom("C", {9.8, 0, 0});
  const Structure s = b.take();
  const auto rows = contacts(s, 0.5, std::nullopt);
  ASSERT_EQ(rows->size(), 1u);
  EXPECT_EQ(rows->at(0).distance, std::fabs((9.8 - 0.2) - 10.0));
  EXPECT_EQ(rows->at(0).classification, ContactClass::clash);
}

TEST(ContactScan, RowsAreExactlyThePairsOfTheDistanceMatrixWithinTheCutoff) {
  // Atoms in and far outside a periodic cell, coincident, unpositioned and non-finite ones.
  StructureBuilder b;
  b.cell(12, 9, 15);
  const double xs[] = {0.5, 11.7, 6.0, 18.2, -7.9, 0.5, 30.1, 3.3, kNaN, 6.0, -0.1, 12.0};
  const char* types[] = {"C", "N", "O", "S", "", "C", "FE", "H", "C", "ZN", "XX", "O"};
  for (int i = 0; i < 12; ++i) b.atom(types[i], {xs[i], xs[(i + 5) % 12] * 0.5, xs[(i + 7) % 12] - 1});
  b.atom_without_position("C");
  b.atom("C", {0.5, 0.5, 0.5});
  const Structure s = b.take();
  const DistanceMatrixResult m = dense_distance_matrix(s, {});
  ASSERT_EQ(m.size(), 13u);
  for (double cutoff : {0.5, 3.0, 7.5, 40.0, kInf}) {
    std::vector<Contact> expected;
    for (std::uint64_t r = 0; r < m.size(); ++r) {
      for (std::uint64_t c = r + 1; c < m.size(); ++c) {
        const double d = m.at(r, c);
        if (d <= cutoff) {
          const std::uint64_t i = m.atom_indices[r], j = m.atom_indices[c];
          expected.push_back({i, j, d, classify_contact(s.atoms[i], s.atoms[j], d)});
        }
      }
    }
    EXPECT_EQ(*find_contacts(s, cutoff), expected) << cutoff;
    EXPECT_EQ(*exhaustive::find_contacts(s, cutoff), expected) << cutoff;
  }
}

}  // namespace
}  // namespace quarn
