// Atom-site rows: which columns fill which fields, the later column of a header winning, the
// stored forms of texts and numbers, and the messages of bad values.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "reader_checks.hpp"

namespace quarn {
namespace {

// A one-loop text: the given _atom_site columns (without the prefix) and rows.
std::string loop(std::initializer_list<std::string_view> columns, std::string_view rows) {
  std::string text = "loop_\n";
  for (const std::string_view c : columns) text.append("_atom_site.").append(c).append("\n");
  text.append(rows).append("\n");
  return text;
}

Structure parsed(const std::string& text) {
  auto r = testing::parse_everyway(text, true);
  EXPECT_TRUE(r) << (r ? "" : r.error().display()) << "\n" << text;
  return r ? std::move(*r) : Structure();
}

std::string failure(const std::string& text) {
  const auto r = testing::parse_everyway(text, true);
  return r ? "ok" : r.error().display();
}

TEST(AtomSite, EveryColumnFillsItsField) {
  const Structure s = parsed(loop({"group_PDB", "id", "type_symbol", "label_atom_id", "label_alt_id", "label_comp_id",
                                   "label_asym_id", "label_entity_id", "label_seq_id", "pdbx_PDB_ins_code", "Cartn_x",
                                   "Cartn_y", "Cartn_z", "occupancy", "B_iso_or_equiv", "pdbx_formal_charge",
                                   "auth_seq_id", "auth_comp_id", "auth_asym_id", "auth_atom_id", "pdbx_PDB_model_num"},
                                  "HETATM 1234 Se SE1 A MSE B 2 17 ? 12.345(6) -1.5 7 0.50 22.28 -1 117 MSE C SE2 3"));
  ASSERT_EQ(s.atom_count(), 1u);
  const AtomSite& a = s.atoms[0];
  EXPECT_EQ(a.id.view(), "1234");
  EXPECT_EQ(a.type_symbol.view(), "SE");
  EXPECT_EQ(a.label_atom_id.view(), "SE1");
  EXPECT_EQ(a.auth_atom_id.view(), "SE2");
  EXPECT_EQ(a.label_alt_id.view(), "A");
  EXPECT_EQ(a.label_comp_id.view(), "MSE");
  EXPECT_EQ(a.label_asym_id.view(), "B");
  EXPECT_EQ(a.auth_asym_id.view(), "C");
  EXPECT_EQ(a.label_seq_id(), 17);
  EXPECT_EQ(a.auth_seq_id(), 117);
  EXPECT_EQ(a.x(), 12.345);
  EXPECT_EQ(a.y(), -1.5);
  EXPECT_EQ(a.z(), 7.0);
  EXPECT_EQ(a.occupancy(), 0.5);
  EXPECT_EQ(a.b_factor(), 22.28);
  EXPECT_EQ(a.formal_charge(), -1);
  EXPECT_EQ(a.model_num(), 3);
  EXPECT_EQ(chain_of(a), "B");
  EXPECT_EQ(seq_of(a), 17);
}

TEST(AtomSite, NullValuesLeaveFieldsAbsent) {
  const Structure s = parsed(loop({"id", "type_symbol", "label_seq_id", "Cartn_x", "Cartn_y", "Cartn_z",
                                   "pdbx_formal_charge", "auth_asym_id", "auth_seq_id"},
                                  "? . ? 1 2 ? ? A 5\n'.' '?' '' . ? 3 '  ' \" \" ' 7 '"));
  ASSERT_EQ(s.atom_count(), 2u);
  const AtomSite& a = s.atoms[0];
  EXPECT_FALSE(a.id.present());
  EXPECT_FALSE(a.type_symbol.present());
  EXPECT_FALSE(a.label_seq_id());
  EXPECT_EQ(a.x(), 1.0);
  EXPECT_FALSE(a.z());
  EXPECT_FALSE(position_of(a));
  EXPECT_FALSE(a.formal_charge());
  EXPECT_EQ(chain_of(a), "A");  // only auth ids: they stand in
  EXPECT_EQ(seq_of(a), 5);
  const AtomSite& b = s.atoms[1];
  EXPECT_FALSE(b.id.present());
  EXPECT_FALSE(b.x());
  EXPECT_EQ(b.z(), 3.0);
  EXPECT_FALSE(b.auth_asym_id.present());
  EXPECT_EQ(b.auth_seq_id(), 7);
}

TEST(AtomSite, TextsAndNumbersAreTrimmedAndTypeSymbolsUpperCased) {
  const Structure s = parsed(loop({"type_symbol", "label_atom_id", "label_comp_id"},
                                  "' fe ' \" O5' \" 'LONG COMPONENT NAME'\nSe\xC3\xA9 \xC2\xA0" "CA\xC2\xA0 x"));
  EXPECT_EQ(s.atoms[0].type_symbol.view(), "FE");
  EXPECT_EQ(s.atoms[0].label_atom_id.view(), "O5'");
  EXPECT_EQ(s.atoms[0].label_comp_id.view(), "LONG COMPONENT NAME");  // beyond the inline size
  EXPECT_EQ(s.atoms[1].type_symbol.view(), "SE\xC3\xA9");              // only a-z change
  EXPECT_EQ(s.atoms[1].label_atom_id.view(), "CA");
  // Bare numbers padded with White_Space beyond ASCII, and a null form padded so.
  const Structure n = parsed(loop({"Cartn_x", "auth_seq_id", "occupancy", "label_seq_id"},
                                  "\xC2\xA0" "2.5 8\xE3\x80\x80 \xC2\xA0.\xC2\xA0 -3"));
  EXPECT_EQ(n.atoms[0].x(), 2.5);
  EXPECT_EQ(n.atoms[0].auth_seq_id(), 8);
  EXPECT_FALSE(n.atoms[0].occupancy());
  EXPECT_EQ(n.atoms[0].label_seq_id(), -3);
  const std::string long_symbol(100, 'q');
  const Structure t = parsed(loop({"type_symbol"}, long_symbol));
  EXPECT_EQ(t.atoms[0].type_symbol.view(), std::string(100, 'Q'));
}

TEST(AtomSite, TheLaterColumnOfAHeaderWins) {
  // alt_id after label_alt_id wins, also with a null value.
  Structure s = parsed(loop({"label_alt_id", "alt_id"}, "A .\nB C"));
  EXPECT_FALSE(s.atoms[0].label_alt_id.present());
  EXPECT_EQ(s.atoms[1].label_alt_id.view(), "C");
  s = parsed(loop({"alt_id", "label_alt_id"}, "A ?"));
  EXPECT_FALSE(s.atoms[0].label_alt_id.present());
  s = parsed(loop({"Cartn_x", "Cartn_x", "auth_seq_id", "auth_seq_id"}, "1.0 2.0 3 ?"));
  EXPECT_EQ(s.atoms[0].x(), 2.0);
  EXPECT_FALSE(s.atoms[0].auth_seq_id());
  // An earlier bad value still fails, though a later column would overwrite it.
  EXPECT_EQ(failure(loop({"Cartn_x", "Cartn_x"}, "bad 2.0")),
            "invalid numeric literal: invalid numeric literal 'bad' for _atom_site.Cartn_x");
}

TEST(AtomSite, ColumnsMatchWithExactCase) {
  const Structure s = parsed("loop_ _atom_site.CARTN_X _atom_site.Cartn_y _ATOM_SITE.cartn_z _atom_site.ID 1 2 3 4");
  EXPECT_FALSE(s.atoms[0].x());
  EXPECT_EQ(s.atoms[0].y(), 2.0);
  EXPECT_FALSE(s.atoms[0].z());
  EXPECT_FALSE(s.atoms[0].id.present());
}

TEST(AtomSite, RowsAreNeverFilteredOrMerged) {
  const Structure s = parsed(loop({"id", "label_alt_id", "pdbx_PDB_model_num", "Cartn_x"},
                                  "1 A 1 1.0\n1 B 1 1.0\n1 A 2 1.0\n1 A 2 1.0") +
                             loop({"id"}, "9"));
  ASSERT_EQ(s.atom_count(), 5u);
  EXPECT_EQ(s.atoms[1].label_alt_id.view(), "B");
  EXPECT_EQ(s.atoms[3].model_num(), 2);
  EXPECT_EQ(s.atoms[4].id.view(), "9");
}

TEST(AtomSite, NumberMessages) {
  const auto x = [](std::string_view v) { return failure(loop({"Cartn_x"}, v)); };
  const auto seq = [](std::string_view v) { return failure(loop({"auth_seq_id"}, v)); };
  EXPECT_EQ(x("(6)"), "invalid numeric literal: invalid numeric literal '' for _atom_site.Cartn_x");
  EXPECT_EQ(x("1.2.3"), "invalid numeric literal: invalid numeric literal '1.2.3' for _atom_site.Cartn_x");
  EXPECT_EQ(x("' 1.5 (3) '"), "invalid numeric literal: invalid numeric literal '1.5 ' for _atom_site.Cartn_x");
  EXPECT_EQ(x("1,0(2)"), "invalid numeric literal: invalid numeric literal '1,0' for _atom_site.Cartn_x");
  EXPECT_EQ(failure(loop({"Cartn_y"}, "abc")), "invalid numeric literal: invalid numeric literal 'abc' for _atom_site.Cartn_y");
  for (const char* bad : {"12.0", "1e3", "-", "2147483648", "12(3)"}) {
    EXPECT_EQ(seq(std::string("' ") + bad + " '"),
              std::string("invalid numeric literal: invalid integer literal '") + bad + "' for _atom_site.auth_seq_id");
  }
  EXPECT_EQ(failure(loop({"pdbx_formal_charge"}, "+1.")),
            "invalid numeric literal: invalid integer literal '+1.' for _atom_site.pdbx_formal_charge");
  // Accepted forms.
  const Structure s = parsed(loop({"occupancy", "auth_seq_id", "pdbx_formal_charge"},
                                  "1.0e0 +12 -1\n1E0 -0 +0\n+1. 2147483647 ?\n.5 -2147483648 0\nnan 0 0\n-INF 0 0"));
  EXPECT_EQ(s.atoms[0].occupancy(), 1.0);
  EXPECT_EQ(s.atoms[0].auth_seq_id(), 12);
  EXPECT_EQ(s.atoms[0].formal_charge(), -1);
  EXPECT_EQ(s.atoms[2].auth_seq_id(), 2147483647);
  EXPECT_FALSE(s.atoms[2].formal_charge());
  EXPECT_EQ(s.atoms[3].occupancy(), 0.5);
  EXPECT_EQ(s.atoms[3].auth_seq_id(), -2147483647 - 1);
  EXPECT_TRUE(std::isnan(*s.atoms[4].occupancy()));
  EXPECT_EQ(s.atoms[5].occupancy(), -HUGE_VAL);
}

TEST(AtomSite, TagsInMessagesAreTheLoopsOwn) {
  // The message names the column's tag as written, found again in the text: quoted tags, text
  // fields and a tag far down a long header all come back as they were.
  EXPECT_EQ(failure("loop_ _atom_site.id '_atom_site.Cartn_x' 1 x"),
            "invalid numeric literal: invalid numeric literal 'x' for _atom_site.Cartn_x");
  EXPECT_EQ(failure("loop_\n;_atom_site.id\n;\n;_atom_site.label_seq_id\n;\n1 1.5"),
            "invalid numeric literal: invalid integer literal '1.5' for _atom_site.label_seq_id");
  std::string header = "data_x loop_ _a.b 1\nloop_\n";
  std::string row;
  for (int i = 0; i < 2000; ++i) {
    header += "_atom_site.other" + std::to_string(i) + " ";
    row += "v ";
  }
  EXPECT_EQ(failure(header + "_atom_site.B_iso_or_equiv\n" + row + "1\n" + row + "oops"),
            "invalid numeric literal: invalid numeric literal 'oops' for _atom_site.B_iso_or_equiv");
}

}  // namespace
}  // namespace quarn
