// load_structure end to end: display texts of source failures, the entry id from the file name, gzip
// members, precedence over parse errors, and the real entries, plain and gzipped alike.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <thread>
#include <vector>

#include "parser/load.hpp"
#include "quarn/reader.hpp"
#include "reader_support.hpp"
#include "test_files.hpp"

namespace quarn {
namespace {

using testing_files::gzip_member;
using testing_files::ScratchDir;

constexpr std::string_view kAtoms =
    "loop_\n"
    "_atom_site.id\n_atom_site.type_symbol\n_atom_site.label_atom_id\n_atom_site.label_asym_id\n"
    "_atom_site.Cartn_x\n_atom_site.Cartn_y\n_atom_site.Cartn_z\n"
    "1 N N A 1.0 2.0 3.0\n"
    "2 C CA A 4.0 5.0 6.0\n";

// A text of about `size` bytes: an atom loop whose rows differ, with a non-ASCII atom name here and
// there so UTF-8 sequences cross the pieces of the parallel feed.
std::string many_atoms(std::size_t size) {
  std::string s = "data_BIG\nloop_\n_atom_site.id\n_atom_site.label_atom_id\n_atom_site.Cartn_x\n"
                  "_atom_site.Cartn_y\n_atom_site.Cartn_z\n_atom_site.B_iso_or_equiv\n";
  for (int i = 1; s.size() < size; ++i) {
    s += std::to_string(i) + (i % 7 == 0 ? " C\xc3\xa9" : " CA") + " " + std::to_string(i % 1000) + ".125 " +
         std::to_string(-i % 97) + ".5 " + std::to_string(i % 13) + " " + std::to_string(i % 50) + ".25\n";
  }
  return s;
}

std::string display_of(std::string_view path) {
  auto r = load_structure(path);
  return r ? "loaded" : r.error().display();
}

TEST(Load, SourceFailuresDisplayAsIoErrors) {
  ScratchDir dir;
  const std::string missing = dir.path("missing.cif");
  EXPECT_EQ(display_of(missing), "I/O error: No such file or directory (os error 2) (" + missing + ")");
  EXPECT_EQ(display_of(dir.path("")), "I/O error: Is a directory (os error 21)");
  // The path's bytes that are not UTF-8 show as U+FFFD in the display, unchanged in the detail.
  const std::string odd = dir.path("caf\xe9.cif");
  auto r = load_structure(odd);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().detail, odd);
  EXPECT_EQ(r.error().display(), "I/O error: No such file or directory (os error 2) (" + dir.path("caf\xef\xbf\xbd.cif") + ")");

  // Decoder and UTF-8 failures keep their own texts (their cases are in source_test.cpp).
  const std::string body = "data_X\n" + std::string(kAtoms);
  EXPECT_EQ(display_of(dir.write("plain.cif.gz", body)), "I/O error: incorrect header check");
  EXPECT_EQ(display_of(dir.write("end.cif", body + "# \xe2\x82")), "I/O error: stream did not contain valid UTF-8");
}

TEST(Load, AnEmptyTextFailsInTheParser) {
  ScratchDir dir;
  const std::string kMissing = "_atom_site loop missing: _atom_site loop missing";
  EXPECT_EQ(display_of(dir.write("empty.cif", "")), kMissing);
  EXPECT_EQ(display_of("/dev/null"), kMissing);
  EXPECT_EQ(display_of(dir.write("empty.cif.gz", gzip_member(""))), kMissing);
  auto r = load_structure(dir.path("empty.cif"));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind, ReaderErrorKind::MissingAtomSite);
  EXPECT_FALSE(r.error().detail);
}

TEST(Load, TheFileStemNamesAnEntryThatNamesNone) {
  ScratchDir dir;
  const std::string body(kAtoms);
  const auto entry_of = [&](const std::string& name, const std::string& bytes) -> std::optional<std::string> {
    auto r = load_structure(dir.write(name, bytes));
    if (!r) {
      ADD_FAILURE() << name << ": " << r.error().display();
      return std::nullopt;
    }
    return r->entry_id;
  };
  EXPECT_EQ(entry_of("1abc.cif", body), "1abc");
  EXPECT_EQ(entry_of("1abc.cif.gz", gzip_member(body)), "1abc.cif");
  EXPECT_EQ(entry_of(".hidden", body), ".hidden");
  EXPECT_EQ(entry_of("x.", body), "x");
  EXPECT_EQ(entry_of("1abc.tgz", body), "1abc");
  EXPECT_EQ(entry_of("caf\xe9.cif", body), std::nullopt);  // a stem that is not UTF-8 names nothing
  EXPECT_EQ(entry_of("named.cif", "data_2XYZ\n" + body), "2XYZ");
  EXPECT_EQ(entry_of("bare.cif", "data_\n" + body), "");  // present, though empty
  EXPECT_EQ(entry_of("cleared.cif", "data_2XYZ\n_entry.id ?\n" + body), "cleared");
  EXPECT_EQ(entry_of("1abc.GZ", gzip_member(body)), "1abc");
  EXPECT_EQ(entry_of("1abc.Gz", gzip_member(body)), "1abc");
}

