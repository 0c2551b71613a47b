// Point searches: atoms within a radius, and amino-acid residues by their nearest atom.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "builder.hpp"
#include "quarn/analyze/search.hpp"

namespace quarn {
namespace {

using testing::StructureBuilder;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::uint64_t kAll = std::numeric_limits<std::uint64_t>::max();
constexpr Vec3 kOrigin{0, 0, 0};

std::vector<std::uint64_t> indices(const std::vector<AtomHitRecord>& hits) {
  std::vector<std::uint64_t> out;
  for (const AtomHitRecord& h : hits) out.push_back(h.index);
  return out;
}

// "comp chain seq" per row, "-" for an absent part.
std::vector<std::string> residues(const std::vector<ResidueHitRecord>& rows) {
  std::vector<std::string> out;
  for (const ResidueHitRecord& r : rows) {
    out.push_back(std::string(r.key.comp_id.value_or("-")) + " " + std::string(r.key.chain_id.value_or("-")) + " " +
                  (r.key.seq_id ? std::to_string(*r.key.seq_id) : "-"));
  }
  return out;
}

TEST(NearestAtoms, NothingWithoutRoomOrPositionedAtoms) {
  const Structure at_origin = StructureBuilder().atom("C", kOrigin).take();
  EXPECT_TRUE(nearest_atoms(at_origin, kOrigin, 5.0, 0).empty());
  for (double r : {0.0, -0.0, -1.0, -kInf, kNaN}) EXPECT_TRUE(nearest_atoms(at_origin, kOrigin, r, kAll).empty()) << r;
  EXPECT_EQ(nearest_atoms(at_origin, kOrigin, std::numeric_limits<double>::denorm_min(), 1).size(), 1u);
  EXPECT_TRUE(nearest_atoms(Structure(), kOrigin, 5.0, kAll).empty());
  EXPECT_TRUE(nearest_atoms(StructureBuilder().atom_without_position("C").take(), kOrigin, 5.0, kAll).empty());
}

TEST(NearestAtoms, InclusiveRadiusToTheLastBit) {
  StructureBuilder b;
  b.atom("C", {1, 2, 2});            // 3 Å
  b.atom("C", {0.1, 0.1, 0.474});    // the fused distance below
  const Structure s = b.take();
  EXPECT_EQ(indices(nearest_atoms(s, kOrigin, 3.0, kAll)), (std::vector<std::uint64_t>{1, 0}));
  EXPECT_EQ(indices(nearest_atoms(s, kOrigin, std::nextafter(3.0, 0.0), kAll)), (std::vector<std::uint64_t>{1}));
  const auto at = nearest_atoms(s, kOrigin, 0.49464734912864938, kAll);
  ASSERT_EQ(at.size(), 1u);
  EXPECT_EQ(at[0].distance, 0.49464734912864938);
  EXPECT_TRUE(nearest_atoms(s, kOrigin, 0.49464734912864933, kAll).empty());
  // The displacement is atom minus origin; seen from that point an atom at the origin is as far.
  const Structure t = StructureBuilder().atom("C", kOrigin).take();
  EXPECT_EQ(nearest_atoms(t, {0.1, 0.1, 0.474}, 1.0, kAll).at(0).distance, 0.49464734912864938);
}

TEST(NearestAtoms, NearestFirstTiesInIndexOrderThenTruncated) {
  StructureBuilder b;
  b.atom("C", {0, 0, 2});        // 0: 2
  b.atom("C", {0, 1, 0});        // 1: 1
  b.atom_without_position("C");  // 2
  b.atom("C", {-2, 0, 0});       // 3: 2
  b.atom("C", {0, 0, 9});        // 4: beyond the radius
  b.atom("C", {0, -1, 0});       // 5: 1
  b.atom("C", {kNaN, 0, 0});     // 6: NaN, never within
  b.atom("C", {0, 2, 0});        // 7: 2
  const Structure s = b.take();
  EXPECT_EQ(indices(nearest_atoms(s, kOrigin, 5.0, kAll)), (std::vector<std::uint64_t>{1, 5, 0, 3, 7}));
  EXPECT_EQ(indices(nearest_atoms(s, kOrigin, 5.0, 5)), (std::vector<std::uint64_t>{1, 5, 0, 3, 7}));
  EXPECT_EQ(indices(nearest_atoms(s, kOrigin, 5.0, 4)), (std::vector<std::uint64_t>{1, 5, 0, 3}));
  EXPECT_EQ(indices(nearest_atoms(s, kOrigin, 5.0, 3)), (std::vector<std::uint64_t>{1, 5, 0}));
  EXPECT_EQ(indices(nearest_atoms(s, kOrigin, 5.0, 1)), (std::vector<std::uint64_t>{1}));
  EXPECT_EQ(indices(nearest_atoms(s, kOrigin, kInf, kAll)), (std::vector<std::uint64_t>{1, 5, 0, 3, 7, 4}));
  EXPECT_TRUE(nearest_atoms(s, {kNaN, 0, 0}, kInf, kAll).empty());
  const auto hits = nearest_atoms(s, kOrigin, 1.5, kAll);
  ASSERT_EQ(hits.size(), 2u);
  EXPECT_EQ(hits[0].distance, 1.0);
}

TEST(NearestAtoms, PeriodicCellFoldsTheDisplacementOnce) {
  StructureBuilder b;
  b.cell(10, 10, 10).atom("C", {9.5, 0, 0}).atom("C", {26, 0, 0}).atom("C", {5.5, 0, 0});
  const Structure cubic = b.take();
  const auto hits = nearest_atoms(cubic, {0.5, 0, 0}, 20.0, kAll);
  ASSERT_EQ(hits.size(), 3u);
  EXPECT_EQ(hits[0].index, 0u);
  EXPECT_EQ(hits[0].distance, 1.0);
  EXPECT_EQ(hits[1].index, 2u);
  EXPECT_EQ(hits[1].distance, 5.0);  // exactly half an edge: not moved
  EXPECT_EQ(hits[2].index, 1u);
  EXPECT_EQ(hits[2].distance, 15.5);  // 25.5 shifted once, not reduced to 4.5

  StructureBuilder h;
  h.cell(10, 10, 10, 90, 90, 120).atom("C", {9.5, 0, 0});
  EXPECT_EQ(nearest_atoms(h.take(), {0.5, 0, 0}, 20.0, kAll).at(0).distance, 9.0);
}

// Residues A 1 ALA (two atoms), A 2 GLY, and non-amino-acid neighbours, all near the origin.
StructureBuilder small_chain() {
  StructureBuilder b;
  b.atom("N", {3, 0, 0}).name("N").residue("ALA", "A", 1);     // 0: 3
  b.atom("C", {2, 0, 0}).name("CA").residue("ALA", "A", 1);    // 1: 2
  b.atom("C", {0, 4, 0}).name("CA").residue("GLY", "A", 2);    // 2: 4
  b.atom("O", {1, 0, 0}).name("O").residue("HOH", "W", 1);     // 3: water
  b.atom("SE", {0, 1, 0}).name("SE").residue("MSE", "A", 3);   // 4: selenomethionine
  b.atom("C", {0, 0, 1}).name("CA").residue("UNK", "A", 4);    // 5
  b.atom("P", {1, 1, 0}).name("P").residue("DA", "B", 1);      // 6: nucleotide
  b.atom("C", {1, 0, 1}).name("C1").residue("NAG", "C", 1);    // 7: ligand
  b.atom("C", {0, 0, 0}).name("CA");                           // 8: no comp id at all
  return b;
}

TEST(NearestResidues, OnlyTheStandardAminoAcidsByTheirNearestAtom) {
  const Structure s = small_chain().take();
  const auto rows = nearest_residues(s, kOrigin, 10.0, kAll);
  EXPECT_EQ(residues(rows), (std::vector<std::string>{"ALA A 1", "GLY A 2"}));
  EXPECT_EQ(rows[0].distance, 2.0);
  EXPECT_EQ(rows[1].distance, 4.0);
  EXPECT_EQ(residues(nearest_residues(s, kOrigin, 10.0, 1)), (std::vector<std::string>{"ALA A 1"}));
  EXPECT_EQ(residues(nearest_residues(s, kOrigin, 4.0, kAll)), (std::vector<std::string>{"ALA A 1", "GLY A 2"}));
  EXPECT_EQ(residues(nearest_residues(s, kOrigin, std::nextafter(4.0, 0.0), kAll)),
            (std::vector<std::string>{"ALA A 1"}));
  EXPECT_TRUE(nearest_residues(s, kOrigin, 10.0, 0).empty());
  for (double r : {0.0, -0.0, -3.0}) EXPECT_TRUE(nearest_residues(s, kOrigin, r, kAll).empty()) << r;
  EXPECT_TRUE(nearest_residues(Structure(), kOrigin, 10.0, kAll).empty());
}

TEST(NearestResidues, EveryStandardCodeInAnyCaseAndNoOther) {
  const char* codes[] = {"ALA", "ARG", "ASN", "ASP", "CYS", "GLN", "GLU", "GLY", "HIS", "ILE", "LEU",
                         "LYS", "MET", "PHE", "PRO", "SER", "THR", "TRP", "TYR", "VAL", "SEC", "sec",
                         "Trp", "MSE", "UNK", "HOH", "DA",  "A",   "ALAA", "AL",  "",    "PYL"};
  StructureBuilder b;
  int seq = 0;
  for (const char* code : codes) b.atom("C", {1.0 * ++seq, 0, 0}).residue(code, "A", seq);
  const Structure s = b.take();
  const auto rows = nearest_residues(s, kOrigin, kInf, kAll);
  ASSERT_EQ(rows.size(), 23u);
  EXPECT_EQ(rows[21].key.comp_id, "sec");  // reported as stored
  EXPECT_EQ(rows[22].key.comp_id, "Trp");
  EXPECT_TRUE(is_standard_amino_acid(" ala\t"));
  EXPECT_TRUE(is_standard_amino_acid("\xc2\xa0HIS"));
  EXPECT_FALSE(is_standard_amino_acid("A LA"));
}

TEST(NearestResidues, KeyIgnoresModelAndAltLocButNotCaseOrChain) {
  StructureBuilder b;
  b.atom("C", {5, 0, 0}).name("CB").residue("SER", "A", 7).alt("A").model(1);   // 0
  b.atom("C", {4, 0, 0}).name("CB").residue("SER", "A", 7).alt("B").model(1);   // 1: nearer copy
  b.atom("C", {3, 0, 0}).name("CB").residue("SER", "A", 7).model(2);            // 2: other model
  b.atom("C", {6, 0, 0}).name("CB").residue("ser", "A", 7);                     // 3: other comp text
  b.atom("C", {7, 0, 0}).name("CB").residue("SER", "B", 7);                     // 4: other chain
  b.atom("C", {8, 0, 0}).name("CB").comp("SER").auth("A", 7);                   // 5: same key via auth ids
  b.atom("C", {9, 0, 0}).name("CB").comp("SER");                                // 6: no chain, no seq
  b.atom("C", {1, 0, 9}).name("CA").comp("SER");                                // 7: same empty key
  const Structure s = b.take();
  const auto rows = nearest_residues(s, kOrigin, 20.0, kAll);
  EXPECT_EQ(residues(rows), (std::vector<std::string>{"SER A 7", "ser A 7", "SER B 7", "SER - -"}));
  EXPECT_EQ(rows[0].distance, 3.0);
  EXPECT_EQ(rows[3].distance, 9.0);
}

TEST(NearestResidues, NaNRadiusKeepsEveryResidueNearestFirst) {
  const Structure s = small_chain().take();
  const auto rows = nearest_residues(s, kOrigin, kNaN, kAll);
  EXPECT_EQ(residues(rows), (std::vector<std::string>{"ALA A 1", "GLY A 2"}));
  EXPECT_EQ(rows[0].distance, 2.0);
  EXPECT_EQ(residues(nearest_residues(s, kOrigin, kNaN, 1)), (std::vector<std::string>{"ALA A 1"}));
}

TEST(NearestResidues, NaNDistanceNeverHidesANumberAndSortsLast) {
  StructureBuilder b;
  b.atom("C", {kNaN, 0, 0}).residue("ALA", "A", 1);  // 0: NaN first ...
  b.atom("C", {7, 0, 0}).residue("ALA", "A", 1);     // 1: ... then a number
  b.atom("C", {kNaN, 0, 0}).residue("GLY", "A", 2);  // 2: NaN only
  b.atom("C", {1, 0, 0}).residue("SER", "A", 3);     // 3: a number ...
  b.atom("C", {0, kNaN, 0}).residue("SER", "A", 3);  // 4: ... then a NaN
  b.atom("C", {0, 0, kNaN}).residue("CYS", "A", 4);  // 5: NaN only, after GLY
  b.atom("C", {kNaN, 0, 0}).residue("CYS", "A", 4);
  b.atom("C", {0, 9, 0}).residue("HIS", "A", 5);     // 6: a plain number
  const Structure s = b.take();
  const auto rows = nearest_residues(s, kOrigin, 10.0, kAll);
  EXPECT_EQ(residues(rows), (std::vector<std::string>{"SER A 3", "ALA A 1", "HIS A 5", "GLY A 2", "CYS A 4"}));
  EXPECT_EQ(rows[0].distance, 1.0);
  EXPECT_EQ(rows[1].distance, 7.0);
  EXPECT_TRUE(std::isnan(rows[3].distance));
  EXPECT_TRUE(std::isnan(rows[4].distance));
  EXPECT_EQ(residues(nearest_residues(s, kOrigin, 10.0, 4)),
            (std::vector<std::string>{"SER A 3", "ALA A 1", "HIS A 5", "GLY A 2"}));
  // A NaN origin makes every distance NaN; none is "greater than" the radius, so all stay.
  EXPECT_EQ(residues(nearest_residues(s, {kNaN, 0, 0}, 1.0, kAll)),
            (std::vector<std::string>{"ALA A 1", "GLY A 2", "SER A 3", "CYS A 4", "HIS A 5"}));
}

TEST(NearestResidues, EqualDistancesComeInOrderOfFirstAtomWithinTheRadius) {
  // Thirty residues, each with atoms on the 5 Å sphere (every integer point of it), in a scrambled
  // sequence order: a hash order would show.
  std::vector<Vec3> sphere;
  for (double u : {-5.0, 5.0}) sphere.insert(sphere.end(), {{u, 0, 0}, {0, u, 0}, {0, 0, u}});
  for (double u : {-3.0, 3.0}) {
    for (double v : {-4.0, 4.0}) {
      sphere.insert(sphere.end(), {{u, v, 0}, {v, u, 0}, {u, 0, v}, {v, 0, u}, {0, u, v}, {0, v, u}});
    }
  }
  ASSERT_EQ(sphere.size(), 30u);
  StructureBuilder b;
  std::vector<std::string> expected;
  for (int k = 0; k < 30; ++k) {
    const int seq = (k * 17) % 30 + 1;
    b.atom("C", sphere[k]).residue("GLY", "A", seq);
    b.atom("C", sphere[29 - k]).residue("GLY", "A", seq);
    expected.push_back("GLY A " + std::to_string(seq));
  }
  const Structure s = b.take();
  const auto rows = nearest_residues(s, kOrigin, 5.0, kAll);
  ASSERT_EQ(rows.size(), 30u);
  for (const auto& r : rows) EXPECT_EQ(r.distance, 5.0);
  EXPECT_EQ(residues(rows), expected);

  // An atom outside the radius does not place its residue: B enters first, at its atom 1.
  StructureBuilder c;
  c.atom("C", {9, 0, 0}).residue("ALA", "A", 1);
  c.atom("C", {3, 0, 0}).residue("ALA", "B", 1);
  c.atom("C", {0, 3, 0}).residue("ALA", "A", 1);
  const Structure t = c.take();
  EXPECT_EQ(residues(nearest_residues(t, kOrigin, 5.0, kAll)), (std::vector<std::string>{"ALA B 1", "ALA A 1"}));
}

TEST(NearestResidues, PeriodicCellAsForAtoms) {
  StructureBuilder b;
  b.cell(10, 10, 10).atom("C", {9.5, 0, 0}).residue("ALA", "A", 1).atom("C", {26.5, 0, 0}).residue("GLY", "A", 2);
  const Structure s = b.take();
  const auto rows = nearest_residues(s, {0.5, 0, 0}, 20.0, kAll);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].distance, 1.0);
  EXPECT_EQ(rows[1].distance, 16.0);
}

}  // namespace
}  // namespace quarn
