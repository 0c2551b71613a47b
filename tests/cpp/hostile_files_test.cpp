// Hostile files through load_structure: giant tokens and loops, millions of keywords and blocks,
// gzip bombs, texts and structures that outgrow memory, files cut or extended while they are read.
// Each gets its exact result or error, and what loads stays within its text plus its structure plus
// a tenth.
#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <new>
#include <optional>
#include <random>
#include <string>
#include <sys/stat.h>
#include <thread>

#include "parser/source.hpp"
#include "quarn/memory.hpp"
#include "quarn/reader.hpp"
#include "test_files.hpp"

namespace quarn {
namespace {

using testing_files::gzip_member;
using testing_files::ScratchDir;

// The heavy cases allocate gigabytes and time memory; the sanitizer build runs the rest.
#if defined(QUARN_SANITIZED)
#define SKIP_WHEN_SANITIZED() GTEST_SKIP() << "heavy: run by the normal build only"
#else
#define SKIP_WHEN_SANITIZED() (void)0
#endif

constexpr std::uint64_t kMiB = std::uint64_t{1} << 20;

std::uint64_t status_kb(const char* key) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(key, 0) == 0) return std::stoull(line.substr(std::string(key).size()));
  }
  return 0;
}

// How far resident memory rose above its level at the start while `work` ran; absent where the
// high-water mark cannot be reset.
template <class Work>
std::optional<std::uint64_t> peak_growth(Work&& work) {
  {
    std::ofstream reset("/proc/self/clear_refs");
    reset << "5";
    if (!reset.flush()) return std::nullopt;
  }
  const std::uint64_t before = status_kb("VmRSS:");
  work();
  const std::uint64_t peak = status_kb("VmHWM:");
  return peak > before ? (peak - before) * 1024 : 0;
}

std::uint64_t structure_bytes(const Structure& s) {
  return s.atoms.bytes_reserved() + s.arena.bytes_reserved() + s.bonds.bytes_reserved();
}

// Loads `path` and, when it loads, checks that the load's peak stayed within text + structure + 10%
// (plus a few megabytes for the inflater, its thread and the pages prefaulted ahead of it).
Expected<Structure, ReaderError> load_within_budget(const std::string& path, std::uint64_t text_bytes) {
  std::optional<Expected<Structure, ReaderError>> result;
  const auto peak = peak_growth([&] { result.emplace(load_structure(path)); });
  if (peak && *result) {
    const std::uint64_t structure = structure_bytes(**result);
    EXPECT_LE(*peak, (text_bytes + structure) * 11 / 10 + 16 * kMiB)
        << path << ": text " << text_bytes << " bytes, structure " << structure << " bytes";
  }
  return std::move(*result);
}

std::string display_of(const Expected<Structure, ReaderError>& r) { return r ? "loaded" : r.error().display(); }

// Writes a file of `head`, `repeats` copies of `chunk`, then `tail`, without holding it in memory.
std::string write_repeated(const ScratchDir& dir, const std::string& name, std::string_view head, std::string_view chunk,
                           std::size_t repeats, std::string_view tail) {
  const std::string path = dir.path(name);
  std::ofstream out(path, std::ios::binary);
  out << head;
  for (std::size_t i = 0; i < repeats; ++i) out.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
  out << tail;
  return path;
}

