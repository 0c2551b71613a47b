// The statement walk: data blocks, single items, loops and their classification, value counting,
// the end of the text, and which error wins when a text has several.
#include <gtest/gtest.h>

#include <string>

#include "reader_checks.hpp"

namespace quarn {
namespace {

// The display text of the error, or "ok".
std::string failure(std::string_view text, bool atoms_required = true) {
  const auto r = testing::parse_everyway(text, atoms_required);
  return r ? "ok" : r.error().display();
}

Structure parsed(std::string_view text, bool atoms_required = true) {
  auto r = testing::parse_everyway(text, atoms_required);
  EXPECT_TRUE(r) << (r ? "" : r.error().display());
  return r ? std::move(*r) : Structure();
}

constexpr std::string_view kAtoms = "loop_\n_atom_site.id\n_atom_site.Cartn_x\n1 1.0\n2 2.0\n";

std::string with_atoms(std::string_view rest) { return std::string(rest) + "\n" + std::string(kAtoms); }

TEST(StatementWalk, TextsWithoutAtomRows) {
  EXPECT_EQ(failure(""), "_atom_site loop missing: _atom_site loop missing");
  EXPECT_EQ(failure("# only a comment\n"), "_atom_site loop missing: _atom_site loop missing");
  EXPECT_EQ(failure("loop_ _atom_site.id _atom_site.Cartn_x"), "_atom_site loop missing: _atom_site loop missing");
  EXPECT_EQ(failure("_atom_site.id 1 _atom_site.Cartn_x 2.0"), "_atom_site loop missing: _atom_site loop missing");
  EXPECT_EQ(failure("", false), "ok");
  EXPECT_EQ(parsed("data_x _entry.id 1ABC", false).entry_id, "1ABC");
}

TEST(StatementWalk, DataBlocksAndEntryIds) {
  EXPECT_EQ(parsed(with_atoms("data_1ABC")).entry_id, "1ABC");
  EXPECT_EQ(parsed(with_atoms("data_")).entry_id, "");              // present and empty
  EXPECT_EQ(parsed(with_atoms("")).entry_id, std::nullopt);
  EXPECT_EQ(parsed(with_atoms("DATA_x")).entry_id, std::nullopt);   // data_ is exact case
  EXPECT_EQ(parsed(with_atoms("'data_ q '")).entry_id, " q ");      // the rest, untrimmed
  EXPECT_EQ(parsed(with_atoms("data_1ABC _entry.id ?")).entry_id, std::nullopt);
  EXPECT_EQ(parsed(with_atoms("data_1ABC _entry.id ' 2XYZ '")).entry_id, "2XYZ");
  EXPECT_EQ(parsed(with_atoms("_entry.id 2XYZ data_3DEF")).entry_id, "3DEF");
  EXPECT_EQ(parsed(with_atoms("\xEF\xBB\xBF" "data_1ABC")).entry_id, std::nullopt);  // the mark hides the header
  // Two blocks feed one structure: atoms of both, the later header's id.
  const Structure s = parsed(std::string("data_A\n") + std::string(kAtoms) + "data_B\n" + std::string(kAtoms));
  EXPECT_EQ(s.atom_count(), 4u);
  EXPECT_EQ(s.entry_id, "B");
}

TEST(StatementWalk, SingleItemsTakeTheNextTokenWhateverItIs) {
  EXPECT_EQ(parsed(with_atoms("_entry.id loop_")).entry_id, "loop_");
  EXPECT_EQ(parsed(with_atoms("_entry.id _struct.title")).entry_id, "_struct.title");
  EXPECT_EQ(parsed(with_atoms("_entry.id data_x")).entry_id, "data_x");
  EXPECT_EQ(parsed(with_atoms("_struct.title ''")).title, std::nullopt);
  EXPECT_EQ(failure("_entry.id"), "numeric value missing: expected value, found EOF");
  EXPECT_EQ(failure(with_atoms("") + "_entry.id"), "numeric value missing: expected value, found EOF");
  EXPECT_EQ(failure(with_atoms("") + "_entry.id #comment\n"), "numeric value missing: expected value, found EOF");
  // Unsupported keywords and untagged values have no effect.
  EXPECT_EQ(parsed(with_atoms("global_ save_frame _entry.id E save_ stop_ 42 'free value'")).entry_id, "E");
  // Empty tokens at statement level are skipped.
  EXPECT_EQ(parsed(with_atoms("'' \"\"\n;\n;\n_entry.id E")).entry_id, "E");
}

TEST(StatementWalk, LoopWithoutTags) {
  const std::string no_tags = "loop tag/value mismatch: loop_ without tags";
  EXPECT_EQ(failure("loop_"), no_tags);
  EXPECT_EQ(failure("loop_ data_x"), no_tags);
  EXPECT_EQ(failure("loop_ 1 2"), no_tags);
  EXPECT_EQ(failure("loop_ loop_ _a 1"), no_tags);
  EXPECT_EQ(failure("loop_ '' _a 1"), no_tags);  // an empty token ends the tags, even before any
  EXPECT_EQ(failure(with_atoms("loop_ # nothing\n")), no_tags);
}

TEST(StatementWalk, LoopKeywordsAndValueEnds) {
  // LOOP_ in any case opens a loop; a quoted one too.
  EXPECT_EQ(parsed("LOOP_ _atom_site.id 1 2").atom_count(), 2u);
  EXPECT_EQ(parsed("'lOoP_' _atom_site.id 1 2").atom_count(), 2u);
  // Values end at a tag, at loop_ and at a data block header; empty tokens are values.
  EXPECT_EQ(parsed("loop_ _atom_site.id 1 2 _entry.id E").atom_count(), 2u);
  EXPECT_EQ(parsed("loop_ _atom_site.id 1 2 loop_ _x 3").atom_count(), 2u);
  EXPECT_EQ(parsed("loop_ _atom_site.id 1 2 data_B").atom_count(), 2u);
  EXPECT_EQ(parsed("loop_ _atom_site.id 1 '' 2\n;\n;\n").atom_count(), 4u);
  // DATA_x, loops, lOOp (four letters) and the like are plain values.
  EXPECT_EQ(parsed("loop_ _atom_site.id DATA_x loop lOOp_x dat").atom_count(), 4u);
  // A loop with tags and no values gives no rows.
  EXPECT_EQ(parsed("loop_ _atom_site.id loop_ _atom_site.id 7").atom_count(), 1u);
  EXPECT_EQ(parsed(with_atoms("") + "loop_ _atom_site.id").atom_count(), 2u);
}

TEST(StatementWalk, LoopClassification) {
  // Atom-site loops: every tag begins with _atom_site. in any case.
  EXPECT_EQ(parsed("loop_ _ATOM_SITE.ID _Atom_Site.x 1 2 3 4").atom_count(), 2u);
  EXPECT_EQ(failure("loop_ _atom_site.id _other.x 1 2"), "_atom_site loop missing: _atom_site loop missing");
  EXPECT_EQ(failure("loop_ _atom_site_anisotrop.id 1 2"), "_atom_site loop missing: _atom_site loop missing");
  // A struct-conn loop needs one _struct_conn. tag, before a chem-comp-bond one.
  EXPECT_EQ(parsed(with_atoms("loop_ _struct_conn_type.id _struct_conn_type.x covale a")).bonds.size(), 0u);
  EXPECT_EQ(parsed(with_atoms("loop_ _other.a _STRUCT_CONN.id x y")).bonds.size(), 1u);
  const Structure mixed = parsed(with_atoms("loop_ _chem_comp_bond.atom_id_1 _struct_conn.conn_type_id N covale"));
  ASSERT_EQ(mixed.bonds.size(), 1u);
  EXPECT_FALSE(mixed.bonds[0].from_chem_comp);
  EXPECT_EQ(mixed.bonds[0].partner1.label_atom_id, std::nullopt);  // the other category's column is ignored
  EXPECT_EQ(mixed.bonds[0].conn_type, "covale");
  EXPECT_EQ(parsed(with_atoms("loop_ _x.y _chem_comp_bond.comp_id 1 ALA")).bonds.size(), 1u);
  // Quoted tags are tags.
  EXPECT_EQ(parsed("loop_ '_atom_site.id' \"_atom_site.Cartn_x\" 1 2.0").atoms[0].x(), 2.0);
}

TEST(StatementWalk, ValueCounts) {
  EXPECT_EQ(failure("loop_ _atom_site.id _atom_site.x _atom_site.y 1 2 3 4 5 6 7"),
            "loop tag/value mismatch: loop contains 7 values but 3 tags");
  EXPECT_EQ(failure("loop_ _atom_site.id _atom_site.x 1 '' 3"),
            "loop tag/value mismatch: loop contains 3 values but 2 tags");
  // Other loops of the same shape are dropped silently, rows and all, and reading goes on.
  for (const char* header : {"loop_ _struct_conn.id _struct_conn.conn_type_id _struct_conn.pdbx_dist_value",
                             "loop_ _chem_comp_bond.comp_id _chem_comp_bond.atom_id_1 _chem_comp_bond.value_order",
                             "loop_ _other.a _other.b _other.c"}) {
    const Structure s = parsed(with_atoms(std::string(header) + " a covale 1.5 b metalc 2.0 c"));
    EXPECT_EQ(s.bonds.size(), 0u) << header;
    EXPECT_EQ(s.atom_count(), 2u);
  }
}

TEST(StatementWalk, ErrorPrecedence) {
  // A tokenizer error anywhere beats any other error before it.
  EXPECT_EQ(failure("loop_ _atom_site.id _atom_site.x 1 2 3\n'open"), "token stream is invalid: unterminated quoted value");
  EXPECT_EQ(failure("_cell.length_a ?\n;never closed"), "token stream is invalid: unterminated text field");
  EXPECT_EQ(failure("loop_ _atom_site.Cartn_x abc 'x"), "token stream is invalid: unterminated quoted value");
  EXPECT_EQ(failure("loop_\n'x"), "token stream is invalid: unterminated quoted value");
  EXPECT_EQ(failure("_entry.id 'x"), "token stream is invalid: unterminated quoted value");
  // The first walk error wins over later ones.
  EXPECT_EQ(failure("_cell.length_a ? _cell.length_b ?"), "numeric value missing: required numeric value missing for _cell.length_a");
  EXPECT_EQ(failure("loop_ _atom_site.Cartn_x abc loop_"), "invalid numeric literal: invalid numeric literal 'abc' for _atom_site.Cartn_x");
  // Within an atom-site loop the count is checked before the rows' values.
  EXPECT_EQ(failure("loop_ _atom_site.Cartn_x _atom_site.id abc 1 2"), "loop tag/value mismatch: loop contains 3 values but 2 tags");
  EXPECT_EQ(failure("loop_ _atom_site.Cartn_x _atom_site.id 1 1 abc 2"), "invalid numeric literal: invalid numeric literal 'abc' for _atom_site.Cartn_x");
  // The first bad value of the loop, in row order.
  EXPECT_EQ(failure("loop_ _atom_site.Cartn_x _atom_site.auth_seq_id 1 x y 2"), "invalid numeric literal: invalid integer literal 'x' for _atom_site.auth_seq_id");
  // A dropped struct-conn loop reports nothing from its values.
  EXPECT_EQ(failure(with_atoms("loop_ _struct_conn.pdbx_dist_value _struct_conn.id bad 1 2")), "ok");
  EXPECT_EQ(failure(with_atoms("loop_ _struct_conn.pdbx_dist_value _struct_conn.id bad 1")),
            "invalid numeric literal: invalid numeric literal 'bad' for _struct_conn.pdbx_dist_value");
  // The cell is checked before the atoms; a walk error before both.
  EXPECT_EQ(failure("_cell.length_a 1"), "numeric value missing: partial unit cell definition encountered");
  EXPECT_EQ(failure("_cell.length_a 1 loop_"), "loop tag/value mismatch: loop_ without tags");
}

}  // namespace
}  // namespace quarn
