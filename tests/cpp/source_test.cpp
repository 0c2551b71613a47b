// The file source: UTF-8 check, file-name rules, plain and gzip reading, failures and their order.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <zlib.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "parser/fast_inflate.hpp"
#include "parser/source.hpp"
#include "quarn/inflater.hpp"
#include "quarn/utf8.hpp"
#include "test_files.hpp"

namespace quarn {
namespace {

using detail::SourceText;
using testing_files::gzip_member;
using testing_files::ScratchDir;

// Well-formedness by decoding the code point, a different route from the validator's byte ranges.
bool reference_valid(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const unsigned lead = static_cast<unsigned char>(s[i]);
    std::size_t length;
    std::uint32_t cp;
    if (lead < 0x80) {
      length = 1, cp = lead;
    } else if ((lead & 0xe0) == 0xc0) {
      length = 2, cp = lead & 0x1f;
    } else if ((lead & 0xf0) == 0xe0) {
      length = 3, cp = lead & 0x0f;
    } else if ((lead & 0xf8) == 0xf0) {
      length = 4, cp = lead & 0x07;
    } else {
      return false;
    }
    if (s.size() - i < length) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const unsigned c = static_cast<unsigned char>(s[i + k]);
      if ((c & 0xc0) != 0x80) return false;
      cp = (cp << 6) | (c & 0x3f);
    }
    const std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < least[length] || (cp >= 0xd800 && cp <= 0xdfff) || cp > 0x10ffff) return false;
    i += length;
  }
  return true;
}

// Every sequence is tried alone and inside ASCII runs of several lengths, so both the 16-byte fast
// path and the byte-wise tail meet it.
void expect_agrees(const std::string& seq) {
  const bool expected = reference_valid(seq);
  for (std::size_t before : {0, 17}) {
    for (std::size_t after : {0, 20}) {
      const std::string text = std::string(before, 'a') + seq + std::string(after, 'b');
      ASSERT_EQ(is_valid_utf8(text), expected) << "sequence of " << seq.size() << " bytes, lead "
                                               << static_cast<int>(static_cast<unsigned char>(seq[0]));
    }
  }
}

TEST(Utf8, AgreesWithDecodingOnEveryShortSequence) {
  for (int a = 0x80; a < 0x100; ++a) {
    expect_agrees(std::string{char(a)});
    for (int b = 0; b < 0x100; ++b) expect_agrees(std::string{char(a), char(b)});
  }
  // The continuation bytes that matter are the edges of each range of the table.
  const int edges[] = {0x00, 0x7f, 0x80, 0x8f, 0x90, 0x9f, 0xa0, 0xbf, 0xc0, 0xff};
  for (int a = 0xe0; a < 0x100; ++a) {
    for (int b = 0; b < 0x100; ++b) {
      for (int c : edges) {
        expect_agrees(std::string{char(a), char(b), char(c)});
        if (a >= 0xf0 && a < 0xf8) {
          for (int d : edges) expect_agrees(std::string{char(a), char(b), char(c), char(d)});
        }
      }
    }
  }
}

TEST(Utf8, ScanTellsACutSequenceFromABrokenOne) {
  const auto scan = [](std::string_view s) { return scan_utf8(s.data(), s.size()); };
  const std::string prefix(20, 'x');
  // Sound starts cut by the end: more bytes may still complete them.
  for (const std::string tail : {"\xe2", "\xe2\x82", "\xf0\x9f\x98", "\xc3", "\xf4\x8f"}) {
    const Utf8Scan r = scan(prefix + "\xc3\xa9" + tail);
    EXPECT_EQ(r.valid, prefix.size() + 2);
    EXPECT_FALSE(r.broken);
  }
  // Overlong, surrogate, past U+10FFFF, stray continuation, bad continuation: broken at once.
  for (const std::string bad : {"\xc0\x80", "\xe0\x80", "\xed\xa0", "\xf4\x90", "\xf5", "\x80", "\xe2\x28"}) {
    const Utf8Scan r = scan(prefix + bad);
    EXPECT_EQ(r.valid, prefix.size());
    EXPECT_TRUE(r.broken);
  }
  const std::string text = "ok \xe2\x82\xac \xf0\x9f\x98\x80 \xed\x9f\xbf \xf4\x8f\xbf\xbf";
  EXPECT_EQ(scan(text).valid, text.size());
  EXPECT_TRUE(is_valid_utf8(""));
}

