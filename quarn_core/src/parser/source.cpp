#include "source.hpp"

#include "quarn/utf8.hpp"

namespace quarn::detail {

namespace {

constexpr std::string_view kNotUtf8 = "stream did not contain valid UTF-8";

}  // namespace

std::optional<ReaderError> SourceText::open(std::string_view path) {
  if (auto failure = bytes_.open(path)) return failure;
  data_ = bytes_.data();
  if (bytes_.streaming()) {
    size_hint_ = bytes_.announced();
    return std::nullopt;
  }
  stopped_ = true;
  size_hint_ = bytes_.length();
  return check_rest();
}

std::optional<ReaderError> SourceText::check_rest() {
  const std::size_t rest = bytes_.length() - ready_;
  if (broken_utf8_ || scan_utf8(data_ + ready_, rest).valid != rest) return io_failure(kNotUtf8);
  ready_ = bytes_.length();
  return std::nullopt;
}

bool SourceText::more() noexcept {
  if (stopped_) return false;
  for (;;) {
    const ByteSource::Piece piece = bytes_.wait(seen_);
    seen_ = piece.decoded;
    // A failed source ends the feed at once: its failure is the result, whatever the parse finds.
    if (piece.progress == ByteSource::Progress::kFailed || piece.progress == ByteSource::Progress::kOutOfMemory ||
        piece.progress == ByteSource::Progress::kTooLarge) {
      break;
    }
    const Utf8Scan scan = scan_utf8(data_ + ready_, piece.decoded - ready_);
    if (scan.broken) {
      broken_utf8_ = true;
      break;
    }
    if (scan.valid > 0) {
      ready_ += scan.valid;
      return true;
    }
    // Nothing new is complete: wait for more, unless no more is coming (a cut sequence at the very
    // end, or a full buffer, is judged by finish()).
    if (piece.progress != ByteSource::Progress::kRunning) break;
  }
  stopped_ = true;
  return false;
}

std::size_t SourceText::whole_length() noexcept {
  if (!bytes_.streaming()) return ready_;
  // The buffer of a finished inflater never moves again: only a full one (kFull) is continued elsewhere.
  const ByteSource::Piece piece = bytes_.peek();
  return piece.progress == ByteSource::Progress::kDone ? piece.decoded : 0;
}

std::optional<ReaderError> SourceText::finish() {
  if (!bytes_.streaming()) return std::nullopt;  // checked whole by open()
  // Check the text the parse did not ask for; the worker meanwhile decodes to the end of the file,
  // where a decoding failure still outranks invalid UTF-8 met earlier.
  while (more()) {
  }
  if (auto failure = bytes_.finish()) return failure;
  data_ = bytes_.data();
  return check_rest();
}

}  // namespace quarn::detail
