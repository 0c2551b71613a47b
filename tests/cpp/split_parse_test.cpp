// A long atom loop parsed in two parts at once gives exactly what one walk gives, failures included.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "parser/helper_thread.hpp"
#include "parser/rows_ahead.hpp"
#include "quarn/contacts.hpp"
#include "reader_support.hpp"
#include "test_files.hpp"

namespace quarn {
namespace {

using testing::outcome;

constexpr const char* kHeader =
    "data_SPLIT\n_cell.length_a 10\n_cell.length_b 10\n_cell.length_c 10\n"
    "_cell.angle_alpha 90\n_cell.angle_beta 90\n_cell.angle_gamma 90\n#\nloop_\n"
    "_atom_site.group_PDB\n_atom_site.id\n_atom_site.type_symbol\n_atom_site.label_atom_id\n"
    "_atom_site.label_alt_id\n_atom_site.label_comp_id\n_atom_site.label_asym_id\n"
    "_atom_site.label_entity_id\n_atom_site.label_seq_id\n_atom_site.pdbx_PDB_ins_code\n"
    "_atom_site.Cartn_x\n_atom_site.Cartn_y\n_atom_site.Cartn_z\n_atom_site.occupancy\n"
    "_atom_site.B_iso_or_equiv\n_atom_site.pdbx_formal_charge\n_atom_site.auth_seq_id\n"
    "_atom_site.auth_comp_id\n_atom_site.auth_asym_id\n_atom_site.auth_atom_id\n"
    "_atom_site.pdbx_PDB_model_num\n";

// One row per line, with quoted names, texts too long to sit inline and absent values among them.
std::string row(int i, bool grid = false) {
  char line[200];
  const char* name = i % 11 == 0 ? "\"O5'\"" : i % 7 == 0 ? "CA" : "N";
  const char* comp = i % 13 == 0 ? "LONGCOMPONENT" : "LYS";
  std::snprintf(line, sizeof line, "%s %d %s %s %s %s A 1 %d ? %.3f %.3f %.3f 1.00 %.2f ? %d %s A %s %d\n",
                i % 5 == 0 ? "HETATM" : "ATOM", i + 1, i % 3 ? "C" : "n", name, i % 17 == 0 ? "B" : ".", comp,
                i / 9, grid ? i % 40 * 1.5 : i * 0.731 - 500, grid ? i / 40 % 40 * 1.5 : i * 0.017,
                grid ? i / 1600 * 1.5 : -i * 0.3, i % 50 * 0.5, i / 9, comp, name, 1 + i / 15000);
  return line;
}

std::string atom_text(int rows, bool grid = false) {
  std::string text = kHeader;
  for (int i = 0; i < rows; ++i) text += row(i, grid);
  return text;
}

// One walk over the whole text: a feed that never says the text is whole cannot be split.
std::string unsplit(std::string_view text) {
  testing::PieceFeed feed(text, {});
  return outcome(parse_feed(feed, true));
}

// Parses `text` both ways and compares; true when the split was kept.
bool parses_alike(const std::string& text) {
  const std::uint64_t before = detail::splits_joined();
  const std::string split = outcome(parse_text(text, true));
  EXPECT_EQ(split, unsplit(text));
  return detail::splits_joined() > before;
}

TEST(SplitParse, LongLoopsJoinWithTheSameRows) {
  // Within one list block, across several (a block holds 17,476 atoms), and with categories after.
  EXPECT_TRUE(parses_alike(atom_text(3000)));
  EXPECT_TRUE(parses_alike(atom_text(40000)));
  EXPECT_TRUE(parses_alike(atom_text(20000) + "#\nloop_\n_struct_conn.id\n_struct_conn.conn_type_id\nc1 covale\n"));
  // A few rows over two lines: the helper's guess of the walk's row count is off, and the rows are
  // copied instead of joined.
  std::string text = atom_text(12000);
  for (std::size_t at = text.find("? 11 "); at != std::string::npos && at < text.size() / 3; at = text.find("? 11 ", at + 9000)) {
    text[at + 1] = '\n';
  }
  EXPECT_TRUE(parses_alike(text));
}

TEST(SplitParse, WhateverTheHelperMeetsIsReportedAsOneWalkWould) {
  const std::string base = atom_text(8000);
  const std::size_t late = base.size() * 3 / 4;  // well past the split
  const std::size_t row_start = base.find('\n', late) + 1;
  auto with = [&](const std::string& insert) { return base.substr(0, row_start) + insert + base.substr(row_start); };
  // A value that does not convert, with its line; an unterminated quote; a row cut short at the end
  // (joined: the walk counts the helper's values and finds the mismatch).
  EXPECT_FALSE(parses_alike(with("ATOM 1 C CA . LYS A 1 1 ? 1.0x 2 3 1 1 ? 1 LYS A CA 1\n")));
  EXPECT_TRUE(parses_alike(base + "ATOM 1 C\n"));
  EXPECT_FALSE(parses_alike(with("ATOM 1 C 'CA . LYS\n")));
  // A text field over the place of the split: the walk cannot meet it between tokens.
  std::string field = base;
  const std::size_t middle = field.find('\n', field.size() / 2) + 1;
  field.replace(middle - 1, 1, "\n;\n");
  field.insert(field.find('\n', middle + 4000) + 1, ";\n");
  parses_alike(field);
  // The loop ends before the middle of the text and another, as long, follows it.
  std::string other = atom_text(3000) + "#\nloop_\n_other.a\n_other.b\n";
  for (int i = 0; i < 20000; ++i) other += "x" + std::to_string(i) + " y\n";
  parses_alike(other);
}

// Gzip: the inflater finishes before the walk, and the helper then takes the rest of the loop.
TEST(SplitParse, AGzipTextSplitsOnceItIsWhollyInflated) {
  const std::string text = atom_text(60000);
  testing_files::ScratchDir dir;
  const std::string path = dir.write("split.cif.gz", testing_files::gzip_member(text));
  // Whether the inflater is done in time depends on the machine's load: a few tries.
  const std::uint64_t before = detail::splits_joined();
  for (int attempt = 0; attempt < 5 && detail::splits_joined() == before; ++attempt) {
    auto loaded = load_structure(path);
    ASSERT_TRUE(loaded) << loaded.error().display();
    EXPECT_EQ(outcome(loaded), unsplit(text));
  }
  EXPECT_GT(detail::splits_joined(), before);
}

// Threads that each hold a load in progress until the object goes.
class BusyLoads {
 public:
  explicit BusyLoads(unsigned count) {
    for (unsigned k = 0; k < count; ++k) {
      threads_.emplace_back([this] {
        const detail::ActiveParse active;
        std::unique_lock<std::mutex> lock(mutex_);
        ++holding_;
        changed_.notify_all();
        changed_.wait(lock, [this] { return released_; });
      });
    }
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return holding_ == count; });
  }
  ~BusyLoads() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      released_ = true;
    }
    changed_.notify_all();
    for (std::thread& t : threads_) t.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  unsigned holding_ = 0;
  bool released_ = false;
  std::vector<std::thread> threads_;
};

