// The value forms of the reader: trimmed text with its null forms, 32-bit integers and decimals.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "quarn/text.hpp"
#include "quarn/white_space.hpp"

namespace quarn::detail {

// The token trimmed of White_Space, or nothing for the null forms: empty, "." and "?".
// Never allocates.
inline std::optional<std::string_view> text_value(std::string_view token) noexcept {
  const std::string_view t = trim_white_space(token);
  if (t.empty() || (t.size() == 1 && (t[0] == '.' || t[0] == '?'))) return std::nullopt;
  return t;
}

// The word of `s` as an inline Text; `s` must be at most Text::kInlineCapacity bytes.
// Why: nearly every atom text is short, and building the inline word from two overlapping loads,
// without a call or a variable-length copy, is a large part of the row cost.
inline std::uint64_t inline_text_word(std::string_view s) noexcept {
  const std::size_t n = s.size();
  const unsigned char* p = reinterpret_cast<const unsigned char*>(s.data());
  std::uint64_t chars = 0;
  if (n >= 4) {
    std::uint32_t head, tail;
    std::memcpy(&head, p, 4);
    std::memcpy(&tail, p + n - 4, 4);
    chars = head | (std::uint64_t{tail} << (8 * (n - 4)));
  } else if (n > 0) {
    chars = p[0] | (std::uint64_t{p[n / 2]} << (8 * (n / 2))) | (std::uint64_t{p[n - 1]} << (8 * (n - 1)));
  }
  // The inline layout of Text: low byte (length << 1) | 1, then the characters.
  return (chars << 8) | (std::uint64_t{n} << 1) | 1u;
}

// Stores `s` into `target`, inline when it fits, else in `arena`, like TextArena::store. May throw
// std::bad_alloc (only for texts too long to sit inline).
inline void store_text(Text& target, TextArena& arena, std::string_view s) {
  if (s.size() <= Text::kInlineCapacity) {
    target.set_word(inline_text_word(s));
  } else {
    target = arena.store(s);
  }
}

// ASCII case folding, for the names and keywords the reader matches in any case.
inline char ascii_lower(char c) noexcept { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

inline bool is_ascii_digit(char c) noexcept { return static_cast<unsigned char>(c - '0') < 10; }

// Steps over an optional "+" or "-" at p; true for "-".
inline bool take_sign(const char*& p, const char* end) noexcept {
  if (p == end || (*p != '+' && *p != '-')) return false;
  return *p++ == '-';
}

// `text` as a signed 32-bit decimal: an optional sign and one or more ASCII digits, nothing else.
// False when it is not one (out of range included). Never allocates.
inline bool parse_int32(std::string_view text, std::int32_t* value) noexcept {
  const char* p = text.data();
  const char* const end = p + text.size();
  const bool negative = take_sign(p, end);
  if (p == end) return false;
  std::uint64_t magnitude = 0;
  for (; p != end; ++p) {
    if (!is_ascii_digit(*p)) return false;
    magnitude = magnitude * 10 + static_cast<unsigned>(*p - '0');
    if (magnitude > 2147483648u) return false;  // out of range whatever follows
  }
  if (!negative && magnitude > 2147483647u) return false;
  *value = static_cast<std::int32_t>(negative ? -static_cast<std::int64_t>(magnitude)
                                              : static_cast<std::int64_t>(magnitude));
  return true;
}

// The whole decimal grammar and conversion; parse_decimal below takes the common short forms itself.
bool parse_decimal_general(std::string_view text, double* value) noexcept;

// `text` cut before its first "(", read as a decimal literal: optional sign, then digits with an
// optional fraction (or a fraction alone) and an optional exponent, or inf, infinity, nan in any case.
// The value is the nearest double (ties to even), an infinity on overflow. False when the cut text
// is not such a literal. Never allocates.
// The common short forms of parse_decimal alone: an optional "-", digits, an optional fraction, 1 to 15
// digits in all. False, leaving *value as it was, for anything else (which may still be a decimal).
// Such a text is never a null form and has no White_Space at its ends.
inline bool parse_short_decimal(std::string_view text, double* value) noexcept {
  // Why a fast path: coordinates, occupancies and B factors are short plain decimals (-11.980).
  // With at most 15 digits the digits form an exact integer below 2^53 and the power of ten is
  // exact, so one division is correctly rounded.
  static constexpr double kPow10[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
  const char* p = text.data();
  const char* const end = p + text.size();
  const bool negative = p != end && *p == '-';
  p += negative;
  const char* const first = p;
  std::uint64_t digits = 0;
  while (p != end && is_ascii_digit(*p)) digits = digits * 10 + static_cast<unsigned>(*p++ - '0');
  std::size_t count = static_cast<std::size_t>(p - first);
  std::size_t fraction = 0;
  if (p != end && *p == '.') {
    const char* const point = ++p;
    while (p != end && is_ascii_digit(*p)) digits = digits * 10 + static_cast<unsigned>(*p++ - '0');
    fraction = static_cast<std::size_t>(p - point);
    count += fraction;
  }
  if (p != end || count == 0 || count > 15) return false;
  const double v = static_cast<double>(digits) / kPow10[fraction];
  *value = negative ? -v : v;
  return true;
}

inline bool parse_decimal(std::string_view text, double* value) noexcept {
  return parse_short_decimal(text, value) || parse_decimal_general(text, value);
}

// A loop value that did not convert. The message also names the column's tag, which the caller
// supplies: the value itself cannot know it.
struct ValueFailure {
  enum class Form : std::uint8_t {
    numeric_literal,  // "invalid numeric literal '...' for ..." (decimals)
    integer_literal,  // "invalid integer literal '...' for ..." (atom-site integers)
    integer,          // "invalid integer '...' for ..." (struct-conn sequence numbers)
  } form;
  std::string_view value;  // as the message shows it: cut at "(" for decimals, trimmed for integers
};
std::string value_failure_message(const ValueFailure& failure, std::string_view tag);

// `text` up to, not including, its first "(" (the part a decimal is read from).
inline std::string_view cut_at_parenthesis(std::string_view text) noexcept {
  const std::size_t at = text.find('(');
  return at == std::string_view::npos ? text : text.substr(0, at);
}

}  // namespace quarn::detail
