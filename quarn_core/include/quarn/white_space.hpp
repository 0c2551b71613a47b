// Trimming of Unicode White_Space, the rule every value of the reader and every lookup uses.
#pragma once

#include <cstddef>
#include <string_view>

namespace quarn {

// Length of the White_Space code point that starts `s` (its UTF-8 bytes), or 0 when `s` does not
// start with one. Never allocates.
std::size_t leading_white_space_length(std::string_view s) noexcept;
// Length of the White_Space code point that ends `s`, or 0.
std::size_t trailing_white_space_length(std::string_view s) noexcept;

// `s` without leading and trailing White_Space characters (U+0009..U+000D, U+0020, U+0085, U+00A0,
// U+1680, U+2000..U+200A, U+2028, U+2029, U+202F, U+205F, U+3000). A view into `s`.
inline std::string_view trim_white_space(std::string_view s) noexcept {
  // Fast path: most values start and end with a printable ASCII byte.
  if (!s.empty() && static_cast<unsigned char>(s.front()) > 0x20 && static_cast<unsigned char>(s.front()) < 0x80 &&
      static_cast<unsigned char>(s.back()) > 0x20 && static_cast<unsigned char>(s.back()) < 0x80) {
    return s;
  }
  while (std::size_t n = leading_white_space_length(s)) s.remove_prefix(n);
  while (std::size_t n = trailing_white_space_length(s)) s.remove_suffix(n);
  return s;
}

}  // namespace quarn
