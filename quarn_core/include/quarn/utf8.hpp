// UTF-8 validation: the check every decoded text passes before it is parsed, whole or piece by piece.
#pragma once

#include <cstddef>
#include <string_view>

namespace quarn {

struct Utf8Scan {
  std::size_t valid;  // length of the longest prefix made of whole, well-formed sequences
  bool broken;        // the bytes at `valid` can begin no well-formed sequence, whatever follows;
                      // false when they are a sound start cut short by the end of the input
};

// Scans `size` bytes for well-formed UTF-8: no overlong forms, no surrogates (U+D800..U+DFFF), nothing
// above U+10FFFF. A piece that ends inside a sequence is not broken: scan again from `valid` once more
// bytes have arrived. Never allocates, never throws.
Utf8Scan scan_utf8(const char* data, std::size_t size) noexcept;

// True when the whole of `text` is well-formed UTF-8.
inline bool is_valid_utf8(std::string_view text) noexcept {
  return scan_utf8(text.data(), text.size()).valid == text.size();
}

}  // namespace quarn
