// Derived structures: each is the model of the file holding only its atom rows, and keeps its origin.
#include <gtest/gtest.h>

#include <numeric>
#include <sstream>
#include <string>
#include <vector>

#include "builder.hpp"
#include "entries.hpp"
#include "quarn/binary_form.hpp"
#include "quarn/derive.hpp"
#include "quarn/reader.hpp"
#include "reader_support.hpp"

namespace quarn {
namespace {

using testing::load_entry;

// The file's lines split around its _atom_site rows (one row a line, as in the archive's files).
struct SplitFile {
  std::vector<std::string> before, rows, after;

  explicit SplitFile(const std::string& text) {
    std::istringstream in(text);
    std::string line;
    int part = 0;  // 0 before the loop, 1 in its header, 2 in its rows, 3 after
    while (std::getline(in, line)) {
      if (part == 0 && line.starts_with("_atom_site.")) part = 1;
      if (part == 1 && !line.starts_with("_atom_site.")) part = 2;
      if (part == 2 && (line.starts_with("#") || line.starts_with("_") || line.starts_with("loop_"))) part = 3;
      (part == 2 ? rows : part == 3 ? after : before).push_back(line);
    }
  }

  // The text of the file with rows `indices` only, in that order, and without _cell items if asked.
  std::string subset(const std::vector<std::uint64_t>& indices, bool keep_cell) const {
    std::string out;
    const auto put = [&](const std::string& line) {
      if (keep_cell || !line.starts_with("_cell.")) out.append(line).push_back('\n');
    };
    for (const auto& line : before) put(line);
    for (const std::uint64_t i : indices) put(rows[i]);
    for (const auto& line : after) put(line);
    return out;
  }
};

void expect_as_parsed(const Structure& parent, const SplitFile& file, const std::vector<std::uint64_t>& indices,
                      bool keep_cell, const std::string& what) {
  auto derived = derive(parent, indices, keep_cell);
  ASSERT_TRUE(derived.has_value()) << what;
  auto parsed = parse_text(file.subset(indices, keep_cell), true);
  ASSERT_TRUE(parsed.has_value()) << what << ": " << parsed.error().display();
  ASSERT_TRUE(derived->derivation.has_value());
  EXPECT_EQ(derived->derivation->parsed_indices, indices) << what;
  EXPECT_EQ(derived->derivation->parsed_cell, parent.cell) << what;

  // The derived model pickles with its origin.
  const auto again = read_binary_form(write_binary_form(*derived));
  ASSERT_TRUE(again.has_value()) << again.error().message;
  EXPECT_TRUE(same_model(*derived, *again)) << what;

  EXPECT_EQ(derived->explicit_bonds(), parsed->explicit_bonds()) << what;
  derived->derivation.reset();
  EXPECT_TRUE(same_model(*derived, *parsed)) << what;
}

TEST(DeriveMeaning, EachSelectionIsTheFileOfItsRows) {
  for (const char* name : {"1aki.cif", "5i55.cif", "4p5j.cif", "1bna.cif", "1l2y.cif.gz", "1as5.cif.gz",
                           "3o5r.cif.gz", "1pfe.cif.gz", "1xnr.cif.gz"}) {
    SCOPED_TRACE(name);
    std::optional<Structure> s;
    load_entry(name, &s);
    if (!s) return;
    const SplitFile file(*testing::entry_text(name));
    ASSERT_EQ(file.rows.size(), s->atom_count());
    std::vector<std::uint64_t> every_third_backwards;
    for (std::uint64_t i = s->atom_count(); i-- > 0;) {
      if (i % 3 == 0) every_third_backwards.push_back(i);
    }
    std::vector<std::uint64_t> all(s->atom_count());
    std::iota(all.begin(), all.end(), 0);
    expect_as_parsed(*s, file, model_atoms(*s, std::nullopt), true, "first model");
    expect_as_parsed(*s, file, altloc_atoms(*s, std::nullopt), true, "first conformation");
    expect_as_parsed(*s, file, every_third_backwards, true, "every third atom backwards");
    expect_as_parsed(*s, file, all, false, "without the cell");
  }
}

TEST(DeriveOrigin, AChainOfDerivationsMapsToTheParsedAtoms) {
  std::optional<Structure> s;
  load_entry("3o5r.cif.gz", &s);
  if (!s) return;
  auto one = derive(*s, altloc_atoms(*s, "B"), false);
  ASSERT_TRUE(one.has_value());
  auto two = derive(*one, {5, 2, 0}, true);
  ASSERT_TRUE(two.has_value());
  const auto& first = one->derivation->parsed_indices;
  EXPECT_EQ(two->derivation->parsed_indices, (std::vector<std::uint64_t>{first[5], first[2], first[0]}));
  EXPECT_FALSE(two->cell.has_value()) << "a dropped cell stays dropped";
  EXPECT_EQ(two->derivation->parsed_cell, s->cell);
}

TEST(DeriveOrigin, LongTextsOutliveTheParentWhetherSharedOrCopied) {
  // Enough long names for more than one arena block, so that a small selection copies its texts and
  // a large one shares the parent's blocks; a chain of shares must keep the first parent's blocks.
  const auto long_name = [](int i) { return "ATOMNAME" + std::to_string(i); };
  testing::StructureBuilder b;
  for (int i = 0; i < 8000; ++i) b.atom("C", {1.0 * i, 0, 0}).name(long_name(i));
  std::optional<Structure> parent = b.take();
  std::vector<std::uint64_t> most(6000), few = {7999, 3, 4000};
  std::iota(most.begin(), most.end(), 1000);
  auto shared = derive(*parent, most);
  auto copied = derive(*parent, few);
  ASSERT_TRUE(shared && copied);
  std::vector<std::uint64_t> backwards(most.size());
  std::iota(backwards.rbegin(), backwards.rend(), 0);
  auto again = derive(*shared, backwards);
  ASSERT_TRUE(again);
  parent.reset();
  shared = derive(*copied, {0, 1});  // the first share goes too; `again` keeps the blocks alive alone
  ASSERT_TRUE(shared);
  EXPECT_EQ(again->atoms[0].label_atom_id.view(), long_name(6999));
  EXPECT_EQ(again->atoms[5999].label_atom_id.view(), long_name(1000));
  for (std::size_t k = 0; k < few.size(); ++k) {
    EXPECT_EQ(copied->atoms[k].label_atom_id.view(), long_name(static_cast<int>(few[k])));
  }
}

TEST(DeriveRefusal, EmptyOutOfRangeAndRepeatedIndices) {
  std::optional<Structure> s;
  load_entry("5i55.cif", &s);
  if (!s) return;
  const auto kind = [&](std::vector<std::uint64_t> indices) {
    auto d = derive(*s, std::move(indices));
    return d ? -1 : static_cast<int>(d.error().kind);
  };
  EXPECT_EQ(kind({}), DeriveError::kEmpty);
  EXPECT_EQ(kind({0, s->atom_count()}), DeriveError::kOutOfRange);
  EXPECT_EQ(kind({3, 1, 3}), DeriveError::kDuplicate);
  EXPECT_EQ(kind({s->atom_count() - 1}), -1);
}

TEST(DeriveSelection, ModelsAndConformations) {
  std::optional<Structure> s;
  load_entry("1l2y.cif.gz", &s);
  if (!s) return;
  EXPECT_EQ(model_atoms(*s, std::nullopt).size(), s->atom_count() / 38);
  const auto last = model_atoms(*s, 38);
  EXPECT_EQ(last.size(), s->atom_count() / 38);
  for (const std::uint64_t i : last) EXPECT_EQ(s->atoms[i].model_num(), 38);
  EXPECT_TRUE(model_atoms(*s, 39).empty());
  EXPECT_TRUE(altloc_atoms(*s, "A").empty()) << "no atom of an NMR entry has an alternate location";
  EXPECT_EQ(altloc_atoms(*s, std::nullopt).size(), s->atom_count());

  load_entry("3o5r.cif.gz", &s);
  if (!s) return;
  for (const std::uint64_t i : altloc_atoms(*s, std::nullopt)) {
    const Text& alt = s->atoms[i].label_alt_id;
    EXPECT_TRUE(!alt.present() || alt.view() == "A") << "3o5r's first location is A everywhere";
  }
  const auto b = altloc_atoms(*s, "B");
  EXPECT_FALSE(b.empty());
  for (const std::uint64_t i : b) EXPECT_NE(s->atoms[i].label_alt_id.view(), "A");
}

}  // namespace
}  // namespace quarn
