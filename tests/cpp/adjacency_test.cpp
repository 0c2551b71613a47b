// Bond adjacency completed by geometry, and the dense distance matrix.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "builder.hpp"
#include "quarn/analyze/adjacency.hpp"

namespace quarn {
namespace {

using testing::label;
using testing::StructureBuilder;
using Pairs = std::vector<std::pair<std::uint64_t, std::uint64_t>>;
using Entries = std::vector<BondEntry>;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr auto kGeo = BondType::covalent_unknown;

Entries list(const BondGraph& g, std::uint64_t i) { return {g.neighbors(i).begin(), g.neighbors(i).end()}; }

TEST(GeometricBonds, RadiusSumPlusToleranceInclusive) {
  const Structure s = StructureBuilder().atom("C", {0, 0, 0}).atom("C", {1.54, 0, 0}).take();
  EXPECT_EQ(geometric_bond_pairs(s, 0.1), (Pairs{{0, 1}}));
  EXPECT_TRUE(geometric_bond_pairs(s, 0.0).empty());
  EXPECT_EQ(geometric_bond_pairs(s, 0.04), (Pairs{{0, 1}}));                  // 1.54 <= 1.5 + 0.04
  EXPECT_TRUE(geometric_bond_pairs(s, 0.0399999999999).empty());
  EXPECT_TRUE(geometric_bond_pairs(s, kNaN).empty());
  EXPECT_TRUE(geometric_bond_pairs(s, -5.0).empty());
  EXPECT_EQ(geometric_bond_pairs(s, kInf), (Pairs{{0, 1}}));

  // A negative tolerance narrows the rule without refusing: 1.0 <= 1.5 - 0.5.
  const Structure close = StructureBuilder().atom("C", {0, 0, 0}).atom("C", {1.0, 0, 0}).take();
  EXPECT_EQ(geometric_bond_pairs(close, -0.5), (Pairs{{0, 1}}));
  EXPECT_TRUE(geometric_bond_pairs(close, std::nextafter(-0.5, -1.0)).empty());
}

TEST(GeometricBonds, CandidatesNeedAPositionAndAnElement) {
  StructureBuilder b;
  b.atom("C", {0, 0, 0});          // 0
  b.atom("XX", {0.5, 0, 0});       // 1: no element
  b.atom_without_position("C");    // 2
  b.atom("", {1, 0, 0}).name("N");  // 3: element from its name
  b.atom("O", {0, 0, 0});          // 4: coincident with 0, still bonded
  b.atom("C", {kNaN, 0, 0});       // 5: never within
  b.atom("C", {0, 1.4, 0});        // 6
  const Structure s = b.take();
  EXPECT_EQ(geometric_bond_pairs(s, 0.0), (Pairs{{0, 3}, {0, 4}, {0, 6}, {3, 4}}));  // O-C6: 1.4 > 1.38
  EXPECT_EQ(geometric_bond_pairs(s, kInf), (Pairs{{0, 3}, {0, 4}, {0, 6}, {3, 4}, {3, 6}, {4, 6}}));
  for (std::uint64_t i = 0; i < s.atom_count() + 2; ++i) {
    std::vector<std::uint64_t> expected;
    for (const auto& [a, b] : geometric_bond_pairs(s, 0.0)) {
      if (a == i) expected.push_back(b);
      if (b == i) expected.push_back(a);
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(geometric_bond_partners(s, i, 0.0), expected) << i;
  }
}

TEST(GeometricBonds, PeriodicCellBondsAcrossTheFacesButNotThePlaceholder) {
  StructureBuilder b;
  b.cell(10, 10, 10).atom("C", {0.2, 0, 0}).atom("C", {8.8, 0, 0});
  EXPECT_EQ(geometric_bond_pairs(b.take(), 0.0), (Pairs{{0, 1}}));  // 1.4 Å through the face
  StructureBuilder p;
  p.cell(1, 1, 1).atom("C", {0, 0, 0}).atom("C", {2.2, 0, 0});
  EXPECT_TRUE(geometric_bond_pairs(p.take(), 0.0).empty());  // 0.2 Å if it were folded
}

// An explicit C1-C2 double bond that geometry also finds, C2-O and O-C3 bonds found only by geometry,
// and an explicit bond of an unpositioned atom.
Structure ethanal_like() {
  StructureBuilder b;
  b.atom("C", {0, 0, 0}).name("C1").residue("LIG", "A", 1);          // 0
  b.atom("C", {1.34, 0, 0}).name("C2").residue("LIG", "A", 1);       // 1
  b.atom("O", {1.34, 1.2, 0}).name("O").residue("LIG", "A", 1);      // 2
  b.atom_without_position("H").name("H").residue("LIG", "A", 1);     // 3
  b.atom("C", {1.34, 2.6, 0}).name("C3").residue("LIG", "A", 1);     // 4: bonded to O only
  b.chem_comp_bond("LIG", "C2", "C1", BondType::covalent_double);
  b.chem_comp_bond("LIG", "H", "C1", BondType::covalent_single);
  return b.take();
}

TEST(AugmentedGraph, ExplicitEntriesFirstGeometricOnesAddedOnce) {
  const Structure s = ethanal_like();
  const BondGraph plain = augmented_bond_graph(s, false, 0.4);
  EXPECT_EQ(list(plain, 0), (Entries{{1, BondType::covalent_double}, {3, BondType::covalent_single}}));
  EXPECT_EQ(list(plain, 2), Entries{});

  const BondGraph g = augmented_bond_graph(s, true, 0.4);
  ASSERT_EQ(g.size(), 5u);
  EXPECT_EQ(list(g, 0), (Entries{{1, BondType::covalent_double}, {3, BondType::covalent_single}}));
  EXPECT_EQ(list(g, 1), (Entries{{0, BondType::covalent_double}, {2, kGeo}}));
  EXPECT_EQ(list(g, 2), (Entries{{1, kGeo}, {4, kGeo}}));
  EXPECT_EQ(list(g, 3), (Entries{{0, BondType::covalent_single}}));
  EXPECT_EQ(list(g, 4), (Entries{{2, kGeo}}));
  EXPECT_EQ(sparse_adjacency(s, true, 0.4).entry_count(), g.entry_count());

  // A tolerance of its own plays no part without geometry, and a negative one refuses nothing.
  const BondGraph none = sparse_adjacency(s, false, -5.0);
  EXPECT_EQ(none.entry_count(), plain.entry_count());
  const BondGraph narrow = sparse_adjacency(s, true, -5.0);
  EXPECT_EQ(narrow.entry_count(), plain.entry_count());
  EXPECT_EQ(sparse_adjacency(s, true, kNaN).entry_count(), plain.entry_count());
}

TEST(AugmentedGraph, AnExplicitSelfBondDoesNotHideAGeometricOne) {
  StructureBuilder b;
  b.atom("C", {0, 0, 0}).name("C1").residue("LIG", "A", 1);
  b.atom("C", {1.5, 0, 0}).name("C2").residue("LIG", "A", 1);
  b.chem_comp_bond("LIG", "C1", "C1", std::nullopt);
  const Structure s = b.take();
  const BondGraph g = sparse_adjacency(s, true, 0.0);
  EXPECT_EQ(list(g, 0), (Entries{{0, std::nullopt}, {0, std::nullopt}, {1, kGeo}}));
  EXPECT_EQ(list(g, 1), (Entries{{0, kGeo}}));
}

TEST(DenseMatrix, SelectionFollowsTheGivenIndices) {
  StructureBuilder b;
  for (int i = 0; i < 10; ++i) b.atom("C", {1.0 * i, 0, 0});
  b.atom_without_position("C");  // 10
  const Structure s = b.take();
  const std::vector<std::uint64_t> all = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
  EXPECT_EQ(dense_distance_matrix(s, {}).atom_indices, all);
  EXPECT_EQ(select_matrix_atoms(s, {}), all);

  const std::vector<std::uint64_t> five = {5};
  const auto one = dense_distance_matrix(s, five);
  EXPECT_EQ(one.atom_indices, five);
  EXPECT_EQ(one.distances, std::vector<double>{0.0});

  const std::vector<std::uint64_t> twice = {3, 3};
  const auto repeated = dense_distance_matrix(s, twice);
  EXPECT_EQ(repeated.atom_indices, twice);
  EXPECT_EQ(repeated.distances, (std::vector<double>{0, 0, 0, 0}));

  const std::vector<std::uint64_t> mixed = {2, 99, 10, 0, ~std::uint64_t{0}, 7};
  const auto m = dense_distance_matrix(s, mixed);
  EXPECT_EQ(m.atom_indices, (std::vector<std::uint64_t>{2, 0, 7}));
  EXPECT_EQ(m.distances, (std::vector<double>{0, 2, 5, 2, 0, 7, 5, 7, 0}));

  const std::vector<std::uint64_t> nothing_valid = {10, 11};
  EXPECT_TRUE(dense_distance_matrix(s, nothing_valid).distances.empty());
  EXPECT_TRUE(dense_distance_matrix(Structure(), {}).atom_indices.empty());
  EXPECT_TRUE(dense_distance_matrix(StructureBuilder().atom_without_position("C").take(), {}).distances.empty());
}

TEST(DenseMatrix, SymmetricToTheBitWithAZeroDiagonal) {
  StructureBuilder b;
  b.cell(10, 10, 10);
  const Vec3 points[] = {{1, 0, 0}, {9, 0, 0}, {0.1, 0.1, 0.474}, {25.3, -7.1, 3.3}, {kNaN, 1, 1}, {0, 0, 0}};
  for (const Vec3& p : points) b.atom("C", p);
  const Structure s = b.take();
  const auto m = dense_distance_matrix(s, {});
  ASSERT_EQ(m.size(), 6u);
  for (std::uint64_t r = 0; r < 6; ++r) {
    EXPECT_EQ(m.at(r, r), 0.0);  // also for the NaN atom: the diagonal is never computed
    for (std::uint64_t c = 0; c < 6; ++c) {
      if (std::isnan(m.at(r, c))) {
        EXPECT_TRUE(std::isnan(m.at(c, r)));
        EXPECT_TRUE(r == 4 || c == 4);
      } else {
        EXPECT_EQ(m.at(r, c), m.at(c, r));
      }
    }
  }
  EXPECT_EQ(m.at(0, 1), 2.0);
  EXPECT_EQ(m.at(2, 5), 0.49464734912864938);

  StructureBuilder h;
  h.cell(10, 10, 10, 90, 90, 120).atom("C", {1, 0, 0}).atom("C", {9, 0, 0});
  EXPECT_EQ(dense_distance_matrix(h.take(), {}).at(0, 1), 8.0);
}

}  // namespace
}  // namespace quarn
