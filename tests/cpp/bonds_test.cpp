// Explicit bonds: how _struct_conn and _chem_comp_bond rows resolve into the per-atom bond graph.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "builder.hpp"
#include "entries.hpp"
#include "quarn/bond_graph.hpp"
#include "quarn/exhaustive.hpp"
#include "quarn/geometry.hpp"
#include "quarn/structure.hpp"

namespace quarn {
namespace {

using testing::label;
using testing::StructureBuilder;
using Pairs = std::vector<std::pair<std::uint64_t, std::uint64_t>>;

std::vector<BondEntry> list_of(const Structure& s, std::uint64_t atom) {
  const auto n = s.bond_graph().neighbors(atom);
  return {n.begin(), n.end()};
}

// Two cysteines' SG atoms, twice over (two models), with a water in between.
StructureBuilder two_cysteines() {
  StructureBuilder b;
  b.atom("S", {0, 0, 0}).name("SG").residue("CYS", "A", 6).model(1);      // 0
  b.atom("O", {5, 0, 0}).name("O").residue("HOH", "W", 1).model(1);       // 1
  b.atom("S", {2, 0, 0}).name("SG").residue("CYS", "A", 127).model(1);    // 2
  b.atom("S", {0, 1, 0}).name("SG").residue("CYS", "A", 6).model(2);      // 3
  b.atom("S", {2, 1, 0}).name("SG").residue("CYS", "A", 127).model(2);    // 4
  return b;
}

TEST(StructConn, ResolvesEachPartnerToItsFirstMatchInTheFile) {
  const Structure s = two_cysteines().struct_conn(label("A", 6, "SG"), label("A", 127, "SG"), std::nullopt).take();
  EXPECT_EQ(s.explicit_bonds(), (Pairs{{0, 2}}));  // model 1 wins: it comes first
  EXPECT_EQ(list_of(s, 0), (std::vector<BondEntry>{{2, std::nullopt}}));
  EXPECT_EQ(list_of(s, 2), (std::vector<BondEntry>{{0, std::nullopt}}));
  EXPECT_TRUE(list_of(s, 3).empty());
  EXPECT_EQ(s.bond_graph().size(), 5u);
}

TEST(StructConn, RowsNamingMissingAtomsContributeNothingAndOthersStillDo) {
  const Structure s = two_cysteines()
                          .struct_conn(label("A", 6, "SG"), label("A", 99, "SG"), BondType::covalent_single)
                          .struct_conn(label("B", 6, "SG"), label("A", 127, "SG"), BondType::covalent_single)
                          .struct_conn(label("A", 127, "SG"), label("W", 1, "O"), BondType::metallic)
                          .take();
  EXPECT_EQ(s.explicit_bonds(), (Pairs{{1, 2}}));
  EXPECT_EQ(list_of(s, 1), (std::vector<BondEntry>{{2, BondType::metallic}}));
  EXPECT_EQ(list_of(s, 0).size(), 0u);
}

TEST(StructConn, RepeatedRowsAndSelfBondsAreKeptEntryForEntry) {
  const Structure s = two_cysteines()
                          .struct_conn(label("A", 127, "SG"), label("A", 6, "SG"), BondType::covalent_single)
                          .struct_conn(label("A", 6, "SG"), label("A", 127, "SG"), BondType::covalent_double)
                          .struct_conn(label("W", 1, "O"), label("W", 1, "O"), BondType::ionic)
                          .take();
  EXPECT_EQ(s.explicit_bonds(), (Pairs{{0, 2}, {0, 2}}));  // a bond of an atom to itself is never listed
  EXPECT_EQ(list_of(s, 0), (std::vector<BondEntry>{{2, BondType::covalent_single}, {2, BondType::covalent_double}}));
  EXPECT_EQ(list_of(s, 2), (std::vector<BondEntry>{{0, BondType::covalent_single}, {0, BondType::covalent_double}}));
  EXPECT_EQ(list_of(s, 1), (std::vector<BondEntry>{{1, BondType::ionic}, {1, BondType::ionic}}));
}

TEST(StructConn, SelectorsFoldAsciiCaseOnTextsAndCompareNumbersExactly) {
  StructureBuilder b;
  b.atom("N", {0, 0, 0}).name("n").residue("ala", "a", 1);   // 0
  b.atom("C", {1, 0, 0}).name("CA");                           // 1: no chain, no comp, no seq
  b.atom("C", {2, 0, 0}).name("CA").residue("ALA", "A", 1);  // 2
  AtomSelector n_upper = label("A", 1, "N");
  n_upper.label_comp_id = "ALA";
  AtomSelector any_ca;
  any_ca.label_atom_id = "ca";
  AtomSelector ca_chain_a = label("A", 1, "CA");
  AtomSelector wrong_seq = label("A", 2, "CA");
  const AtomSelector anything;
  b.struct_conn(n_upper, ca_chain_a, std::nullopt);   // 0-2: case folded; atom 1 lacks a chain
  b.struct_conn(n_upper, any_ca, std::nullopt);       // 0-1: absent selector fields match anything
  b.struct_conn(anything, wrong_seq, std::nullopt);   // no atom has seq 2
  b.struct_conn(anything, ca_chain_a, std::nullopt);  // the empty selector takes the first atom
  const Structure s = b.take();
  EXPECT_EQ(s.explicit_bonds(), (Pairs{{0, 2}, {0, 1}, {0, 2}}));
}

TEST(StructConn, AuthFieldsMatchTheirOwnColumnsOnly) {
  StructureBuilder b;
  b.atom("C", {0, 0, 0}).name("C1").auth("B", 7);
  b.atom("C", {1, 0, 0}).name("C2").residue("LIG", "B", 7);
  AtomSelector by_auth;
  by_auth.auth_asym_id = "b";
  by_auth.auth_seq_id = 7;
  AtomSelector by_label;
  by_label.label_asym_id = "B";
  by_label.label_seq_id = 7;
  b.struct_conn(by_auth, by_label, std::nullopt);
  const Structure s = b.take();
  EXPECT_EQ(s.explicit_bonds(), (Pairs{{0, 1}}));
}

// Three alanines; the second and third are whole, the first has no CA when `first_whole` is false.
StructureBuilder three_alanines(bool first_whole) {
  StructureBuilder b;
  b.atom("N", {0, 0, 0}).name("N").residue("ALA", "A", 1);                    // 0
  if (first_whole) b.atom("C", {1, 0, 0}).name("CA").residue("ALA", "A", 1);  // 1
  for (int seq = 2; seq <= 3; ++seq) {
    b.atom("N", {4.0 * seq, 0, 0}).name("N").residue("ALA", "A", seq);
    b.atom("C", {4.0 * seq + 1, 0, 0}).name("CA").residue("ALA", "A", seq);
  }
  return b;
}

TEST(ChemCompBond, BondsOnlyTheFirstResidueOfTheComponent) {
  const Structure s = three_alanines(true).chem_comp_bond("ALA", "N", "CA", BondType::covalent_single).take();
  EXPECT_EQ(s.explicit_bonds(), (Pairs{{0, 1}}));
  EXPECT_EQ(list_of(s, 1), (std::vector<BondEntry>{{0, BondType::covalent_single}}));
}

TEST(ChemCompBond, NeverJoinsTwoResidues) {
  // The first alanine lacks its CA: the nearest match, the second residue's CA, is not taken.
  const Structure s = three_alanines(false).chem_comp_bond("ALA", "N", "CA", BondType::covalent_single).take();
  EXPECT_TRUE(s.explicit_bonds().empty());
  for (std::uint64_t i = 0; i < s.atom_count(); ++i) EXPECT_TRUE(list_of(s, i).empty()) << i;
}

TEST(ChemCompBond, SecondPartnerIsLookedForInThePartnersResidueOnly) {
  StructureBuilder b;
  b.atom("C", {0, 0, 0}).name("CB").residue("SER", "A", 2);             // 0: other residue, same name
  b.atom("C", {1, 0, 0}).name("CA").residue("SER", "A", 3);             // 1: partner 1
  b.atom("C", {2, 0, 0}).name("CB").residue("SER", "B", 3);             // 2: other chain
  b.atom("C", {3, 0, 0}).name("CB").residue("SER", "A", 3).model(2);    // 3: other model
  b.atom("C", {4, 0, 0}).name("CB").residue("SER", "A", 3);             // 4: same residue
  b.chem_comp_bond("ser", "ca", "cb", BondType::covalent_single);
  const Structure s = b.take();
  EXPECT_EQ(s.explicit_bonds(), (Pairs{{1, 4}}));
}

TEST(ChemCompBond, ResidueIdentityUsesTheAuthorFallbacks) {
  StructureBuilder b;
  b.atom("C", {0, 0, 0}).name("C1").comp("LIG").auth("C", 301);
  b.atom("C", {1, 0, 0}).name("C1").comp("LIG").auth("D", 301);
  b.atom("C", {2, 0, 0}).name("C2").comp("LIG").auth("D", 301);
  b.atom("C", {3, 0, 0}).name("C2").comp("LIG").auth("C", 301);
  b.chem_comp_bond("LIG", "C1", "C2", BondType::covalent_aromatic);
  const Structure s = b.take();
  EXPECT_EQ(s.explicit_bonds(), (Pairs{{0, 3}}));
}

TEST(ChemCompBond, StructConnRowsStillJoinResidues) {
  const Structure s =
      three_alanines(true).struct_conn(label("A", 1, "N"), label("A", 3, "CA"), BondType::covalent_single).take();
  EXPECT_EQ(s.explicit_bonds(), (Pairs{{0, 5}}));
}

TEST(BondGraphCache, BuiltOnceAndListsFollowRowOrder) {
  StructureBuilder b = three_alanines(true);
  b.struct_conn(label("A", 3, "CA"), label("A", 1, "N"), BondType::hydrogen_bond);
  b.chem_comp_bond("ALA", "CA", "N", std::nullopt);
  b.struct_conn(label("A", 2, "N"), label("A", 1, "N"), BondType::ionic);
  const Structure s = b.take();
  const BondGraph& first = s.bond_graph();
  EXPECT_EQ(&first, &s.bond_graph());
  EXPECT_EQ(list_of(s, 0),
            (std::vector<BondEntry>{{5, BondType::hydrogen_bond}, {1, std::nullopt}, {2, BondType::ionic}}));
  // Lower index first, then the order in which the lower atom's entries arrived.
  EXPECT_EQ(s.explicit_bonds(), (Pairs{{0, 5}, {0, 1}, {0, 2}}));
}

TEST(BondGraphCache, EmptyWithoutRowsOrAtoms) {
  const Structure none;
  EXPECT_EQ(none.bond_graph().size(), 0u);
  EXPECT_TRUE(none.explicit_bonds().empty());
  const Structure atoms_only = three_alanines(true).take();
  EXPECT_EQ(atoms_only.bond_graph().size(), 6u);
  EXPECT_EQ(atoms_only.bond_graph().entry_count(), 0u);
}

// The first atom with this label chain, sequence number and atom name (and comp id when given).
std::optional<std::uint64_t> find_atom(const Structure& s, std::string_view chain, std::optional<std::int32_t> seq,
                                       std::string_view name, std::string_view comp = {}) {
  for (std::uint64_t i = 0; i < s.atom_count(); ++i) {
    const AtomSite& a = s.atoms[i];
    if (a.label_asym_id.view() == chain && a.label_seq_id() == seq && a.label_atom_id.view() == name &&
        (comp.empty() || a.label_comp_id.view() == comp)) {
      return i;
    }
  }
  return std::nullopt;
}

std::vector<BondEntry> entries_to(const Structure& s, std::uint64_t from, std::uint64_t to) {
  std::vector<BondEntry> out;
  for (const BondEntry& e : s.bond_graph().neighbors(from)) {
    if (e.neighbor == to) out.push_back(e);
  }
  return out;
}

TEST(RealEntryBonds, DisulfidesOf1akiJoinTheirCysteineSulfurs) {
  std::optional<Structure> s;
  testing::load_entry("1aki.cif", &s);
  if (!s) return;
  const DistanceRule distance = DistanceRule::of(*s);
  const struct { std::int32_t a, b; double d; } rows[] = {{6, 127, 1.970}, {30, 115, 2.001}, {64, 80, 1.987}, {76, 94, 2.018}};
  const auto pairs = s->explicit_bonds();
  for (const auto& row : rows) {
    const auto i = find_atom(*s, "A", row.a, "SG"), j = find_atom(*s, "A", row.b, "SG");
    ASSERT_TRUE(i && j) << row.a;
    EXPECT_EQ(std::count(pairs.begin(), pairs.end(), std::make_pair(*i, *j)), 1) << row.a;
    EXPECT_EQ(entries_to(*s, *i, *j), (std::vector<BondEntry>{{*j, std::nullopt}})) << row.a;  // disulf: no type
    EXPECT_EQ(entries_to(*s, *j, *i), (std::vector<BondEntry>{{*i, std::nullopt}})) << row.a;
    EXPECT_NEAR(distance(*position_of(s->atoms[*i]), *position_of(s->atoms[*j])), row.d, 0.005) << row.a;
  }
}

TEST(RealEntryBonds, ComponentRowsOf1akiStayInsideTheFirstResidue) {
  std::optional<Structure> s;
  testing::load_entry("1aki.cif", &s);
  if (!s) return;
  // The row "ALA N CA sing" bonds the N and CA of the first alanine.
  std::uint64_t n = 0;
  while (s->atoms[n].label_comp_id.view() != "ALA" || s->atoms[n].label_atom_id.view() != "N") ++n;
  const auto ca = find_atom(*s, chain_of(s->atoms[n]).value(), seq_of(s->atoms[n]), "CA", "ALA");
  ASSERT_TRUE(ca);
  EXPECT_EQ(entries_to(*s, n, *ca), (std::vector<BondEntry>{{*ca, BondType::covalent_single}}));
  // No other alanine gets that bond from the component table.
  for (std::uint64_t i = n + 1; i < s->atom_count(); ++i) {
    if (s->atoms[i].label_comp_id.view() == "ALA" && s->atoms[i].label_atom_id.view() == "N") {
      for (const BondEntry& e : s->bond_graph().neighbors(i)) EXPECT_NE(s->atoms[e.neighbor].label_atom_id.view(), "CA");
    }
  }
  // Every declared bond is a disulfide or lies inside one residue, and all are covalent lengths.
  const DistanceRule distance = DistanceRule::of(*s);
  std::size_t within = 0;
  for (const auto& [i, j] : s->explicit_bonds()) {
    const AtomSite& a = s->atoms[i];
    const AtomSite& b = s->atoms[j];
    const bool disulfide = a.label_atom_id.view() == "SG" && b.label_atom_id.view() == "SG";
    EXPECT_TRUE(disulfide || (seq_of(a) == seq_of(b) && chain_of(a) == chain_of(b) && a.label_comp_id == b.label_comp_id))
        << i << " " << j;
    EXPECT_LT(distance(*position_of(a), *position_of(b)), 2.1) << i << " " << j;
    within += !disulfide;
  }
  EXPECT_GT(within, 20u);
}

// Resolves each _struct_conn row of `file` on its own and compares the distance of the two atoms it
// names with the distance the file records for it (or, for rows without one, a hydrogen bond's).
void expect_rows_at_recorded_distances(const std::string& file, std::size_t expected_rows) {
  std::optional<Structure> whole;
  testing::load_entry(file, &whole);
  if (!whole) return;
  std::size_t rows = 0;
  for (const BondRecord& record : whole->bonds) {
    if (record.from_chem_comp) continue;
    ++rows;
    std::optional<Structure> one;
    testing::load_entry(file, &one);
    if (!one) return;
    one->bonds.clear();
    one->bonds.push_back(record);
    const auto pairs = one->explicit_bonds();
    ASSERT_EQ(pairs.size(), 1u) << file << " row " << rows;
    const auto [i, j] = pairs[0];
    const double d = DistanceRule::of(*one)(*position_of(one->atoms[i]), *position_of(one->atoms[j]));
    if (record.distance) {
      EXPECT_NEAR(d, *record.distance, 0.006) << file << " row " << rows << ": " << i << " " << j;
    } else {
      EXPECT_LT(d, 3.5) << file << " row " << rows << ": " << i << " " << j;  // hydrogen bonds list none
    }
  }
  EXPECT_EQ(rows, expected_rows) << file;
}

TEST(RealEntryBonds, StructConnRowsNameAtomsAtTheirRecordedDistance) {
  expect_rows_at_recorded_distances("1aki.cif", 4);
  expect_rows_at_recorded_distances("4p5j.cif", 97);
  expect_rows_at_recorded_distances("1bna.cif", 32);
  // NMR models in the 1 Å placeholder cell: folded, the disulfides would be under 0.9 Å.
  expect_rows_at_recorded_distances("1as5.cif.gz", 9);
}

TEST(RealEntryBonds, MetalRowsOf4p5jBindEachWaterOnce) {
  std::optional<Structure> s;
  testing::load_entry("4p5j.cif", &s);
  if (!s) return;
  // MG 101 (author numbering) coordinates several waters named by author number only.
  std::optional<std::uint64_t> mg;
  for (std::uint64_t i = 0; i < s->atom_count() && !mg; ++i) {
    const AtomSite& a = s->atoms[i];
    if (a.label_comp_id.view() == "MG" && a.auth_seq_id() == 101) mg = i;
  }
  ASSERT_TRUE(mg);
  std::vector<std::int32_t> waters;
  for (const BondEntry& e : s->bond_graph().neighbors(*mg)) {
    EXPECT_EQ(e.bond_type, BondType::metallic);
    const AtomSite& partner = s->atoms[e.neighbor];
    if (partner.label_comp_id.view() == "HOH") waters.push_back(partner.auth_seq_id().value());
  }
  std::sort(waters.begin(), waters.end());
  EXPECT_GE(waters.size(), 4u);
  EXPECT_EQ(std::adjacent_find(waters.begin(), waters.end()), waters.end());
  EXPECT_TRUE(std::binary_search(waters.begin(), waters.end(), 224));
  EXPECT_TRUE(std::binary_search(waters.begin(), waters.end(), 229));
}

// Large structures resolve rows through the atoms of each named atom; the result must be the graph
// of the scan per row. Copies of real entries give many atoms per name, and extra rows with random
// selectors (names in any case, by label or author columns only, missing atoms, component rows
// whose first residue lacks the second atom) reach the corners of the matching rules.
TEST(RealEntryBonds, ResolutionByAtomNameEqualsTheScanPerRow) {
  std::mt19937_64 rng(11);
  for (const char* file : {"1aki.cif", "4p5j.cif", "3o5r.cif.gz", "1pfe.cif.gz"}) {
    std::optional<Structure> s;
    testing::load_entry(file, &s);
    if (!s) return;
    Structure copies;  // texts of the copies stay in the entry's arena, which outlives them
    for (int k = 0; k < 8; ++k) {
      for (const AtomSite& atom : s->atoms) copies.atoms.push_back(atom);
    }
    for (const BondRecord& bond : s->bonds) copies.bonds.push_back(bond);
    const char* names[] = {"CA", "ca", "N", "SG", "O", "OXT", "C1'", "P", "ZZ", "MG"};
    for (int k = 0; k < 300; ++k) {
      const AtomSite& a = copies.atoms[rng() % copies.atom_count()];
      const AtomSite& b = copies.atoms[rng() % copies.atom_count()];
      AtomSelector p1, p2;
      p1.label_atom_id = std::string(k % 5 ? a.label_atom_id.view() : names[rng() % 10]);
      if (k % 3) p1.label_comp_id = std::string(a.label_comp_id.view());
      if (k % 4 == 1) p1.label_seq_id = seq_of(a);
      if (k % 7 == 2) {
        p2.auth_atom_id = std::string(b.auth_atom_id.view());
      } else {
        p2.label_atom_id = std::string(k % 6 ? b.label_atom_id.view() : names[rng() % 10]);
      }
      if (k % 2) p2.label_comp_id = std::string(b.label_comp_id.view());
      if (k % 9 == 4) p2.label_asym_id = std::string(b.label_asym_id.view());
      const bool component = k % 2 == 0;
      copies.bonds.push_back(BondRecord{std::nullopt, p1, p2, std::nullopt, std::nullopt, component, BondType::unknown});
    }
    const BondGraph scan = exhaustive::bond_graph(copies);
    const BondGraph& graph = copies.bond_graph();
    ASSERT_EQ(graph.size(), scan.size()) << file;
    EXPECT_EQ(graph.entry_count(), scan.entry_count()) << file;
    for (std::uint64_t i = 0; i < graph.size(); ++i) {
      ASSERT_TRUE(std::equal(graph.neighbors(i).begin(), graph.neighbors(i).end(), scan.neighbors(i).begin(),
                             scan.neighbors(i).end()))
          << file << " atom " << i;
    }
  }
}

}  // namespace
}  // namespace quarn
