// One distance everywhere: the periodicity decision and the minimum image, seen through the queries.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "builder.hpp"
#include "quarn/analyze/adjacency.hpp"
#include "quarn/analyze/search.hpp"
#include "quarn/contacts.hpp"
#include "quarn/geometry.hpp"

namespace quarn {
namespace {

using testing::StructureBuilder;

constexpr double kInf = std::numeric_limits<double>::infinity();

// The distance between atoms 0 and 1 as the dense matrix, the contact scan and the point search each
// report it; they must agree to the last bit.
std::vector<double> distances_01(const Structure& s) {
  std::vector<double> out;
  out.push_back(dense_distance_matrix(s, {}).at(0, 1));
  const auto rows = contacts(s, kInf, std::nullopt);
  out.push_back(rows.value().at(0).distance);
  const auto hits = nearest_atoms(s, *position_of(s.atoms[0]), kInf, 2);
  out.push_back(hits.at(1).distance);
  return out;
}

double distance_01(const Structure& s) {
  const auto all = distances_01(s);
  for (double d : all) EXPECT_EQ(d, all[0]);
  return all[0];
}

Structure pair_in(std::optional<UnitCell> cell, Vec3 p, Vec3 q) {
  StructureBuilder b;
  if (cell) b.cell(cell->a, cell->b, cell->c, cell->alpha, cell->beta, cell->gamma);
  Structure s = b.atom("C", p).atom("C", q).take();
  return s;
}

TEST(Periodicity, ThePlaceholderCellIsExactlyOneAngstromOnEveryEdgeWhateverItsAngles) {
  Structure s;
  EXPECT_FALSE(DistanceRule::of(s).periodic);
  s.cell = UnitCell{10, 10, 10, 90, 90, 90.00005};
  EXPECT_TRUE(DistanceRule::of(s).periodic);
  s.cell = UnitCell{1, 1, 1, 90, 90, 90.00005};
  EXPECT_FALSE(DistanceRule::of(s).periodic);
  EXPECT_EQ(s.unit_cell(), (UnitCell{1, 1, 1, 90, 90, 90.00005}));
  s.cell = UnitCell{1, 1, std::nextafter(1.0, 2.0), 90, 90, 90};
  EXPECT_TRUE(DistanceRule::of(s).periodic);
}

TEST(Periodicity, PlaceholderCellLeavesDistancesEuclidean) {
  // Two bonded carbons 1.54 Å apart would fold to 0.46 Å in a 1 Å cell.
  const Structure s = pair_in(UnitCell{1, 1, 1, 90, 90, 90}, {0, 0, 0}, {1.54, 0, 0});
  EXPECT_EQ(distance_01(s), 1.54);
  EXPECT_EQ(geometric_bond_pairs(s, 0.1).size(), 1u);
}

TEST(MinimumImage, ShiftsOnceAndNeverAtExactlyHalfAnEdge) {
  const UnitCell cubic{10, 10, 10, 90, 90, 90};
  EXPECT_EQ(distance_01(pair_in(cubic, {1, 0, 0}, {9.5, 0, 0})), 1.5);
  EXPECT_EQ(distance_01(pair_in(cubic, {9.5, 0, 0}, {1, 0, 0})), 1.5);
  EXPECT_EQ(distance_01(pair_in(cubic, {1, 0, 0}, {6, 0, 0})), 5.0);   // exactly half: not moved
  EXPECT_EQ(distance_01(pair_in(cubic, {6, 0, 0}, {1, 0, 0})), 5.0);
  EXPECT_EQ(distance_01(pair_in(cubic, {0, 0, 0}, {25, 0, 0})), 15.0);  // one shift only
  EXPECT_EQ(distance_01(pair_in(cubic, {0, 0, 0}, {26, 0, 0})), 16.0);
  EXPECT_EQ(distance_01(pair_in(cubic, {0, 0, 0}, {0, -26, 0})), 16.0);
  EXPECT_EQ(distance_01(pair_in(cubic, {0.2, 0, 0}, {9.8, 0, 0})), std::fabs((9.8 - 0.2) - 10));
}

TEST(MinimumImage, EachAxisFoldsAgainstItsOwnEdge) {
  const UnitCell box{10, 20, 30, 90, 90, 90};
  EXPECT_EQ(distance_01(pair_in(box, {0, 0, 0}, {9, 0, 0})), 1.0);
  EXPECT_EQ(distance_01(pair_in(box, {0, 0, 0}, {0, 9, 0})), 9.0);
  EXPECT_EQ(distance_01(pair_in(box, {0, 0, 0}, {0, 19, 0})), 1.0);
  EXPECT_EQ(distance_01(pair_in(box, {0, 0, 0}, {0, 0, 19})), 11.0);
  EXPECT_EQ(distance_01(pair_in(box, {0, 0, 0}, {0, 0, 29})), 1.0);
  EXPECT_EQ(distance_01(pair_in(box, {0, 0, 0}, {9, 19, 29})), std::sqrt(3.0));
}

TEST(MinimumImage, NonOrthogonalCellsNeverWrap) {
  const UnitCell monoclinic{10, 10, 10, 90, 100, 90};
  const UnitCell hexagonal{10, 10, 10, 90, 90, 120};
  EXPECT_EQ(distance_01(pair_in(monoclinic, {0.5, 0, 0}, {9.5, 0, 0})), 9.0);
  EXPECT_EQ(distance_01(pair_in(hexagonal, {0.5, 0, 0}, {9.5, 0, 0})), 9.0);
  EXPECT_EQ(distance_01(pair_in(hexagonal, {1, 0, 0}, {9, 0, 0})), 8.0);
  EXPECT_EQ(distance_01(pair_in(std::nullopt, {0.5, 0, 0}, {9.5, 0, 0})), 9.0);
}

TEST(DistanceFormula, FusedMultiplyAddsFixTheLastBit) {
  // For this displacement the fused evaluation and the plain sum of three squares differ in the last
  // bit, and squaring the distance does not give back the sum: only the one formula reproduces it.
  const Structure s = pair_in(std::nullopt, {0, 0, 0}, {0.1, 0.1, 0.474});
  const double fused = 0.49464734912864938;
  EXPECT_EQ(distance_01(s), fused);
  volatile double xx = 0.1 * 0.1, yy = 0.1 * 0.1, zz = 0.474 * 0.474;
  EXPECT_NE(std::sqrt((xx + yy) + zz), fused);
}

// A search rejects a candidate by its sum of squares alone; that must keep exactly the sums whose
// root is within the limit, at every limit, right at the boundary.
TEST(DistanceFormula, SquaredBoundKeepsExactlyTheSumsWhoseRootIsWithin) {
  std::mt19937_64 rng(3);
  std::uniform_real_distribution<double> exponent(-300, 300);
  std::vector<double> limits = {0.0, -0.0, 1.0, 2.0, 3.0, 4.0, 0.49464734912864938, 1e-160, 1e154, 1.4e154, 1e300,
                                std::numeric_limits<double>::max(), std::numeric_limits<double>::denorm_min()};
  for (int k = 0; k < 2000; ++k) limits.push_back(std::pow(10.0, exponent(rng)) * (1 + 0.5 * (k % 7)));
  for (const double limit : limits) {
    const double bound = squared_bound(limit);
    for (double s : {limit * limit, bound}) {
      for (int step = 0; step < 6; ++step) s = std::nextafter(s, 0.0);
      for (int step = 0; step < 12; ++step, s = std::nextafter(s, kInf)) {
        EXPECT_EQ(std::sqrt(s) <= limit, s <= bound) << std::hexfloat << limit << " " << s;
      }
    }
  }
  EXPECT_EQ(squared_bound(kInf), kInf);
  EXPECT_TRUE(std::isnan(squared_bound(std::nan(""))));
  EXPECT_FALSE(0.0 <= squared_bound(-1.0));
  EXPECT_FALSE(kInf <= squared_bound(1e300));
}

}  // namespace
}  // namespace quarn