TEST(FileNames, GzipIsChosenByAnExtensionOfExactlyGz) {
  for (const char* path : {"a.gz", "a.cif.gz", "a.GZ", "x/a.Gz", "..gz", "/d.x/a.gZ"}) {
    EXPECT_TRUE(detail::has_gzip_extension(path)) << path;
  }
  for (const char* path : {".gz", "a.tgz", "a.gzip", "a.g", "a.cif", "a", "a.gz/b", "dir.gz/", "", "a.gz."}) {
    EXPECT_FALSE(detail::has_gzip_extension(path)) << path;
  }
}

TEST(FileNames, StemDropsOnlyTheLastExtension) {
  EXPECT_EQ(detail::file_stem("/data/1abc.cif.gz"), "1abc.cif");
  EXPECT_EQ(detail::file_stem("1abc.cif"), "1abc");
  EXPECT_EQ(detail::file_stem("dir.d/.hidden"), ".hidden");
  EXPECT_EQ(detail::file_stem("noext"), "noext");
  EXPECT_EQ(detail::file_stem("x."), "x");
  EXPECT_EQ(detail::file_stem("..gz"), ".");
  EXPECT_EQ(detail::file_stem("dir/"), "");
}

// Reads a source the way load_structure does: the parse asks for `pieces` more pieces (all of them
// when negative), then finish() settles the result.
struct ReadResult {
  std::optional<ReaderError> failure;
  std::string text;          // the whole text, when there is no failure
  std::size_t fed = 0;       // how much the feed had handed out when the parse stopped
  bool cut = false;
};

ReadResult read_source(const std::string& path, int pieces = -1, std::size_t capacity_limit = 0) {
  SourceText source;
  if (capacity_limit > 0) source.limit_parallel_capacity(capacity_limit);
  ReadResult r;
  if ((r.failure = source.open(path))) return r;
  for (int i = 0; (pieces < 0 || i < pieces) && source.more(); ++i) {
  }
  r.fed = source.ready();
  if ((r.failure = source.finish())) return r;
  r.text.assign(source.data(), source.ready());
  r.cut = source.feed_was_cut();
  return r;
}

std::string describe(const ReadResult& r) {
  if (!r.failure) return "text of " + std::to_string(r.text.size()) + " bytes: " + r.text.substr(0, 40);
  return r.failure->display() + " [os error " + std::to_string(r.failure->source ? r.failure->source->os_error : -1) + "]";
}

// A gzip file read both ways: whole (by the fast inflater where the build has one), and by zlib in
// pieces beside the parse. Both must give the same text or the same failure.
ReadResult read_gzip(const std::string& path, int pieces = -1) {
  ReadResult whole = read_source(path, pieces);
  const ReadResult streamed = read_source(path, pieces, ~std::size_t{0});
  EXPECT_EQ(describe(whole), describe(streamed)) << path;
  if (!whole.failure && !streamed.failure) {
    EXPECT_TRUE(whole.text == streamed.text) << path;
  }
  return whole;
}

void expect_io_failure(const ReadResult& r, std::string_view message) {
  ASSERT_TRUE(r.failure.has_value()) << "expected: " << message;
  EXPECT_EQ(r.failure->kind, ReaderErrorKind::IoError);
  EXPECT_EQ(r.failure->message, message);
  EXPECT_FALSE(r.failure->detail.has_value());
  ASSERT_TRUE(r.failure->source.has_value());
}

// A text of `size` bytes with a two-byte and a four-byte character in every line, so sequences fall
// across every boundary of the pieces the inflater hands over.
std::string sample_text(std::size_t size) {
  std::string s;
  for (int line = 0; s.size() < size; ++line) s += "ATOM " + std::to_string(line) + " \xc3\xa9 C \xf0\x9f\x98\x80 1.0\n";
  s.resize(size);
  while (!is_valid_utf8(s)) s.pop_back();
  return s;
}