// One gzip member whose text is `head`, `repeats` copies of `chunk`, then `tail`: a bomb in a few
// kilobytes, built without compressing the whole. Each copy of the chunk, compressed after a full
// flush (which forgets everything before it), is the same bytes, so one copy is compressed and
// repeated; the checksum of the whole is combined from the pieces'.
std::string gzip_bomb(std::string_view head, std::string_view chunk, std::size_t repeats, std::string_view tail) {
  z_stream z{};
  if (deflateInit2(&z, 9, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY) != Z_OK) return {};
  const auto squeeze = [&z](std::string_view text, int flush) {
    std::string out(deflateBound(&z, static_cast<uLong>(text.size())) + 64, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    z.avail_in = static_cast<uInt>(text.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, flush);
    out.resize(out.size() - z.avail_out);
    return out;
  };
  std::string member("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03", 10);
  member += squeeze(head, Z_FULL_FLUSH);
  const std::string packed_chunk = squeeze(chunk, Z_FULL_FLUSH);
  EXPECT_EQ(squeeze(chunk, Z_FULL_FLUSH), packed_chunk) << "a chunk compressed after a full flush is always the same";
  for (std::size_t i = 0; i < repeats; ++i) member += packed_chunk;
  member += squeeze(tail, Z_FINISH);
  deflateEnd(&z);

  const auto crc_of = [](std::string_view s) {
    return crc32(0, reinterpret_cast<const Bytef*>(s.data()), static_cast<uInt>(s.size()));
  };
  uLong crc = crc_of(head);
  const uLong chunk_crc = crc_of(chunk);
  for (std::size_t i = 0; i < repeats; ++i) crc = crc32_combine(crc, chunk_crc, static_cast<z_off_t>(chunk.size()));
  crc = crc32_combine(crc, crc_of(tail), static_cast<z_off_t>(tail.size()));
  const std::uint64_t size = head.size() + repeats * chunk.size() + tail.size();
  for (const std::uint64_t v : {std::uint64_t{crc}, size}) {
    for (int k = 0; k < 4; ++k) member += static_cast<char>((v >> (8 * k)) & 0xff);
  }
  return member;
}

// Lowers the memory the process may use to its present use plus `room` for one test.
class MemoryCeiling {
 public:
  explicit MemoryCeiling(std::uint64_t room) { detail::set_memory_ceiling(status_kb("VmRSS:") * 1024 + room); }
  ~MemoryCeiling() { detail::set_memory_ceiling(0); }
  MemoryCeiling(const MemoryCeiling&) = delete;
  MemoryCeiling& operator=(const MemoryCeiling&) = delete;
};

TEST(HostileFiles, AHundredMegabyteToken) {
  SKIP_WHEN_SANITIZED();
  ScratchDir dir;
  constexpr std::size_t kSize = 100'000'000;
  const std::string chunk(1'000'000, 'x');
  const std::string head = "data_giant\nloop_ _atom_site.id _atom_site.label_comp_id\n1 ";
  for (const auto& [name, open, close] : {std::tuple{"bare.cif", "", "\n"}, std::tuple{"quoted.cif", "'", "'\n"},
                                          std::tuple{"field.cif", "\n;", "\n;\n"}}) {
    const std::string path = write_repeated(dir, name, head + open, chunk, kSize / chunk.size(), close);
    auto s = load_within_budget(path, head.size() + kSize + 4);
    ASSERT_TRUE(s) << name << ": " << display_of(s);
    ASSERT_EQ(s->atom_count(), 1u);
    EXPECT_EQ(s->atoms[0].label_comp_id.view().size(), kSize) << name;
  }
  // The same token as a number: its message shows it whole.
  const std::string path = write_repeated(dir, "number.cif", "loop_ _atom_site.Cartn_x 1", chunk, kSize / chunk.size(), "\n");
  auto bad = load_within_budget(path, kSize);
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().message.size(), std::string_view("invalid numeric literal '' for _atom_site.Cartn_x").size() + kSize + 1);
}

TEST(HostileFiles, FiveMillionRows) {
  SKIP_WHEN_SANITIZED();
  ScratchDir dir;
  constexpr std::size_t kRows = 5'000'000;
  // An atom-site loop: every row an atom.
  const std::string atoms = write_repeated(dir, "atoms.cif", "loop_\n_atom_site.id\n_atom_site.Cartn_x\n", "7 1.5\n", kRows, "");
  auto s = load_within_budget(atoms, 6 * kRows + 40);
  ASSERT_TRUE(s) << display_of(s);
  EXPECT_EQ(s->atom_count(), kRows);
  EXPECT_EQ(s->atoms[kRows - 1].id.view(), "7");
  EXPECT_EQ(s->atoms[kRows - 1].x(), 1.5);
  // A bond loop: every row a bond record, seventy times the size of its text.
  constexpr std::size_t kBondRows = 1'000'000;
  const std::string bonds = write_repeated(dir, "bonds.cif", "loop_ _atom_site.id 1\nloop_\n_struct_conn.conn_type_id\n",
                                           "covale\n", kBondRows, "");
  auto b = load_within_budget(bonds, 7 * kBondRows + 60);
  ASSERT_TRUE(b) << display_of(b);
  EXPECT_EQ(b->bonds.size(), kBondRows);
  EXPECT_EQ(b->bonds.back().bond_type, BondType::covalent_unknown);
  // One value short of whole rows.
  const std::string cut = write_repeated(dir, "cut.cif", "loop_\n_atom_site.id\n_atom_site.Cartn_x\n", "7 1.5\n", kRows, "8\n");
  EXPECT_EQ(display_of(load_within_budget(cut, 6 * kRows + 40)), "loop tag/value mismatch: loop contains 10000001 values but 2 tags");
}

