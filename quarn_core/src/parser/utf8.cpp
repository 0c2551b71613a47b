#include "quarn/utf8.hpp"

#include <cstdint>
#include <cstring>

namespace quarn {

namespace {

constexpr std::uint64_t kHighBits = 0x8080808080808080u;

std::uint64_t load64(const unsigned char* p) noexcept {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

}  // namespace

Utf8Scan scan_utf8(const char* data, std::size_t size) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(data);
  std::size_t i = 0;
  while (i < size) {
    // Structure files are almost all ASCII: test 16 bytes per step and, when a block holds a high
    // byte, jump straight to it (bytes are little-endian, so the lowest set bit is the first byte).
    if (size - i >= 16) {
      const std::uint64_t a = load64(p + i) & kHighBits;
      const std::uint64_t b = load64(p + i + 8) & kHighBits;
      if ((a | b) == 0) {
        i += 16;
        continue;
      }
      i += a != 0 ? static_cast<std::size_t>(__builtin_ctzll(a)) / 8
                  : 8 + static_cast<std::size_t>(__builtin_ctzll(b)) / 8;
    } else if (p[i] < 0x80) {
      ++i;
      continue;
    }

    // A lead byte, checked against the table of well-formed sequences: the second byte's range is
    // narrowed after E0, ED, F0 and F4, which excludes overlong forms, surrogates and values past
    // U+10FFFF without decoding the code point.
    const unsigned lead = p[i];
    std::size_t length;
    unsigned low = 0x80, high = 0xbf;
    if (lead >= 0xc2 && lead <= 0xdf) {
      length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
      length = 3;
      if (lead == 0xe0) low = 0xa0;
      if (lead == 0xed) high = 0x9f;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
      length = 4;
      if (lead == 0xf0) low = 0x90;
      if (lead == 0xf4) high = 0x8f;
    } else {
      return {i, true};
    }
    const std::size_t left = size - i;
    if (left < 2) return {i, false};
    if (p[i + 1] < low || p[i + 1] > high) return {i, true};
    for (std::size_t k = 2; k < length; ++k) {
      if (left <= k) return {i, false};
      if ((p[i + k] & 0xc0) != 0x80) return {i, true};
    }
    i += length;
  }
  return {size, false};
}

}  // namespace quarn
