// The file source: UTF-8 check, file-name rules, plain and gzip reading, failures and their order.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <zlib.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "parser/byte_source.hpp"
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

// A file read both ways: whole (gzip by the fast inflater where the build has one), and in pieces
// beside the parse (gzip by zlib). Both must give the same text or the same failure.
ReadResult read_both_ways(const std::string& path, int pieces = -1) {
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

TEST(Source, PlainFilesAreReadWholeOrBesideTheParseAndChecked) {
  ScratchDir dir;
  // Small enough to be read whole unless streaming is forced.
  const std::string text = sample_text(100000);
  const ReadResult r = read_both_ways(dir.write("a.cif", text));
  ASSERT_FALSE(r.failure);
  EXPECT_EQ(r.text, text);
  EXPECT_EQ(r.fed, text.size());

  EXPECT_EQ(read_both_ways(dir.write("empty.cif", "")).text, "");
  expect_io_failure(read_both_ways(dir.write("mid.cif", "data_x\n\xff\xfe loop_\n")), "stream did not contain valid UTF-8");
  const std::string middle = text.substr(0, 50000) + "\xed\xa0\x80" + text.substr(50000);
  for (int pieces : {-1, 0, 1}) {
    expect_io_failure(read_both_ways(dir.write("middle.cif", middle), pieces), "stream did not contain valid UTF-8");
    expect_io_failure(read_both_ways(dir.write("end.cif", text + "\xe2\x82"), pieces), "stream did not contain valid UTF-8");
  }
  // Gzip data in a file not named .gz is read as text, and it is not UTF-8.
  expect_io_failure(read_both_ways(dir.write("a.cif", gzip_member(text))), "stream did not contain valid UTF-8");
  for (const char* name : {"a.tgz", "a.gzip", ".gz"}) {
    EXPECT_EQ(read_both_ways(dir.write(name, "plain")).text, "plain") << name;
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
    const ReadResult r = read_both_ways(dir.write(name, packed));
    ASSERT_FALSE(r.failure) << name << ": " << r.failure->message;
    EXPECT_EQ(r.text, text) << name;
  }
  const std::string second = "second member\n";
  EXPECT_EQ(read_both_ways(dir.write("two.gz", packed + gzip_member(second))).text, text + second);
  EXPECT_EQ(read_both_ways(dir.write("three.gz", gzip_member("a") + gzip_member("") + gzip_member("b"))).text, "ab");
  // After a complete member, bytes that do not begin another one are ignored.
  for (const std::string& junk : {std::string("junk after the end"), std::string("\x1f"), std::string(100, '\0'), std::string("\x8b\x1f")}) {
    const ReadResult r = read_both_ways(dir.write("junk.gz", gzip_member(second) + junk));
    ASSERT_FALSE(r.failure) << r.failure->message;
    EXPECT_EQ(r.text, second);
  }
}

TEST(Source, GzipDecodingFailuresCarryTheDecoderText) {
  ScratchDir dir;
  const std::string text = sample_text(100000);
  const std::string packed = gzip_member(text);
  expect_io_failure(read_both_ways(dir.write("plain.cif.gz", text)), "incorrect header check");
  expect_io_failure(read_both_ways(dir.write("empty.gz", "")), "unexpected end of file");
  expect_io_failure(read_both_ways(dir.write("short.gz", packed.substr(0, packed.size() / 2))), "unexpected end of file");
  expect_io_failure(read_both_ways(dir.write("header.gz", packed.substr(0, 5))), "unexpected end of file");
  expect_io_failure(read_both_ways(dir.write("notrailer.gz", packed.substr(0, packed.size() - 3))), "unexpected end of file");

  std::string bad_crc = packed;
  bad_crc[bad_crc.size() - 6] ^= 0x55;
  expect_io_failure(read_both_ways(dir.write("crc.gz", bad_crc)), "incorrect data check");
  std::string bad_block = packed;
  bad_block[10] = '\xff';  // first block header: reserved block type 3
  expect_io_failure(read_both_ways(dir.write("block.gz", bad_block)), "invalid block type");

  // A later member that begins with the magic is decoded, so its damage counts.
  expect_io_failure(read_both_ways(dir.write("second.gz", packed + "\x1f\x8b\x63junk")), "unknown compression method");
  expect_io_failure(read_both_ways(dir.write("second_cut.gz", packed + gzip_member(text).substr(0, 200))), "unexpected end of file");
  expect_io_failure(read_both_ways(dir.write("second_magic.gz", packed + "\x1f\x8b")), "unexpected end of file");

  // The optional header checksum (flag 0x02, after a file name here) is checked.
  std::string named = packed.substr(0, 10) + "a.cif" + std::string(1, '\0');
  named[3] = 0x08 | 0x02;
  const uLong crc = crc32(0, reinterpret_cast<const Bytef*>(named.data()), static_cast<uInt>(named.size()));
  const std::string rest = packed.substr(10);
  EXPECT_EQ(read_both_ways(dir.write("hcrc.gz", named + char(crc & 0xff) + char(crc >> 8 & 0xff) + rest)).text, text);
  expect_io_failure(read_both_ways(dir.write("badhcrc.gz", named + char(~crc & 0xff) + char(crc >> 8 & 0xff) + rest)),
                    "header crc mismatch");
  expect_io_failure(read_both_ways(dir.write("flags.gz", packed.substr(0, 3) + "\x20" + packed.substr(4))),
                    "unknown header flags set");
  std::string bad_length = packed;
  bad_length[bad_length.size() - 1] ^= 0x10;  // a trailer that announces 256 MiB more
  expect_io_failure(read_both_ways(dir.write("length.gz", bad_length)), "incorrect length check");
}

// DEFLATE bits written by hand, least significant first, for blocks no compressor writes.
class BitWriter {
 public:
  void put(std::uint32_t value, int n) {
    for (int k = 0; k < n; ++k, ++count_) {
      if (count_ % 8 == 0) bytes_ += '\0';
      bytes_.back() = static_cast<char>(bytes_.back() | ((value >> k) & 1) << (count_ % 8));
    }
  }
  // A Huffman code goes in from its first bit.
  void code(std::uint32_t value, int n) {
    for (int k = n - 1; k >= 0; --k) put(value >> k & 1, 1);
  }
  std::string bytes() const { return bytes_; }

 private:
  std::string bytes_;
  int count_ = 0;
};

// The canonical codes of `lengths`.
std::vector<std::uint32_t> canonical(const std::vector<int>& lengths) {
  std::vector<std::uint32_t> next(17, 0), codes(lengths.size());
  std::vector<int> count(17, 0);
  for (int n : lengths) count[n] += n > 0;
  for (int n = 1, code = 0; n <= 16; ++n) next[n] = code = (code + count[n - 1]) << 1;
  for (std::size_t s = 0; s < lengths.size(); ++s) {
    if (lengths[s] > 0) codes[s] = next[lengths[s]]++;
  }
  return codes;
}

// A dynamic block holding `text` as literals, with the literal/length and distance code lengths
// given (the code-length code is complete unless `spoil_length_code`).
void dynamic_block(BitWriter& w, bool final, std::vector<int> literal, const std::vector<int>& distance,
                   const std::string& text, bool spoil_length_code = false) {
  std::vector<int> lengths_code(19, 0);
  for (int n : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}) lengths_code[n] = 4;
  if (spoil_length_code) lengths_code[15] = 0;
  w.put(final, 1), w.put(2, 2);
  w.put(static_cast<std::uint32_t>(literal.size() - 257), 5), w.put(static_cast<std::uint32_t>(distance.size() - 1), 5);
  w.put(19 - 4, 4);
  for (int s : {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15}) w.put(lengths_code[s], 3);
  const auto length_codes = canonical(lengths_code);
  literal.insert(literal.end(), distance.begin(), distance.end());
  for (int n : literal) w.code(length_codes[n], 4);
  literal.resize(literal.size() - distance.size());
  const auto codes = canonical(literal);
  for (unsigned char c : text) w.code(codes[c], literal[c]);
  w.code(codes[256], literal[256]);
}