TEST(Source, OpenFailuresCarryTheSystemTextAndThePath) {
  ScratchDir dir;
  const std::string missing = dir.path("missing.cif");
  const ReadResult r = read_source(missing);
  ASSERT_TRUE(r.failure.has_value());
  EXPECT_EQ(r.failure->kind, ReaderErrorKind::IoError);
  EXPECT_EQ(r.failure->message, "No such file or directory (os error 2)");
  EXPECT_EQ(r.failure->detail, missing);
  EXPECT_EQ(r.failure->source->os_error, 2);
  EXPECT_EQ(r.failure->source->text, "No such file or directory");

  // Path bytes that are not UTF-8 reach the detail unchanged.
  const std::string odd = dir.path("caf\xe9.cif.gz");
  EXPECT_EQ(read_source(odd).failure->detail, odd);

  const std::string with_nul = dir.path("a") + std::string(1, '\0') + "b";
  const ReadResult nul = read_source(with_nul);
  ASSERT_TRUE(nul.failure.has_value());
  EXPECT_EQ(nul.failure->message, "Invalid argument (os error 22)");
  EXPECT_EQ(nul.failure->detail, with_nul);
}

TEST(Source, ADirectoryOpensAndFailsWhileReading) {
  ScratchDir dir;
  std::filesystem::create_directory(dir.path("d.gz"));
  expect_io_failure(read_source(dir.path("")), "Is a directory (os error 21)");
  expect_io_failure(read_source(dir.path("d.gz")), "Is a directory (os error 21)");
}

TEST(Source, PlainFilesAreReadWholeAndChecked) {
  ScratchDir dir;
  const std::string text = sample_text(300000);
  const ReadResult r = read_source(dir.write("a.cif", text));
  ASSERT_FALSE(r.failure);
  EXPECT_EQ(r.text, text);
  EXPECT_EQ(r.fed, text.size());

  EXPECT_EQ(read_source(dir.write("empty.cif", "")).text, "");
  expect_io_failure(read_source(dir.write("mid.cif", "data_x\n\xff\xfe loop_\n")), "stream did not contain valid UTF-8");
  expect_io_failure(read_source(dir.write("end.cif", text + "\xe2\x82")), "stream did not contain valid UTF-8");
  // Gzip data in a file not named .gz is read as text, and it is not UTF-8.
  expect_io_failure(read_source(dir.write("a.cif", gzip_member(text))), "stream did not contain valid UTF-8");
  for (const char* name : {"a.tgz", "a.gzip", ".gz"}) {
    EXPECT_EQ(read_source(dir.write(name, "plain")).text, "plain") << name;
  }
}

TEST(Source, SpecialFilesAreReadToTheirRealEnd) {
  const ReadResult null = read_source("/dev/null");
  ASSERT_FALSE(null.failure);
  EXPECT_EQ(null.text, "");
  // /proc files announce a size of 0.
  const ReadResult status = read_source("/proc/self/status");
  ASSERT_FALSE(status.failure);
  EXPECT_NE(status.text.find("VmRSS"), std::string::npos);
}

// A writer thread feeds a FIFO while the source reads it (size unknown: read, or inflated, whole).
ReadResult read_through_fifo(const ScratchDir& dir, const std::string& name, const std::string& bytes) {
  const std::string path = dir.path(name);
  if (mkfifo(path.c_str(), 0600) != 0) ADD_FAILURE() << "mkfifo failed";
  std::thread writer([&] {
    std::ofstream out(path, std::ios::binary);
    for (std::size_t at = 0; at < bytes.size(); at += 4096) out.write(bytes.data() + at, std::min<std::size_t>(4096, bytes.size() - at));
  });
  ReadResult r = read_source(path);
  writer.join();
  return r;
}

TEST(Source, FifosAreReadUntilTheWriterCloses) {
  ScratchDir dir;
  const std::string text = sample_text(200000);
  EXPECT_EQ(read_through_fifo(dir, "plain.cif", text).text, text);
  // Past 32 MiB the growing text moves from the allocator's memory to a mapping of its own.
  const std::string big = text + std::string(40'000'000, 'x') + text;
  EXPECT_TRUE(read_through_fifo(dir, "big.cif", big).text == big);
  EXPECT_EQ(read_through_fifo(dir, "packed.cif.gz", gzip_member(text) + gzip_member("tail\n")).text, text + "tail\n");
  expect_io_failure(read_through_fifo(dir, "cut.cif.gz", gzip_member(text).substr(0, 5000)), "unexpected end of file");
}