// With so many loads in progress that another could not have two cores, a load leaves its helper
// alone (no split, no inflating or reading beside the parse) and gives the same structure.
TEST(SplitParse, LoadsThatWouldOversubscribeTheCoresUseNoHelper) {
  const std::string text = atom_text(40000);
  testing_files::ScratchDir dir;
  const std::string plain = dir.write("busy.cif", text);
  const std::string packed = dir.write("busy.cif.gz", testing_files::gzip_member(text));
  const std::string expected = unsplit(text);
  {
    const BusyLoads others(std::max(1u, std::thread::hardware_concurrency() / 2));
    const std::uint64_t before = detail::splits_joined();
    for (const std::string& path : {plain, packed}) {
      auto loaded = load_structure(path);
      ASSERT_TRUE(loaded) << loaded.error().display();
      EXPECT_EQ(outcome(loaded), expected) << path;
    }
    EXPECT_TRUE(parse_text(text, true));
    EXPECT_EQ(detail::splits_joined(), before);
  }
  EXPECT_TRUE(parses_alike(text));  // the cores free again
}

std::uint64_t resident_bytes() {
  std::ifstream in("/proc/self/statm");
  std::uint64_t pages = 0, resident = 0;
  in >> pages >> resident;
  return resident * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
}

// Atom blocks made on the helper and freed with their structure on the loading thread: loading the
// same entry again and again keeps the process's memory, also once the allocator serves large blocks
// from threads' own arenas (as it does after a large free).
TEST(SplitParse, LoadingAgainAndAgainKeepsTheMemory) {
#if QUARN_SANITIZED
  GTEST_SKIP() << "a sanitizer's allocator keeps memory of its own";
#endif
  {
    // A large result of a search, freed, moves the allocator's large blocks into threads' arenas.
    auto large = parse_text(atom_text(70000, true), true);
    ASSERT_TRUE(large && find_contacts(*large, 2.0));
  }
  testing_files::ScratchDir dir;
  const std::string path = dir.write("entry.cif", atom_text(20000));
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(load_structure(path));
  const std::uint64_t before = resident_bytes();
  for (int i = 0; i < 40; ++i) ASSERT_TRUE(load_structure(path));
  const std::uint64_t grown = resident_bytes() - std::min(before, resident_bytes());
  EXPECT_LT(grown, std::uint64_t{4} << 20);
}

}  // namespace
}  // namespace quarn
