// The decoded text of one file, checked as UTF-8 and handed to the parser.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "byte_source.hpp"
#include "quarn/reader.hpp"
#include "text_feed.hpp"

namespace quarn::detail {

// A text produced whole (see ByteSource) is checked whole by open(). A text inflated beside the parse
// is checked piece by piece: more() hands the parser each piece once it has passed.
//
// What callers observe is still "read everything, check UTF-8, then parse": after the parse, finish()
// drains the rest of the file and reports the failure that sequence meets first (a read or decoding
// failure anywhere, then invalid UTF-8 anywhere), which takes precedence over the parse's outcome.
class SourceText final : public TextFeed {
 public:
  // Opens `path` (raw bytes); for a text produced whole also checks it. A failure to open carries the
  // path as detail, later failures none. Call once. May throw std::bad_alloc.
  std::optional<ReaderError> open(std::string_view path);

  // Waits for the next checked piece. Never throws.
  bool more() noexcept override;
  std::size_t whole_length() noexcept override;

  // Reads, decodes and checks whatever the parse left; returns the source's first failure, or nothing
  // when the whole text is sound, and then [data(), data() + ready()) is all of it. Call once, after the
  // parse. May throw std::bad_alloc, also when the decoder ran out of memory.
  std::optional<ReaderError> finish();

  // True when the feed ended before the text did: the file outgrew its reserved worst case while being
  // read (it was written to meanwhile), finish() continued into a larger buffer, and the parse, which
  // saw only a prefix, has to run again over the whole text.
  bool feed_was_cut() const noexcept { return bytes_.was_cut(); }

  // Before open(): inflate gzip with zlib, and read plain text, beside the parse, into at most
  // `bytes` (for exercising the pieces, a cut feed and the zlib path in any build).
  void limit_parallel_capacity(std::size_t bytes) noexcept { bytes_.stream_with_zlib(bytes); }

 private:
  std::optional<ReaderError> check_rest();

  ByteSource bytes_;
  std::size_t seen_ = 0;      // decoded bytes already looked at
  bool stopped_ = false;      // more() has returned false
  bool broken_utf8_ = false;  // a sequence before `seen_` can never be valid
};

}  // namespace quarn::detail