TEST(Source, GzipIsChosenByNameAndEveryMemberIsDecoded) {
  ScratchDir dir;
  const std::string text = sample_text(3'000'000);  // several pieces of the parallel feed
  const std::string packed = gzip_member(text);
  for (const char* name : {"a.cif.gz", "a.GZ", "a.Gz"}) {
    const ReadResult r = read_gzip(dir.write(name, packed));
    ASSERT_FALSE(r.failure) << name << ": " << r.failure->message;
    EXPECT_EQ(r.text, text) << name;
  }
  const std::string second = "second member\n";
  EXPECT_EQ(read_gzip(dir.write("two.gz", packed + gzip_member(second))).text, text + second);
  EXPECT_EQ(read_gzip(dir.write("three.gz", gzip_member("a") + gzip_member("") + gzip_member("b"))).text, "ab");
  // After a complete member, bytes that do not begin another one are ignored.
  for (const std::string& junk : {std::string("junk after the end"), std::string("\x1f"), std::string(100, '\0'), std::string("\x8b\x1f")}) {
    const ReadResult r = read_gzip(dir.write("junk.gz", gzip_member(second) + junk));
    ASSERT_FALSE(r.failure) << r.failure->message;
    EXPECT_EQ(r.text, second);
  }
}

TEST(Source, GzipDecodingFailuresCarryTheDecoderText) {
  ScratchDir dir;
  const std::string text = sample_text(100000);
  const std::string packed = gzip_member(text);
  expect_io_failure(read_gzip(dir.write("plain.cif.gz", text)), "incorrect header check");
  expect_io_failure(read_gzip(dir.write("empty.gz", "")), "unexpected end of file");
  expect_io_failure(read_gzip(dir.write("short.gz", packed.substr(0, packed.size() / 2))), "unexpected end of file");
  expect_io_failure(read_gzip(dir.write("header.gz", packed.substr(0, 5))), "unexpected end of file");
  expect_io_failure(read_gzip(dir.write("notrailer.gz", packed.substr(0, packed.size() - 3))), "unexpected end of file");

  std::string bad_crc = packed;
  bad_crc[bad_crc.size() - 6] ^= 0x55;
  expect_io_failure(read_gzip(dir.write("crc.gz", bad_crc)), "incorrect data check");
  std::string bad_block = packed;
  bad_block[10] = '\xff';  // first block header: reserved block type 3
  expect_io_failure(read_gzip(dir.write("block.gz", bad_block)), "invalid block type");

  // A later member that begins with the magic is decoded, so its damage counts.
  expect_io_failure(read_gzip(dir.write("second.gz", packed + "\x1f\x8b\x63junk")), "unknown compression method");
  expect_io_failure(read_gzip(dir.write("second_cut.gz", packed + gzip_member(text).substr(0, 200))), "unexpected end of file");
  expect_io_failure(read_gzip(dir.write("second_magic.gz", packed + "\x1f\x8b")), "unexpected end of file");

  // The optional header checksum (flag 0x02, after a file name here) is checked.
  std::string named = packed.substr(0, 10) + "a.cif" + std::string(1, '\0');
  named[3] = 0x08 | 0x02;
  const uLong crc = crc32(0, reinterpret_cast<const Bytef*>(named.data()), static_cast<uInt>(named.size()));
  const std::string rest = packed.substr(10);
  EXPECT_EQ(read_gzip(dir.write("hcrc.gz", named + char(crc & 0xff) + char(crc >> 8 & 0xff) + rest)).text, text);
  expect_io_failure(read_gzip(dir.write("badhcrc.gz", named + char(~crc & 0xff) + char(crc >> 8 & 0xff) + rest)),
                    "header crc mismatch");
  expect_io_failure(read_gzip(dir.write("flags.gz", packed.substr(0, 3) + "\x20" + packed.substr(4))),
                    "unknown header flags set");
  std::string bad_length = packed;
  bad_length[bad_length.size() - 1] ^= 0x10;  // a trailer that announces 256 MiB more
  expect_io_failure(read_gzip(dir.write("length.gz", bad_length)), "incorrect length check");
}

