#include "deflate_check.hpp"

#include <cstdint>

namespace quarn::detail {

namespace {

constexpr int kMaxBits = 15;

// Least significant bit first, as DEFLATE packs them; reading past the end is remembered.
class BitReader {
 public:
  BitReader(const unsigned char* data, std::size_t size, std::size_t bit) noexcept
      : data_(data), size_(size), bit_(bit) {}

  std::uint32_t take(int n) noexcept {
    std::uint32_t value = 0;
    for (int k = 0; k < n; ++k, ++bit_) {
      const std::size_t byte = bit_ >> 3;
      if (byte >= size_) {
        overrun_ = true;
        continue;
      }
      value |= static_cast<std::uint32_t>((data_[byte] >> (bit_ & 7)) & 1) << k;
    }
    return value;
  }
  bool overrun() const noexcept { return overrun_; }

 private:
  const unsigned char* data_;
  std::size_t size_;
  std::size_t bit_;
  bool overrun_ = false;
};

// A canonical Huffman code, as counts per length and its symbols sorted by code.
struct Code {
  std::uint16_t count[kMaxBits + 1];
  std::uint16_t sorted[320];
  int max_length;
};

enum class Shape { kComplete, kIncomplete, kEmpty, kOversubscribed };

Shape build(Code& code, const std::uint8_t* lengths, int n) noexcept {
  for (auto& c : code.count) c = 0;
  for (int s = 0; s < n; ++s) ++code.count[lengths[s]];
  code.count[0] = 0;
  code.max_length = 0;
  int left = 1;
  for (int len = 1; len <= kMaxBits; ++len) {
    left <<= 1;
    left -= code.count[len];
    if (left < 0) return Shape::kOversubscribed;
    if (code.count[len] != 0) code.max_length = len;
  }
  std::uint16_t offsets[kMaxBits + 2];
  offsets[1] = 0;
  for (int len = 1; len <= kMaxBits; ++len) offsets[len + 1] = static_cast<std::uint16_t>(offsets[len] + code.count[len]);
  for (int s = 0; s < n; ++s) {
    if (lengths[s] != 0) code.sorted[offsets[lengths[s]]++] = static_cast<std::uint16_t>(s);
  }
  if (code.max_length == 0) return Shape::kEmpty;
  return left > 0 ? Shape::kIncomplete : Shape::kComplete;
}

// zlib's rule for the literal/length and the distance code: an incomplete code is refused unless it
// is a single code of one bit.
bool acceptable(Shape shape, const Code& code) noexcept {
  return shape == Shape::kComplete || (shape == Shape::kIncomplete && code.max_length == 1);
}

// The next symbol, a bit at a time (a header has a few hundred), or -1 when the bits match no code.
int decode(BitReader& in, const Code& code) noexcept {
  int first = 0, index = 0, value = 0;
  for (int len = 1; len <= kMaxBits; ++len) {
    value |= static_cast<int>(in.take(1));
    const int count = code.count[len];
    if (value - first < count) return code.sorted[index + value - first];
    index += count;
    first = (first + count) << 1;
    value <<= 1;
  }
  return -1;
}

// A dynamic header after its first three bits, judged by the rules zlib applies to it.
bool dynamic_header_sound(BitReader& in) noexcept {
  const int literals = static_cast<int>(in.take(5)) + 257;
  const int distances = static_cast<int>(in.take(5)) + 1;
  const int code_lengths = static_cast<int>(in.take(4)) + 4;
  if (literals > 286 || distances > 30) return false;
  static constexpr std::uint8_t kOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
  std::uint8_t lengths[320] = {};
  for (int i = 0; i < code_lengths; ++i) lengths[kOrder[i]] = static_cast<std::uint8_t>(in.take(3));
  Code code;
  if (build(code, lengths, 19) != Shape::kComplete) return false;
  const int total = literals + distances;
  std::uint8_t symbols[320] = {};
  for (int i = 0; i < total;) {
    const int symbol = decode(in, code);
    if (symbol < 0 || in.overrun()) return false;
    if (symbol < 16) {
      symbols[i++] = static_cast<std::uint8_t>(symbol);
      continue;
    }
    int repeat;
    std::uint8_t value = 0;
    if (symbol == 16) {
      if (i == 0) return false;
      value = symbols[i - 1];
      repeat = 3 + static_cast<int>(in.take(2));
    } else if (symbol == 17) {
      repeat = 3 + static_cast<int>(in.take(3));
    } else {
      repeat = 11 + static_cast<int>(in.take(7));
    }
    if (i + repeat > total) return false;
    while (repeat-- > 0) symbols[i++] = value;
  }
  if (in.overrun() || symbols[256] == 0) return false;
  if (!acceptable(build(code, symbols, literals), code)) return false;
  const Shape distance_shape = build(code, symbols + literals, distances);
  return distance_shape == Shape::kEmpty || acceptable(distance_shape, code);
}

}  // namespace

bool block_header_sound(const unsigned char* data, std::size_t size, std::size_t bit) noexcept {
  BitReader in(data, size, bit);
  in.take(1);  // the final-block flag
  switch (in.take(2)) {
    case 0: {
      // Stored: its two lengths start at the next byte.
      BitReader lengths(data, size, (bit + 3 + 7) / 8 * 8);
      const std::uint32_t length = lengths.take(16);
      return (lengths.take(16) ^ 0xffff) == length && !lengths.overrun();
    }
    case 1:
      return !in.overrun();
    case 2:
      return dynamic_header_sound(in);
    default:
      return false;
  }
}

}  // namespace quarn::detail
