// Compact optional texts for atom records: eight bytes each, no heap allocation for short values.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

namespace quarn {

static_assert(std::endian::native == std::endian::little, "Text packs its inline bytes little-endian");
static_assert(sizeof(void*) == 8, "Text stores arena pointers in 64 bits");

// An optional text in one 64-bit word.
//   0                 absent
//   odd low byte      inline: low byte = (length << 1) | 1, bytes 1..7 hold up to 7 characters
//   even, non-zero    pointer to an 8-aligned arena block: [uint64 length][characters]
// Texts that point into an arena are valid as long as that arena lives; a Structure keeps its arena
// beside its atoms, so atom texts live exactly as long as the atoms.
class Text {
 public:
  static constexpr std::size_t kInlineCapacity = 7;

  constexpr Text() noexcept = default;

  bool present() const noexcept { return bits_ != 0; }
  explicit operator bool() const noexcept { return present(); }

  // The characters; empty when absent. Never allocates.
  std::string_view view() const noexcept {
    if (bits_ & 1u) {
      return {reinterpret_cast<const char*>(&bits_) + 1, static_cast<std::size_t>((bits_ & 0xffu) >> 1)};
    }
    if (bits_ == 0) return {};
    const char* block = reinterpret_cast<const char*>(static_cast<std::uintptr_t>(bits_));
    std::uint64_t length;
    std::memcpy(&length, block, sizeof length);
    return {block + sizeof length, static_cast<std::size_t>(length)};
  }

  std::optional<std::string_view> get() const noexcept {
    if (!present()) return std::nullopt;
    return view();
  }

  // Builds an inline text; `s` must be at most kInlineCapacity bytes.
  static Text make_inline(std::string_view s) noexcept {
    Text t;
    t.bits_ = (static_cast<std::uint64_t>(s.size()) << 1) | 1u;
    std::memcpy(reinterpret_cast<char*>(&t.bits_) + 1, s.data(), s.size());
    return t;
  }

  // Wraps an arena block laid out as [uint64 length][characters], 8-aligned.
  static Text from_block(const std::byte* block) noexcept {
    Text t;
    t.bits_ = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(block));
    return t;
  }

  friend bool operator==(const Text& a, const Text& b) noexcept {
    return a.present() == b.present() && a.view() == b.view();
  }

 private:
  std::uint64_t bits_ = 0;
};

static_assert(sizeof(Text) == 8);

// Owner of the texts too long to sit inline. Blocks never move once written, so a Text stays valid when
// the arena (and the Structure holding it) is moved. Not copyable.
class TextArena {
 public:
  TextArena() = default;
  TextArena(TextArena&&) noexcept = default;
  TextArena& operator=(TextArena&&) noexcept = default;
  TextArena(const TextArena&) = delete;
  TextArena& operator=(const TextArena&) = delete;

  // Returns `s` as a Text: inline when it fits, else copied into the arena. May throw std::bad_alloc.
  Text store(std::string_view s);

  // Bytes held in blocks (for memory accounting).
  std::size_t bytes_reserved() const noexcept { return reserved_; }

 private:
  std::vector<std::unique_ptr<std::byte[]>> chunks_;
  std::byte* cursor_ = nullptr;  // free space in the newest chunk
  std::size_t left_ = 0;
  std::size_t reserved_ = 0;
};

}  // namespace quarn