// A gzip member around raw DEFLATE bytes whose text is `text`.
std::string member_of(const std::string& deflated, const std::string& text) {
  std::string m = std::string("\x1f\x8b\x08\0\0\0\0\0\0\x03", 10) + deflated;
  const uLong crc = crc32(0, reinterpret_cast<const Bytef*>(text.data()), static_cast<uInt>(text.size()));
  for (const std::uint64_t v : {std::uint64_t{crc}, std::uint64_t{text.size()}}) {
    for (int k = 0; k < 4; ++k) m += static_cast<char>(v >> (8 * k) & 0xff);
  }
  return m;
}

// Literal code lengths for the bytes of `alphabet` and the end of block: complete when `complete`,
// else one code short.
std::vector<int> literal_lengths(const std::string& alphabet, bool complete, std::size_t symbols = 257) {
  std::vector<int> lengths(symbols, 0);
  // Four codes of two bits are complete; three leave a quarter unused.
  for (std::size_t k = 0; k < 3; ++k) lengths[static_cast<unsigned char>(alphabet[k])] = 2;
  lengths[256] = 2;
  if (!complete) lengths[static_cast<unsigned char>(alphabet[2])] = 0;
  return lengths;
}

TEST(Source, HeadersTheFastInflaterWouldReadAreJudgedAsZlibJudgesThem) {
  ScratchDir dir;
  // A large stored block first, so that the bad block is not the member's first one and the file
  // is large enough to be inflated beside the parse.
  const std::string head = sample_text(200'000);
  std::string first;
  for (std::size_t at = 0; at < head.size(); at += 60'000) {
    const std::string part = head.substr(at, 60'000);
    std::string s("\0", 1);
    for (const std::size_t v : {part.size(), ~part.size()}) s += static_cast<char>(v & 0xff), s += static_cast<char>(v >> 8 & 0xff);
    first += s + part;
  }
  const std::string tail = "abba";
  const auto file = [&](std::vector<int> literal, std::vector<int> distance, bool spoil = false) {
    BitWriter w;
    dynamic_block(w, true, std::move(literal), distance, tail, spoil);
    return member_of(first + w.bytes(), head + tail);
  };
  const ReadResult sound = read_both_ways(dir.write("sound.gz", file(literal_lengths("ab!", true), {1})));
  ASSERT_FALSE(sound.failure) << describe(sound);
  EXPECT_EQ(sound.text, head + tail);
  expect_io_failure(read_both_ways(dir.write("literals.gz", file(literal_lengths("ab!", false), {1}))),
                    "invalid literal/lengths set");
  expect_io_failure(read_both_ways(dir.write("distances.gz", file(literal_lengths("ab!", true), {1, 2}))),
                    "invalid distances set");
  expect_io_failure(read_both_ways(dir.write("lengths.gz", file(literal_lengths("ab!", true), {1}, true))),
                    "invalid code lengths set");
  expect_io_failure(read_both_ways(dir.write("many.gz", file(literal_lengths("ab!", true, 287), {1}))),
                    "too many length or distance symbols");
  // A length whose distance reaches before the text, and a stored block whose lengths disagree.
  BitWriter far;
  far.put(1, 1), far.put(1, 2);
  far.code(0x30 + 'a', 8), far.code(1, 7), far.code(1, 5), far.code(0, 7);
  expect_io_failure(read_both_ways(dir.write("far.gz", member_of(far.bytes(), "aaaa"))), "invalid distance too far back");
  std::string bad_stored = first;
  bad_stored[3] ^= 1;
  expect_io_failure(read_both_ways(dir.write("stored.gz", member_of(bad_stored, head))), "invalid stored block lengths");
}

// Polls peek() until the source stops running, as a parser that must not wait would.
detail::ByteSource::Piece peek_until_stopped(const detail::ByteSource& bytes) {
  for (int i = 0; i < 20'000; ++i) {
    const auto piece = bytes.peek();
    if (piece.progress != detail::ByteSource::Progress::kRunning) return piece;
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  return bytes.peek();
}

TEST(Source, MembersStreamInPiecesAndPeekTellsWhenTheTextIsDecoded) {
  using detail::ByteSource;
  ScratchDir dir;
  // Members empty, tiny and larger than a piece, so that members end inside pieces and across them.
  std::string text, packed;
  for (const std::size_t size : {0, 1, 70'000, 600'000, 1'500'000, 5, 900'000}) {
    const std::string part = sample_text(size) + std::to_string(size) + "\n";
    text += part;
    packed += gzip_member(part);
  }
  const std::string path = dir.write("members.cif.gz", packed + "junk");
  ByteSource bytes;
  ASSERT_FALSE(bytes.open(path));
  ASSERT_TRUE(bytes.streaming());
  const ByteSource::Piece first = bytes.wait(0);
  EXPECT_GT(first.decoded, 0u);
  const ByteSource::Piece end = peek_until_stopped(bytes);
  EXPECT_EQ(end.progress, ByteSource::Progress::kDone);
  EXPECT_EQ(end.decoded, text.size());
  EXPECT_TRUE(std::string_view(bytes.data(), end.decoded) == text);
  ASSERT_FALSE(bytes.finish());
  EXPECT_EQ(bytes.length(), text.size());
  EXPECT_EQ(bytes.peek().progress, ByteSource::Progress::kDone);

  // A damaged last member stops the inflater with a failure that peek() shows and finish() names.
  ByteSource damaged;
  ASSERT_FALSE(damaged.open(dir.write("cut.cif.gz", packed.substr(0, packed.size() - 100))));
  EXPECT_EQ(peek_until_stopped(damaged).progress, ByteSource::Progress::kFailed);
  const auto failure = damaged.finish();
  ASSERT_TRUE(failure.has_value());
  EXPECT_EQ(failure->message, "unexpected end of file");

  // A text produced whole is decoded as soon as open() returns.
  ByteSource small;
  ASSERT_FALSE(small.open(dir.write("small.cif.gz", gzip_member("loop_ _atom_site.id 1\n"))));
  EXPECT_FALSE(small.streaming());
  EXPECT_EQ(small.peek().progress, ByteSource::Progress::kDone);
  EXPECT_EQ(small.peek().decoded, small.length());
}

TEST(Source, TheFastCrcIsZlibs) {
  std::mt19937_64 rng(11);
  std::string bytes(1 << 20, '\0');
  for (char& c : bytes) c = static_cast<char>(rng());
  for (const std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{7}, std::size_t{63}, std::size_t{4097}, bytes.size() - 3}) {
    for (const std::size_t offset : {0, 3}) {
      const auto* data = reinterpret_cast<const Bytef*>(bytes.data() + offset);
      EXPECT_EQ(detail::crc32_of(data, size), crc32_z(0, data, size)) << size << " at " << offset;
    }
  }
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
    const ReadResult r = read_both_ways(dir.write("bad.cif.gz", gzip_member(bad)));
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
    expect_io_failure(read_both_ways(dir.write("a.gz", bad_then_cut), pieces), "unexpected end of file");
    expect_io_failure(read_both_ways(dir.write("b.gz", cut), pieces), "unexpected end of file");
    expect_io_failure(read_both_ways(dir.write("c.gz", gzip_member(text + "\xff")), pieces), "stream did not contain valid UTF-8");
    const ReadResult whole = read_both_ways(dir.write("d.gz", packed), pieces);
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
  // A plain file that outgrows the room read beside the parse (as when it is written meanwhile).
  const ReadResult plain = read_source(dir.write("d.cif", text), -1, 700'000);
  ASSERT_FALSE(plain.failure);
  EXPECT_TRUE(plain.cut);
  EXPECT_TRUE(plain.text == text);
  expect_io_failure(read_source(dir.write("e.cif", text + "\xc3"), -1, 700'000), "stream did not contain valid UTF-8");
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
