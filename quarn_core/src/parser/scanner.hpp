// Stage one of the reader: finds the tokens of a CIF text, a batch at a time, as views into the text.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "text_feed.hpp"

namespace quarn::detail {

// Whether `t` may close the values of a loop, by its first byte alone: only a tag ("_"), loop_ in any
// case and a data block header ("d") can (ends_loop decides). The window scan flags the same bytes.
// Why a table: this runs once per loop value, and almost no value starts so, so the usual value
// costs one load and one branch.
inline bool may_end_loop(std::string_view t) noexcept {
  static constexpr auto kMayEnd = [] {
    std::array<bool, 256> may{};
    for (const unsigned char c : {'_', 'l', 'L', 'd'}) may[c] = true;
    return may;
  }();
  return !t.empty() && kMayEnd[static_cast<unsigned char>(t[0])];
}

enum class ScanError : std::uint8_t {
  none,
  unterminated_quote,       // "unterminated quoted value"
  unterminated_text_field,  // "unterminated text field"
};

// Splits the text into tokens: bare words, quoted values (no escapes), text fields. Tokens are views
// into the feed's buffer, so they stay valid for the whole parse; nothing is copied or allocated.
// Reads the feed as it grows: whenever the scan reaches feed.ready() it calls feed.more(), and takes
// a false return as the end of the text.
//
// The scan's whole state between tokens is a Position: two scans that pass through the same one give
// the same tokens from there on. That lets a later part of a text be scanned on another thread from a
// line start, and the part before it be checked to arrive there (a fence).
class Scanner {
 public:
  // Room the caller gives next_batch: a batch never holds more tokens than this.
  static constexpr std::size_t kBatch = 512;

  struct Position {
    std::size_t offset;  // next byte to scan
    bool line_start;     // a ";" at `offset` would open a text field
    friend bool operator==(const Position&, const Position&) = default;
  };

  explicit Scanner(TextFeed& feed) noexcept;
  // A scan that starts at `from` (not past feed.ready()) instead of the start of the text.
  Scanner(TextFeed& feed, Position from) noexcept;

  // Writes the next tokens, in text order, to out[0..room) (room at most kBatch) and returns how
  // many. Zero means the text is finished, a tokenizer error stopped the scan (see error()), or the
  // scan stands at its fence (at_fence()). Never allocates.
  std::size_t next_batch(std::string_view* out, std::size_t room = kBatch) noexcept;

  // Of the tokens the last next_batch wrote, how many lead that cannot end a loop (may_end_loop is
  // false for each), so a walk over loop values need not look at them.
  std::size_t plain_tokens() const noexcept { return plain_; }

  // Where the scan stands: after the last token returned.
  Position position() const noexcept { return {pos_, line_start_}; }

  // Makes the scan stop at `offset` (beyond position(), and right after a line feed) should it
  // arrive there between tokens; it then stands at Position{offset, true}. A token, quoted value, text
  // field or comment that runs across the offset drops the fence, and the scan goes on as if there
  // had been none.
  void set_fence(std::size_t offset) noexcept;
  bool at_fence() const noexcept { return at_fence_; }
  // Removes the fence; a scan stopped there goes on from it.
  void drop_fence() noexcept;
  // Removes the fence and moves the scan to `to`, a position that a scan of the same text passes
  // through (found by another scan). Waits for the feed to reach it. Never throws.
  void resume(Position to) noexcept;

  ScanError error() const noexcept { return error_; }
  // After an error: the offset of the quote or ";" that opened the unterminated value.
  std::size_t error_offset() const noexcept { return error_offset_; }

 private:
  enum class Step : std::uint8_t { token, end };

  // `flag`: the batch index of the first token that may end a loop, set when one is met; `at` is the
  // batch index of out[0]. The wide form compares 32 bytes at a time, on CPUs that can.
  template <bool kWide>
  std::size_t windows(std::string_view* out, std::size_t room, std::size_t at, std::size_t& flag) noexcept;
  std::size_t scan_windows(std::string_view* out, std::size_t room, std::size_t at, std::size_t& flag) noexcept;
  std::size_t scan_windows_wide(std::string_view* out, std::size_t room, std::size_t at, std::size_t& flag) noexcept;
  Step scan_one(std::string_view* out) noexcept;
  Step quoted(char quote, std::string_view* out) noexcept;
  Step text_field(std::string_view* out) noexcept;
  Step bare(std::string_view* out) noexcept;
  void skip_to_line_feed() noexcept;
  // More text: false at the end of the text, or at the fence when `between_tokens`.
  bool refill(bool between_tokens = false) noexcept;
  void reload() noexcept;

  TextFeed& feed_;
  const char* base_;       // feed_.data(), re-read after every refill
  std::size_t ready_;      // bytes of the text known so far
  std::size_t pos_ = 0;    // next byte to scan; always between tokens
  bool line_start_ = true; // a ";" here would open a text field
  bool finished_ = false;  // the feed said it has no more bytes
  static constexpr std::size_t kNoFence = ~std::size_t{0};
  std::size_t fence_ = kNoFence;
  bool at_fence_ = false;
  ScanError error_ = ScanError::none;
  std::size_t error_offset_ = 0;
  std::size_t plain_ = 0;
  bool wide_;
};

// For tests: whether scanners made afterwards may use the wide compares (they still need a CPU that
// has them). Allowed unless a test says otherwise.
void allow_wide_windows(bool allowed) noexcept;

}  // namespace quarn::detail
