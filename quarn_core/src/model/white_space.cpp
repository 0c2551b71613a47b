#include "quarn/white_space.hpp"

namespace quarn {

namespace {

bool ascii_space(unsigned char c) noexcept { return c == ' ' || (c >= 0x09 && c <= 0x0d); }

// Non-ASCII White_Space as UTF-8: C2 85, C2 A0, E1 9A 80, E2 80 80..8A, E2 80 A8, E2 80 A9,
// E2 80 AF, E2 81 9F, E3 80 80.
std::size_t sequence_length(unsigned char b0, unsigned char b1, unsigned char b2, std::size_t avail) noexcept {
  if (avail >= 2 && b0 == 0xc2 && (b1 == 0x85 || b1 == 0xa0)) return 2;
  if (avail < 3) return 0;
  if (b0 == 0xe1 && b1 == 0x9a && b2 == 0x80) return 3;
  if (b0 == 0xe2 && b1 == 0x80 && ((b2 >= 0x80 && b2 <= 0x8a) || b2 == 0xa8 || b2 == 0xa9 || b2 == 0xaf)) return 3;
  if (b0 == 0xe2 && b1 == 0x81 && b2 == 0x9f) return 3;
  if (b0 == 0xe3 && b1 == 0x80 && b2 == 0x80) return 3;
  return 0;
}

unsigned char at(std::string_view s, std::size_t i) noexcept {
  return i < s.size() ? static_cast<unsigned char>(s[i]) : 0;
}

}  // namespace

std::size_t leading_white_space_length(std::string_view s) noexcept {
  if (s.empty()) return 0;
  if (ascii_space(at(s, 0))) return 1;
  return sequence_length(at(s, 0), at(s, 1), at(s, 2), s.size());
}

std::size_t trailing_white_space_length(std::string_view s) noexcept {
  const std::size_t n = s.size();
  if (n == 0) return 0;
  if (ascii_space(at(s, n - 1))) return 1;
  if (n >= 2 && sequence_length(at(s, n - 2), at(s, n - 1), 0, 2) == 2) return 2;
  if (n >= 3 && sequence_length(at(s, n - 3), at(s, n - 2), at(s, n - 1), 3) == 3) return 3;
  return 0;
}

}  // namespace quarn
