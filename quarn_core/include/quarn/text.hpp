// Compact optional texts for atom records: seven bytes each, no heap allocation for short values.
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
static_assert(sizeof(void*) == 8, "Text stores arena pointers in 56 bits of a 64-bit address");

// An optional text in seven bytes (alignment 1), read as a little-endian 56-bit word w:
//   w == 0            absent
//   w odd             inline: low byte = (length << 1) | 1, bytes 1..6 hold up to 6 characters
//   w even, non-zero  pointer to an 8-aligned arena block: [uint64 length][characters]
// Seven bytes rather than eight keep an atom record (eight texts) within 120 bytes. User-space
// pointers on x86-64 stay below 2^56, so a block address always fits.
// Texts that point into an arena are valid as long as that arena lives; a Structure keeps its arena
// beside its atoms, so atom texts live exactly as long as the atoms.
class Text {
 public:
  static constexpr std::size_t kInlineCapacity = 6;
  static constexpr std::size_t kBytes = 7;

  constexpr Text() noexcept = default;

  bool present() const noexcept { return word() != 0; }
  explicit operator bool() const noexcept { return present(); }

  // The characters; empty when absent. Never allocates.
  std::string_view view() const noexcept {
    if (bytes_[0] & 1u) return {reinterpret_cast<const char*>(bytes_) + 1, static_cast<std::size_t>(bytes_[0] >> 1)};
    const std::uint64_t w = word();
    if (w == 0) return {};
    const char* block = reinterpret_cast<const char*>(static_cast<std::uintptr_t>(w));
    std::uint64_t length;
    std::memcpy(&length, block, sizeof length);
    return {block + sizeof length, static_cast<std::size_t>(length)};
  }

  // Whether the characters live in an arena block (and so only as long as that arena).
  bool in_arena() const noexcept { return !(bytes_[0] & 1u) && present(); }

  std::optional<std::string_view> get() const noexcept {
    if (!present()) return std::nullopt;
    return view();
  }

  // Builds an inline text; `s` must be at most kInlineCapacity bytes.
  static Text make_inline(std::string_view s) noexcept {
    Text t;
    t.bytes_[0] = static_cast<unsigned char>((s.size() << 1) | 1u);
    std::memcpy(t.bytes_ + 1, s.data(), s.size());
    return t;
  }

  // The text whose 56-bit word is `w` (its low seven bytes); the caller guarantees a valid layout.
  static Text from_word(std::uint64_t w) noexcept {
    Text t;
    std::memcpy(t.bytes_, &w, kBytes);
    return t;
  }

  // Overwrites this text with the one whose word is `w` (the same layout as from_word). Why not assignment from from_word(): a
  // returned seven-byte object goes through memory and its reload stalls store forwarding, which in
  // the row loop of the parser costs more than the rest of the row.
  void set_word(std::uint64_t w) noexcept { std::memcpy(bytes_, &w, kBytes); }

  // Wraps an arena block laid out as [uint64 length][characters], 8-aligned.
  static Text from_block(const std::byte* block) noexcept {
    return from_word(static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(block)));
  }

  friend bool operator==(const Text& a, const Text& b) noexcept {
    return a.present() == b.present() && a.view() == b.view();
  }

 private:
  std::uint64_t word() const noexcept {
    std::uint64_t w = 0;
    std::memcpy(&w, bytes_, kBytes);
    return w;
  }

  unsigned char bytes_[kBytes] = {};
};

static_assert(sizeof(Text) == 7 && alignof(Text) == 1);

// Owner of the texts too long to sit inline. Blocks never move once written, so a Text stays valid when
// the arena (and the Structure holding it) is moved. Not copyable; blocks are reference-counted so that
// another arena may keep them (share), and the texts pointing into them, alive as well.
class TextArena {
 public:
  TextArena() = default;
  TextArena(TextArena&&) noexcept = default;
  TextArena& operator=(TextArena&&) noexcept = default;
  TextArena(const TextArena&) = delete;
  TextArena& operator=(const TextArena&) = delete;

  // Returns `s` as a Text: inline when it fits, else copied into the arena. May throw std::bad_alloc,
  // also when the memory the arena next needs is not available (fits_in_memory, asked once per
  // 64 MiB of blocks).
  Text store(std::string_view s);

  // Keeps every block of `other` alive as long as this arena, so that a Text pointing into `other`
  // is valid here too, also after `other` is gone. Copies no characters: one reference per arena
  // whose blocks `other` holds or keeps. Reads `other` only, so it may run concurrently with any other reader of it; `other` must
  // not be stored into meanwhile. May throw std::bad_alloc, leaving this arena as it was.
  void share(const TextArena& other);

  // Bytes held in blocks, shared ones included (for memory accounting).
  std::size_t bytes_reserved() const noexcept { return reserved_ + shared_; }

 private:
  // One shared owner per arena, not one per block: a reference count beside every 64 KiB block broke
  // up the heap between them, and the freed blocks stayed in the process.
  struct Blocks {
    std::vector<std::unique_ptr<std::byte[]>> chunks;
  };
  std::shared_ptr<Blocks> own_;                   // made with the first long text
  std::vector<std::shared_ptr<const Blocks>> kept_;  // other arenas' blocks that this one keeps alive
  std::byte* cursor_ = nullptr;  // free space in the newest chunk
  std::size_t left_ = 0;
  std::size_t reserved_ = 0;
  std::size_t shared_ = 0;       // bytes of kept_
  std::size_t next_ask_ = 0;     // reserved_ beyond which the next block is asked for first
};

}  // namespace quarn