TEST(Source, TheInflaterIsNamedForBugReports) {
  const std::string name(inflater_name());
  const std::string expected = detail::have_fast_inflater() ? "isa-l " : "zlib ";
  EXPECT_EQ(name.substr(0, expected.size()), expected);
  EXPECT_GT(name.size(), expected.size());
  EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(name[expected.size()]))) << name;
}

TEST(Source, InvalidUtf8InGzipTextIsAnIoError) {
  ScratchDir dir;
  const std::string text = sample_text(2'000'000);
  const std::string middle = text.substr(0, 1'000'000) + "\xed\xa0\x80" + text.substr(1'000'000);
  const std::string cut_end = text + "\xf0\x9f\x98";
  for (const std::string& bad : {middle, cut_end}) {
    const ReadResult r = read_gzip(dir.write("bad.cif.gz", gzip_member(bad)));
    expect_io_failure(r, "stream did not contain valid UTF-8");
  }
  // The parse is never handed a byte past the fault, whether the text comes whole (then open() refuses
  // it) or in pieces.
  const std::string path = dir.write("bad.cif.gz", gzip_member(middle));
  SourceText whole;
  if (!whole.open(path)) {
    while (whole.more()) {
    }
  }
  EXPECT_LE(whole.ready(), 1'000'000u);
  SourceText pieces;
  pieces.limit_parallel_capacity(~std::size_t{0});
  ASSERT_FALSE(pieces.open(path));
  while (pieces.more()) {
  }
  EXPECT_LE(pieces.ready(), 1'000'000u);
}

TEST(Source, ADecodingFailureOutranksInvalidUtf8AndTheParseStoppingEarly) {
  ScratchDir dir;
  const std::string text = sample_text(3'000'000);
  const std::string packed = gzip_member(text);
  const std::string bad_then_cut = gzip_member("\xff" + text).substr(0, packed.size() - 1000);
  const std::string cut = packed.substr(0, packed.size() - 1000);
  for (int pieces : {-1, 0, 1, 2}) {
    expect_io_failure(read_gzip(dir.write("a.gz", bad_then_cut), pieces), "unexpected end of file");
    expect_io_failure(read_gzip(dir.write("b.gz", cut), pieces), "unexpected end of file");
    expect_io_failure(read_gzip(dir.write("c.gz", gzip_member(text + "\xff")), pieces), "stream did not contain valid UTF-8");
    const ReadResult whole = read_gzip(dir.write("d.gz", packed), pieces);
    ASSERT_FALSE(whole.failure);
    EXPECT_EQ(whole.text, text);
  }
}

TEST(Source, AFeedCutByAFullBufferIsCompletedAndReported) {
  ScratchDir dir;
  const std::string text = sample_text(3'000'000);
  const std::string path = dir.write("a.cif.gz", gzip_member(text) + gzip_member("end\n"));
  const ReadResult r = read_source(path, -1, 700'000);
  ASSERT_FALSE(r.failure);
  EXPECT_TRUE(r.cut);
  EXPECT_LT(r.fed, text.size());
  EXPECT_EQ(r.text, text + "end\n");
  EXPECT_FALSE(read_source(path).cut);
  const std::string bad = dir.write("b.cif.gz", gzip_member(text + "\xc3"));
  expect_io_failure(read_source(bad, -1, 700'000), "stream did not contain valid UTF-8");
  const std::string packed = gzip_member(text);
  const std::string cut = dir.write("c.cif.gz", packed.substr(0, packed.size() - 100));
  expect_io_failure(read_source(cut, -1, 700'000), "unexpected end of file");
}

TEST(Source, DroppingASourceMidwayStopsTheInflater) {
  ScratchDir dir;
  const std::string path = dir.write("a.cif.gz", gzip_member(sample_text(5'000'000)));
  for (int pieces : {0, 1, 3}) {
    SourceText source;
    ASSERT_FALSE(source.open(path));
    for (int i = 0; i < pieces; ++i) source.more();
  }
}

}  // namespace
}  // namespace quarn
