// The categories besides the atoms: entry, title and space group items, the unit cell and its checks,
// and the bond rows of _struct_conn and _chem_comp_bond with their type maps.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "reader_checks.hpp"

namespace quarn {
namespace {

constexpr std::string_view kAtoms = "\nloop_ _atom_site.id 1\n";

Structure parsed(std::string_view text) {
  auto r = testing::parse_everyway(std::string(text) + std::string(kAtoms), true);
  EXPECT_TRUE(r) << (r ? "" : r.error().display()) << "\n" << text;
  return r ? std::move(*r) : Structure();
}

std::string failure(std::string_view text) {
  const auto r = testing::parse_everyway(std::string(text) + std::string(kAtoms), true);
  return r ? "ok" : r.error().display();
}

std::string cell(std::string_view a, std::string_view b, std::string_view c, std::string_view alpha,
                 std::string_view beta, std::string_view gamma) {
  std::string t;
  t.append("_cell.length_a ").append(a).append("\n_cell.length_b ").append(b).append("\n_cell.length_c ").append(c);
  t.append("\n_cell.angle_alpha ").append(alpha).append("\n_cell.angle_beta ").append(beta);
  t.append("\n_cell.angle_gamma ").append(gamma).append("\n");
  return t;
}

TEST(SingleItems, EntryTitleAndSpaceGroup) {
  const Structure s = parsed("data_1ABC _struct.title ' A title ' _symmetry.space_group_name_H-M 'P 21 21 21'");
  EXPECT_EQ(s.entry_id, "1ABC");
  EXPECT_EQ(s.title, "A title");
  EXPECT_EQ(s.space_group, "P 21 21 21");
  // The last occurrence wins; a null value clears.
  const Structure t = parsed("_struct.title A _struct.title B _symmetry.space_group_name_H-M P1 "
                             "_symmetry.space_group_name_H-M ?");
  EXPECT_EQ(t.title, "B");
  EXPECT_EQ(t.space_group, std::nullopt);
  // Exact case only, and never inside a loop.
  const Structure u = parsed("_ENTRY.ID X _Struct.title Y loop_ _entry.id _struct.title Z W");
  EXPECT_EQ(u.entry_id, std::nullopt);
  EXPECT_EQ(u.title, std::nullopt);
  // Other space group items are not read.
  EXPECT_EQ(parsed("_symmetry.space_group_name_Hall 'P 2ac 2ab'").space_group, std::nullopt);
}

TEST(UnitCell, CompleteAndValid) {
  const Structure s = parsed(cell("10.5(2)", "20", "30.25", "90", "90.0", "120"));
  ASSERT_TRUE(s.cell);
  EXPECT_EQ(*s.cell, (UnitCell{10.5, 20, 30.25, 90, 90, 120}));
  EXPECT_FALSE(parsed("").cell);
  // Repeated items: the later value; a loop of _cell items is no cell at all.
  EXPECT_EQ(parsed(cell("1", "1", "1", "90", "90", "90") + "_cell.length_a 7").cell->a, 7.0);
  EXPECT_FALSE(parsed("loop_ _cell.length_a _cell.length_b 1 2").cell);
  EXPECT_FALSE(parsed("_CELL.LENGTH_A 1").cell);
}

TEST(UnitCell, Failures) {
  EXPECT_EQ(failure("_cell.length_a ?"), "numeric value missing: required numeric value missing for _cell.length_a");
  EXPECT_EQ(failure("_cell.angle_beta '.'"), "numeric value missing: required numeric value missing for _cell.angle_beta");
  EXPECT_EQ(failure("_cell.length_b 1,5(3)"), "invalid numeric literal: invalid float '1,5' for _cell.length_b");
  EXPECT_EQ(failure("_cell.length_a 1 _cell.length_b 2 _cell.length_c 3"),
            "numeric value missing: partial unit cell definition encountered");
  EXPECT_EQ(failure(cell("1", "1", "1", "90", "180", "90")), "invalid numeric literal: unit cell angles must be within (0, 180)");
  EXPECT_EQ(failure(cell("1", "1", "1", "0", "90", "90")), "invalid numeric literal: unit cell angles must be within (0, 180)");
  EXPECT_EQ(failure(cell("1", "1", "0", "90", "180", "90")), "invalid numeric literal: unit cell lengths must be positive");
  EXPECT_EQ(failure(cell("-1", "1", "1", "90", "90", "90")), "invalid numeric literal: unit cell lengths must be positive");
  EXPECT_EQ(failure(cell("nan", "1", "1", "90", "90", "90")), "invalid numeric literal: unit cell lengths must be positive");
  EXPECT_EQ(failure(cell("1", "1", "1", "90", "nan", "90")), "invalid numeric literal: unit cell angles must be within (0, 180)");
  EXPECT_EQ(failure(cell("inf", "1", "1", "90", "90", "179.9")), "ok");
  // The cell is judged before the atoms are required.
  const auto r = testing::parse_everyway("_cell.length_a 1", true);
  EXPECT_EQ(r.error().message, "partial unit cell definition encountered");
}

TEST(StructConn, RowsBecomeBondRecords) {
  const Structure s = parsed(
      "loop_\n_struct_conn.id\n_struct_conn.conn_type_id\n_struct_conn.ptnr1_label_asym_id\n"
      "_struct_conn.ptnr1_label_comp_id\n_struct_conn.ptnr1_label_seq_id\n_struct_conn.ptnr1_label_atom_id\n"
      "_struct_conn.ptnr1_auth_asym_id\n_struct_conn.ptnr1_auth_seq_id\n_struct_conn.ptnr1_auth_atom_id\n"
      "_struct_conn.ptnr2_label_asym_id\n_struct_conn.ptnr2_label_comp_id\n_struct_conn.ptnr2_label_seq_id\n"
      "_struct_conn.ptnr2_label_atom_id\n_struct_conn.ptnr2_auth_asym_id\n_struct_conn.ptnr2_auth_seq_id\n"
      "_struct_conn.ptnr2_auth_atom_id\n_struct_conn.pdbx_dist_value\n_struct_conn.pdbx_value_order\n"
      "covale1 covale A LYS 1 NZ B 101 NZ2 C GLY 2 C D 102 C2 1.33 sing\n"
      "disulf1 disulf A CYS 6 SG A 6 SG A CYS 127 SG A 127 SG 2.1(1) ?\n"
      "hydrog1 hydrog . . . . . . . . . . . . ? ? ? doub\n");
  ASSERT_EQ(s.bonds.size(), 3u);
  const BondRecord& b = s.bonds[0];
  EXPECT_EQ(b.distance, 1.33);
  EXPECT_EQ(b.conn_type, "covale");
  EXPECT_EQ(b.bond_type, BondType::covalent_unknown);
  EXPECT_FALSE(b.from_chem_comp);
  EXPECT_EQ(b.value_order, std::nullopt);  // pdbx_value_order is not read
  EXPECT_EQ(b.partner1, (AtomSelector{"NZ", "LYS", "A", "NZ2", "B", 1, 101}));
  EXPECT_EQ(b.partner2, (AtomSelector{"C", "GLY", "C", "C2", "D", 2, 102}));
  EXPECT_EQ(s.bonds[1].distance, 2.1);
  EXPECT_EQ(s.bonds[1].bond_type, std::nullopt);  // disulf maps to no type
  EXPECT_EQ(s.bonds[2].bond_type, BondType::hydrogen_bond);
  EXPECT_EQ(s.bonds[2].distance, std::nullopt);
  EXPECT_EQ(s.bonds[2].partner1, AtomSelector{});
}

TEST(StructConn, ColumnsInAnyCaseAndTheirMessages) {
  const Structure s = parsed("loop_ _STRUCT_CONN.CONN_TYPE_ID _Struct_Conn.PTNR1_AUTH_SEQ_ID metalc 5");
  ASSERT_EQ(s.bonds.size(), 1u);
  EXPECT_EQ(s.bonds[0].bond_type, BondType::metallic);
  EXPECT_EQ(s.bonds[0].partner1.auth_seq_id, 5);
  EXPECT_EQ(failure("loop_ _struct_conn.id _struct_conn.ptnr1_auth_seq_id a 12A"),
            "invalid numeric literal: invalid integer '12A' for _struct_conn.ptnr1_auth_seq_id");
  EXPECT_EQ(failure("loop_ _struct_conn.id _STRUCT_CONN.PTNR2_LABEL_SEQ_ID a ' 1.0 '"),
            "invalid numeric literal: invalid integer '1.0' for _STRUCT_CONN.PTNR2_LABEL_SEQ_ID");
  EXPECT_EQ(failure("loop_ _struct_conn.id _Struct_Conn.Pdbx_Dist_Value a 2..1(3)"),
            "invalid numeric literal: invalid numeric literal '2..1' for _Struct_Conn.Pdbx_Dist_Value");
  // A bad row ends the read; a good loop before it changes nothing.
  EXPECT_EQ(failure("loop_ _struct_conn.pdbx_dist_value 1.0 2.0 x"),
            "invalid numeric literal: invalid numeric literal 'x' for _struct_conn.pdbx_dist_value");
}

TEST(StructConn, ConnTypeMap) {
  const auto type = [](std::string_view conn) {
    const Structure s = parsed("loop_ _struct_conn.conn_type_id '" + std::string(conn) + "'");
    EXPECT_EQ(s.bonds.size(), 1u);
    return s.bonds.empty() ? std::nullopt : s.bonds[0].bond_type;
  };
  EXPECT_EQ(type("hydrog"), BondType::hydrogen_bond);
  EXPECT_EQ(type("metalc"), BondType::metallic);
  EXPECT_EQ(type("covale"), BondType::covalent_unknown);
  EXPECT_EQ(type("covale_base"), BondType::covalent_unknown);
  EXPECT_EQ(type("covale_phosphate"), BondType::covalent_unknown);
  EXPECT_EQ(type("covale_sugar"), BondType::covalent_unknown);
  EXPECT_EQ(type("  ionic "), BondType::ionic);
  EXPECT_EQ(type("xhydionmetal"), BondType::hydrogen_bond);  // the first in the list decides
  EXPECT_EQ(type("metal_ion"), BondType::ionic);
  for (const char* none : {"disulf", "saltbr", "mismat", "modres", "hy d", "?"}) EXPECT_EQ(type(none), std::nullopt) << none;
}

TEST(ChemCompBond, RowsAndTheValueOrderMap) {
  const Structure s = parsed(
      "loop_ _chem_comp_bond.comp_id _chem_comp_bond.atom_id_1 _chem_comp_bond.atom_id_2 _chem_comp_bond.value_order\n"
      "ALA N CA SING\nPHE CG CD1 arom\nX A B 5\nX A B ?\nX A B ' doub '\nX A B pi\nX A B delocalized\n"
      "X A B Quadruple\nX A B partial\nX A B ion\nX A B coord\nX A B 3\nX A B ''\n");
  ASSERT_EQ(s.bonds.size(), 13u);
  const BondRecord& b = s.bonds[0];
  EXPECT_TRUE(b.from_chem_comp);
  EXPECT_EQ(b.partner1, (AtomSelector{"N", "ALA", {}, {}, {}, {}, {}}));
  EXPECT_EQ(b.partner2, (AtomSelector{"CA", "ALA", {}, {}, {}, {}, {}}));
  EXPECT_EQ(b.value_order, "SING");
  EXPECT_EQ(b.distance, std::nullopt);
  EXPECT_EQ(b.conn_type, std::nullopt);
  const std::optional<BondType> expected[] = {
      BondType::covalent_single,  BondType::covalent_aromatic, std::nullopt,          std::nullopt,
      BondType::covalent_double,  BondType::covalent_double,   BondType::covalent_aromatic,
      BondType::covalent_unknown, BondType::covalent_unknown,  BondType::ionic,       BondType::metallic,
      BondType::covalent_triple,  std::nullopt};
  for (std::size_t i = 0; i < 13; ++i) EXPECT_EQ(s.bonds[i].bond_type, expected[i]) << i;
}

TEST(ChemCompBond, ComponentColumnsOverwriteInHeaderOrder) {
  const Structure s = parsed("loop_ _chem_comp_bond.comp_id _chem_comp_bond.comp_id_2 _chem_comp_bond.atom_id_1 "
                             "ALA GLY N\nloop_ _chem_comp_bond.comp_id_1 _chem_comp_bond.comp_id X Y");
  ASSERT_EQ(s.bonds.size(), 2u);
  EXPECT_EQ(s.bonds[0].partner1.label_comp_id, "ALA");
  EXPECT_EQ(s.bonds[0].partner2.label_comp_id, "GLY");
  EXPECT_EQ(s.bonds[1].partner1.label_comp_id, "Y");
  EXPECT_EQ(s.bonds[1].partner2.label_comp_id, "Y");
}

TEST(ChemCompBond, AKnownOrderStaysWhenALaterColumnHasNone) {
  // The map runs on each stored value order and once more on the finished row; a miss changes nothing.
  const Structure s = parsed("loop_ _chem_comp_bond.value_order _chem_comp_bond.value_order SING ?\nDOUB 5");
  ASSERT_EQ(s.bonds.size(), 2u);
  EXPECT_EQ(s.bonds[0].value_order, std::nullopt);
  EXPECT_EQ(s.bonds[0].bond_type, BondType::covalent_single);
  EXPECT_EQ(s.bonds[1].value_order, "5");
  EXPECT_EQ(s.bonds[1].bond_type, BondType::covalent_double);
}

TEST(Bonds, RowsOfBothCategoriesInterleaveInFileOrder) {
  const Structure s = parsed("loop_ _struct_conn.conn_type_id covale hydrog\n"
                             "loop_ _chem_comp_bond.value_order sing\n"
                             "loop_ _struct_conn.conn_type_id metalc\n");
  ASSERT_EQ(s.bonds.size(), 4u);
  EXPECT_EQ(s.bonds[0].conn_type, "covale");
  EXPECT_EQ(s.bonds[1].conn_type, "hydrog");
  EXPECT_EQ(s.bonds[2].value_order, "sing");
  EXPECT_EQ(s.bonds[3].conn_type, "metalc");
}

}  // namespace
}  // namespace quarn
