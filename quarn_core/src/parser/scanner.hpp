// Stage one of the reader: finds the tokens of a CIF text, a batch at a time, as views into the text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "text_feed.hpp"

namespace quarn::detail {

enum class ScanError : std::uint8_t {
  none,
  unterminated_quote,       // "unterminated quoted value"
  unterminated_text_field,  // "unterminated text field"
};

// Splits the text into tokens: bare words, quoted values (no escapes), text fields. Tokens are views
// into the feed's buffer, so they stay valid for the whole parse; nothing is copied or allocated.
// Reads the feed as it grows: whenever the scan reaches feed.ready() it calls feed.more(), and takes
// a false return as the end of the text.
class Scanner {
 public:
  // Room the caller gives next_batch: a batch never holds more tokens than this.
  static constexpr std::size_t kBatch = 512;

  explicit Scanner(TextFeed& feed) noexcept;

  // Writes the next tokens, in text order, to out[0..kBatch) and returns how many. Zero means the
  // text is finished, or a tokenizer error stopped the scan (see error()). Never allocates.
  std::size_t next_batch(std::string_view* out) noexcept;

  ScanError error() const noexcept { return error_; }
  // After an error: the offset of the quote or ";" that opened the unterminated value.
  std::size_t error_offset() const noexcept { return error_offset_; }

 private:
  enum class Step : std::uint8_t { token, end };

  std::size_t scan_windows(std::string_view* out, std::size_t room) noexcept;
  Step scan_one(std::string_view* out) noexcept;
  Step quoted(char quote, std::string_view* out) noexcept;
  Step text_field(std::string_view* out) noexcept;
  Step bare(std::string_view* out) noexcept;
  void skip_to_line_feed() noexcept;
  bool refill() noexcept;

  TextFeed& feed_;
  const char* base_;       // feed_.data(), re-read after every refill
  std::size_t ready_;      // bytes of the text known so far
  std::size_t pos_ = 0;    // next byte to scan; always between tokens
  bool line_start_ = true; // a ";" here would open a text field
  bool finished_ = false;  // the feed said it has no more bytes
  ScanError error_ = ScanError::none;
  std::size_t error_offset_ = 0;
};

}  // namespace quarn::detail