TEST(HostileFiles, TenMillionKeywordsAndDataBlocks) {
  SKIP_WHEN_SANITIZED();
  ScratchDir dir;
  constexpr std::size_t kCount = 10'000'000;
  const std::string bare = write_repeated(dir, "loops.cif", "", "loop_\n", kCount, "");
  EXPECT_EQ(display_of(load_within_budget(bare, 6 * kCount)), "loop tag/value mismatch: loop_ without tags");
  // Every loop with a tag and no value: all are valid, and the atom comes at the very end.
  const std::string tagged = write_repeated(dir, "tagged.cif", "", "LOOP_ _x\n", kCount, "loop_ _atom_site.id 1\n");
  auto s = load_within_budget(tagged, 9 * kCount + 22);
  ASSERT_TRUE(s) << display_of(s);
  EXPECT_EQ(s->atom_count(), 1u);
  // Ten million data block headers around one atom: the last header names the entry.
  const std::string blocks = write_repeated(dir, "blocks.cif", "loop_ _atom_site.id 1\n", "data_block\n", kCount, "data_last\n");
  auto b = load_within_budget(blocks, 11 * kCount + 32);
  ASSERT_TRUE(b) << display_of(b);
  EXPECT_EQ(b->entry_id, "last");
  EXPECT_EQ(b->atom_count(), 1u);
}

TEST(HostileFiles, NulBytesPassTheUtf8CheckAndStayInTokens) {
  ScratchDir dir;
  constexpr char kText[] = "loop_ _atom_site.id _atom_site.label_comp_id\n1 A\0B\n\0\0 \0\n";
  const std::string text(kText, sizeof kText - 1);
  for (const std::string& path : {dir.write("nul.cif", text), dir.write("nul.cif.gz", gzip_member(text))}) {
    auto s = load_structure(path);
    ASSERT_TRUE(s) << path << ": " << display_of(s);
    ASSERT_EQ(s->atom_count(), 2u);
    EXPECT_EQ(s->atoms[0].label_comp_id.view(), std::string_view("A\0B", 3));
    EXPECT_EQ(s->atoms[1].id.view(), std::string_view("\0\0", 2));
  }
}

TEST(HostileFiles, AGzipBombThatFitsLoads) {
  SKIP_WHEN_SANITIZED();
  ScratchDir dir;
  constexpr std::size_t kRepeats = 1024;  // 1 GiB of blanks
  const std::string blanks(kMiB, ' ');
  const std::string bomb = gzip_bomb("data_bomb\nloop_ _atom_site.id", blanks, kRepeats, "1\n");
  ASSERT_LT(bomb.size(), 2 * kMiB);
  auto s = load_within_budget(dir.write("bomb.cif.gz", bomb), kRepeats * kMiB + 64);
  ASSERT_TRUE(s) << display_of(s);
  EXPECT_EQ(s->atom_count(), 1u);
  EXPECT_EQ(s->entry_id, "bomb");
}

TEST(HostileFiles, ATextThatCannotFitIsAnIoError) {
  SKIP_WHEN_SANITIZED();
  ScratchDir dir;
  const std::string blanks(kMiB, ' ');
  const std::string bomb = gzip_bomb("loop_ _atom_site.id", blanks, 1024, "1\n");
  const std::string packed = dir.write("bomb.cif.gz", bomb);
  // Inflated alongside the parse, and whole (a FIFO has no size to plan by).
  const std::string fifo = dir.path("fifo.cif.gz");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string plain = write_repeated(dir, "big.cif", "loop_ _atom_site.id", blanks, 400, "1\n");
  constexpr std::string_view kTooLarge = "I/O error: decoded text does not fit in memory";
  {
    MemoryCeiling ceiling(300 * kMiB);
    std::optional<Expected<Structure, ReaderError>> r;
    auto peak = peak_growth([&] { r.emplace(load_structure(packed)); });
    EXPECT_EQ(display_of(*r), kTooLarge);
    ASSERT_TRUE(r->error().source.has_value());
    EXPECT_EQ(r->error().source->os_error, ENOMEM);
    EXPECT_LT(peak.value_or(0), 300 * kMiB);

    // The loader stops reading early, so the writer's last writes meet a closed pipe.
    const auto old_handler = std::signal(SIGPIPE, SIG_IGN);
    std::thread writer([&] {
      std::ofstream out(fifo, std::ios::binary);
      out.write(bomb.data(), static_cast<std::streamsize>(bomb.size()));
    });
    peak = peak_growth([&] { r.emplace(load_structure(fifo)); });
    writer.join();
    std::signal(SIGPIPE, old_handler);
    EXPECT_EQ(display_of(*r), kTooLarge);
    EXPECT_LT(peak.value_or(0), 300 * kMiB);

    // A plain file that is too large is refused before it is read.
    peak = peak_growth([&] { r.emplace(load_structure(plain)); });
    EXPECT_EQ(display_of(*r), kTooLarge);
    EXPECT_LT(peak.value_or(0), 16 * kMiB);
  }
  // With the memory back, the same plain file loads.
  EXPECT_TRUE(load_structure(plain));
}