TEST(Load, EveryGzipMemberIsParsed) {
  ScratchDir dir;
  const std::string head = "data_TWO\n" + std::string(kAtoms);
  const std::string tail = "3 O O B 7.0 8.0 9.0\n";
  auto r = load_structure(dir.write("two.cif.gz", gzip_member(head) + gzip_member(tail) + "junk after the members"));
  ASSERT_TRUE(r) << r.error().display();
  EXPECT_EQ(r->atom_count(), 3u);
  EXPECT_EQ(r->atoms[2].label_asym_id.view(), "B");
  EXPECT_EQ(display_of(dir.write("bad.cif.gz", gzip_member(head) + "\x1f\x8b\x08\xe0garbage")),
            "I/O error: unknown header flags set");
}

TEST(Load, SourceFailuresOutrankWhatTheParseFound) {
  ScratchDir dir;
  // The parse fails early (a loop of 3 tags holding 7 values), and then the source fails later.
  const std::string bad_loop =
      "data_X\nloop_\n_atom_site.id\n_atom_site.Cartn_x\n_atom_site.Cartn_y\n1 2 3 4 5 6 7\n";
  const std::string big = many_atoms(3'000'000);
  const std::string packed = gzip_member(bad_loop + big);
  const std::string kMismatch = "loop tag/value mismatch: loop contains 7 values but 3 tags";
  EXPECT_EQ(display_of(dir.write("a.cif.gz", packed)), kMismatch);
  EXPECT_EQ(display_of(dir.write("a.cif", bad_loop + big)), kMismatch);
  EXPECT_EQ(display_of(dir.write("b.cif.gz", packed.substr(0, packed.size() - 50))), "I/O error: unexpected end of file");
  EXPECT_EQ(display_of(dir.write("c.cif.gz", gzip_member(bad_loop + big + "\xff"))), "I/O error: stream did not contain valid UTF-8");
  EXPECT_EQ(display_of(dir.write("d.cif", bad_loop + big + "\xff")), "I/O error: stream did not contain valid UTF-8");
  // A parse that succeeds on what it saw still loses to a failure of the source.
  const std::string good = many_atoms(2'000'000);
  EXPECT_EQ(display_of(dir.write("e.cif.gz", gzip_member(good) + gzip_member("#").substr(0, 12))), "I/O error: unexpected end of file");
}

TEST(Load, FifosAndLargeTextsInPieces) {
  ScratchDir dir;
  const std::string text = many_atoms(4'000'000);
  const std::string plain = dir.write("big.cif", text);
  const std::string packed = dir.write("big.cif.gz", gzip_member(text));
  auto a = load_structure(plain);
  auto b = load_structure(packed);
  ASSERT_TRUE(a && b);
  EXPECT_GT(a->atom_count(), 50'000u);
  EXPECT_EQ(testing::dump(*a), testing::dump(*b));

  // A feed cut short by a full buffer: the parse is repeated over the whole text.
  detail::SourceText small;
  small.limit_parallel_capacity(1'000'000);
  auto c = detail::load_with(small, packed);
  ASSERT_TRUE(c);
  EXPECT_TRUE(small.feed_was_cut());
  EXPECT_EQ(testing::dump(*a), testing::dump(*c));

  const std::string fifo = dir.path("fifo.cif.gz");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string bytes = gzip_member(text);
  std::thread writer([&] {
    std::ofstream out(fifo, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  });
  auto d = load_structure(fifo);
  writer.join();
  ASSERT_TRUE(d) << d.error().display();
  EXPECT_EQ(d->entry_id, "BIG");
  EXPECT_EQ(testing::dump(*a), testing::dump(*d));
}

struct RealEntry {
  const char* name;
  std::uint64_t atoms;
};

constexpr RealEntry kRealEntries[] = {
    {"1aki.cif", 1079},     {"5i55.cif", 218},      {"4p5j.cif", 2011},
    {"1bna.cif", 566},      {"1l2y.cif.gz", 11552}, {"3o5r.cif.gz", 1470},
    {"1pfe.cif.gz", 342},   {"1xnr.cif.gz", 43833}, {"1as5.cif.gz", 4998},
};

TEST(Load, RealEntriesLoadTheSamePlainOrGzipped) {
  ScratchDir dir;
  for (const RealEntry& entry : kRealEntries) {
    const std::string path = testing::data_path(entry.name);
    if (!std::filesystem::exists(path)) GTEST_SKIP() << "real entries not found under " QUARN_DATA_DIR;
    auto original = load_structure(path);
    ASSERT_TRUE(original) << entry.name << ": " << original.error().display();
    EXPECT_EQ(original->atom_count(), entry.atoms) << entry.name;
    EXPECT_TRUE(original->entry_id.has_value()) << entry.name;

    // The same text both ways, decoded by zlib's own reader where it was packed.
    const std::string name = entry.name;
    const std::string text = name.ends_with(".gz") ? testing_files::gunzip_file(path) : *testing::read_file(path);
    const std::string stem = name.substr(0, name.find('.'));
    for (const std::string& copy : {dir.write(stem + ".cif", text), dir.write(stem + ".cif.gz", gzip_member(text))}) {
      auto loaded = load_structure(copy);
      ASSERT_TRUE(loaded) << copy << ": " << loaded.error().display();
      EXPECT_EQ(testing::dump(*original), testing::dump(*loaded));
    }
  }
}

}  // namespace
}  // namespace quarn
