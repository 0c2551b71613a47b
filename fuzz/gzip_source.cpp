// The gzip harness: arbitrary bytes as the content of a .gz file, loaded through the real file
// source both ways (inflated whole by the build's inflater, and by zlib on the thread beside the
// parse, checked as the text arrives), and held to an independent decoding of the same bytes with
// zlib: every member in turn, stopping at bytes that do not start another. The same bytes are also
// loaded as a plain file.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "harness.hpp"
#include "parser/load.hpp"
#include "quarn/utf8.hpp"
#include "reader_support.hpp"

namespace quarn::fuzz {

namespace {

// The text of every gzip member of `bytes`, or nothing when a member is damaged or cut short.
std::optional<std::string> inflate_members(const std::uint8_t* bytes, std::size_t size) {
  std::string text;
  std::size_t at = 0;
  bool first = true;
  for (;;) {
    if (!first && (size - at < 2 || bytes[at] != 0x1f || bytes[at + 1] != 0x8b)) return text;
    first = false;
    z_stream z{};
    if (inflateInit2(&z, 15 + 16) != Z_OK) fail("zlib initialises");
    z.next_in = const_cast<Bytef*>(bytes + at);
    z.avail_in = static_cast<uInt>(size - at);
    int r = Z_OK;
    char out[16384];
    while (r == Z_OK) {
      z.next_out = reinterpret_cast<Bytef*>(out);
      z.avail_out = sizeof out;
      r = inflate(&z, Z_NO_FLUSH);
      text.append(out, sizeof out - z.avail_out);
    }
    at += z.total_in;
    inflateEnd(&z);
    if (r != Z_STREAM_END) return std::nullopt;
  }
}

// A scratch directory made once per process and removed, with the two files it holds, at exit.
char scratch_dir[] = "/tmp/quarn-fuzz-XXXXXX";
constexpr const char* kScratchFiles[] = {"fuzz.cif.gz", "fuzz.cif"};

void remove_scratch() {
  for (const char* name : kScratchFiles) ::unlink((std::string(scratch_dir) + "/" + name).c_str());
  ::rmdir(scratch_dir);
}

std::string scratch_path(const char* name) {
  static const bool made = [] {
    if (mkdtemp(scratch_dir) == nullptr) fail("a scratch directory can be made");
    std::atexit(remove_scratch);
    return true;
  }();
  (void)made;
  return std::string(scratch_dir) + "/" + name;
}

void write_file(const std::string& path, const std::uint8_t* data, std::size_t size) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) fail("the scratch file can be written");
  for (std::size_t done = 0; done < size;) {
    const ssize_t n = ::write(fd, data + done, size - done);
    if (n <= 0) fail("the scratch file can be written");
    done += static_cast<std::size_t>(n);
  }
  ::close(fd);
}

// What load_structure must give for a text that was read whole: the parse, with the file stem as the
// entry id when the text names none.
std::string expected_load(std::string_view text, std::string_view stem) {
  auto parsed = parse_text(text, true);
  if (parsed && !parsed->entry_id) parsed->entry_id = std::string(stem);
  return testing::outcome(parsed);
}

void check_source_failure(const Expected<Structure, ReaderError>& loaded, std::string_view rule) {
  check(!loaded && loaded.error().kind == ReaderErrorKind::IoError && !loaded.error().detail &&
            loaded.error().source.has_value(),
        rule);
}

}  // namespace

void gzip_source(const std::uint8_t* data, std::size_t size) {
  const std::string packed = scratch_path(kScratchFiles[0]);
  write_file(packed, data, size);

  const auto loaded = load_structure(packed);
  // The same file again inflated by zlib beside the parse, with a buffer too small for the text: the
  // feed is cut, the rest is inflated after the parse, and the parse runs again over the whole.
  detail::SourceText small;
  small.limit_parallel_capacity(4096);
  const auto cut = detail::load_with(small, packed);
  check(testing::outcome(loaded) == testing::outcome(cut), "the same outcome with a feed cut by a full buffer");

  const std::optional<std::string> text = inflate_members(data, size);
  if (!text) {
    check_source_failure(loaded, "a damaged or cut gzip member is an I/O error");
  } else if (!is_valid_utf8(*text)) {
    check_source_failure(loaded, "decoded text that is not UTF-8 is an I/O error");
    check(loaded.error().message == "stream did not contain valid UTF-8", "with the UTF-8 message");
  } else {
    check(testing::outcome(loaded) == expected_load(*text, "fuzz.cif"), "a sound gzip file loads as its text parses");
  }

  // The bytes as a plain file.
  const std::string plain = scratch_path(kScratchFiles[1]);
  write_file(plain, data, size);
  const auto as_text = load_structure(plain);
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  if (!is_valid_utf8(bytes)) {
    check_source_failure(as_text, "a plain file that is not UTF-8 is an I/O error");
  } else {
    check(testing::outcome(as_text) == expected_load(bytes, "fuzz"), "a plain file loads as its text parses");
  }
}

}  // namespace quarn::fuzz