TEST(HostileFiles, ATrailerThatOverstatesTheTextStillLoadsInLittleMemory) {
  ScratchDir dir;
  // Junk after the member announces 2 GiB; memory for that much is refused, the text needs 8 bytes.
  const std::string text = "loop_ _atom_site.id 1\n";
  const std::string path = dir.write("junk.cif.gz", gzip_member(text) + "\xff\xff\xff\x7f");
  MemoryCeiling ceiling(200 * kMiB);
  auto s = load_structure(path);
  ASSERT_TRUE(s) << display_of(s);
  EXPECT_EQ(s->atom_count(), 1u);
}

TEST(HostileFiles, AStructureThatCannotFitThrowsBadAlloc) {
  SKIP_WHEN_SANITIZED();
  ScratchDir dir;
  // 48 MiB of text (granted without asking), 25 million atoms: 3 GB of records.
  std::string rows;
  for (std::uint64_t i = 0; i < kMiB / 2; ++i) rows += "1\n";
  const std::string packed = dir.write("atoms.cif.gz", gzip_bomb("loop_ _atom_site.id\n", rows, 48, ""));
  MemoryCeiling ceiling(400 * kMiB);
  const auto peak = peak_growth([&] { EXPECT_THROW((void)load_structure(packed), std::bad_alloc); });
  EXPECT_LT(peak.value_or(0), 400 * kMiB);
}

// A gzip text of random digits (so the compressed file is large) whose inflater stops at a full
// buffer, long before it has read the whole file: the test then changes the file, deterministically
// after the read began and before it ends.
class PausedRead {
 public:
  PausedRead(const ScratchDir& dir, const std::string& text) : path_(dir.write("paused.cif.gz", gzip_member(text, 1))) {
    source_.limit_parallel_capacity(200'000);
    EXPECT_FALSE(source_.open(path_));
    while (source_.more()) {
    }
    EXPECT_LT(source_.ready(), 300'000u);  // the capacity, rounded up to whole pages
  }
  const std::string& path() const { return path_; }
  detail::SourceText& source() { return source_; }

 private:
  std::string path_;
  detail::SourceText source_;
};

std::string random_rows(std::size_t size) {
  std::mt19937 rng(7);
  std::string s = "loop_\n_atom_site.id\n_atom_site.Cartn_x\n";
  while (s.size() < size) s += std::to_string(rng()) + " " + std::to_string(rng() % 1000) + ".5\n";
  return s;
}

TEST(HostileFiles, AFileCutOrExtendedWhileItIsRead) {
  ScratchDir dir;
  const std::string text = random_rows(4'000'000);
  {
    PausedRead read(dir, text);
    const auto size = std::filesystem::file_size(read.path());
    ASSERT_GT(size, 1'500'000u);
    std::filesystem::resize_file(read.path(), size - 1'000'000);
    const auto failure = read.source().finish();
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(failure->display(), "I/O error: unexpected end of file");
  }
  {
    PausedRead read(dir, text);
    const std::string more = "1 2.5\n";
    std::ofstream(read.path(), std::ios::binary | std::ios::app) << gzip_member(more);
    ASSERT_FALSE(read.source().finish());
    EXPECT_TRUE(read.source().feed_was_cut());
    EXPECT_EQ(std::string_view(read.source().data(), read.source().ready()), text + more);
  }
  {
    // Cut at the end of the first member, then junk where the second would start: the text ends there.
    PausedRead read(dir, text);
    std::ofstream(read.path(), std::ios::binary | std::ios::app) << "not a member";
    ASSERT_FALSE(read.source().finish());
    EXPECT_EQ(read.source().ready(), text.size());
  }
}

}  // namespace
}  // namespace quarn
