// Explicit bonds: how _struct_conn and _chem_comp_bond rows resolve into the per-atom bond graph.
#include <gtest/gtest.h>

#include <vector>

#include "builder.hpp"
#include "quarn/bond_graph.hpp"
#include "quarn/structure.hpp"

namespace quarn {
namespace {

using test::label;
using test::StructureBuilder;
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

TEST(BondGraphLayout, AppendingKeepsOwnEntriesFirstAndExtraBondsInOrder) {
  const std::vector<BondGraph::Bond> own = {{0, 2, BondType::covalent_single}, {1, 1, std::nullopt}};
  const BondGraph g = BondGraph::from_bonds(4, own);
  const std::vector<BondGraph::Bond> extra = {{2, 3, BondType::covalent_unknown}, {0, 3, BondType::covalent_unknown}};
  const BondGraph h = g.with_appended(extra);
  const auto list = [](const BondGraph& graph, std::uint64_t i) {
    return std::vector<BondEntry>(graph.neighbors(i).begin(), graph.neighbors(i).end());
  };
  EXPECT_EQ(list(h, 0), (std::vector<BondEntry>{{2, BondType::covalent_single}, {3, BondType::covalent_unknown}}));
  EXPECT_EQ(list(h, 1), (std::vector<BondEntry>{{1, std::nullopt}, {1, std::nullopt}}));
  EXPECT_EQ(list(h, 2), (std::vector<BondEntry>{{0, BondType::covalent_single}, {3, BondType::covalent_unknown}}));
  EXPECT_EQ(list(h, 3), (std::vector<BondEntry>{{2, BondType::covalent_unknown}, {0, BondType::covalent_unknown}}));
  EXPECT_EQ(h.entry_count(), 8u);
  EXPECT_EQ(list(g, 3).size(), 0u);  // the original is untouched
}

}  // namespace
}  // namespace quarn
