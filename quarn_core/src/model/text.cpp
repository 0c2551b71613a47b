#include "quarn/text.hpp"

#include <algorithm>
#include <new>

#include "quarn/memory.hpp"

namespace quarn {

namespace {
constexpr std::size_t kChunkSize = 64 * 1024;
constexpr std::size_t align8(std::size_t n) { return (n + 7) & ~std::size_t{7}; }
}  // namespace

Text TextArena::store(std::string_view s) {
  if (s.size() <= Text::kInlineCapacity) return Text::make_inline(s);
  const std::size_t need = align8(sizeof(std::uint64_t) + s.size());
  if (need > left_) {
    // Long texts are rare in atom records; a text bigger than a chunk gets a block of its own so the
    // current chunk keeps its free space.
    const std::size_t size = std::max(need, kChunkSize);
    if (reserved_ + size > next_ask_) {
      if (reserved_ + size > kAlwaysFits && !fits_in_memory(std::max<std::uint64_t>(size, kAlwaysFits))) {
        throw std::bad_alloc();
      }
      next_ask_ = reserved_ + size + kAlwaysFits;
    }
    chunks_.reserve(chunks_.size() + 1);  // so push_back cannot throw after the allocation
    std::shared_ptr<std::byte[]> chunk(new std::byte[size]);
    std::byte* base = chunk.get();
    chunks_.push_back({std::move(chunk), size});
    reserved_ += size;
    if (need > kChunkSize) {
      const std::uint64_t length = s.size();
      std::memcpy(base, &length, sizeof length);
      std::memcpy(base + sizeof length, s.data(), s.size());
      return Text::from_block(base);
    }
    cursor_ = base;
    left_ = size;
  }
  std::byte* block = cursor_;
  const std::uint64_t length = s.size();
  std::memcpy(block, &length, sizeof length);
  std::memcpy(block + sizeof length, s.data(), s.size());
  cursor_ += need;
  left_ -= need;
  return Text::from_block(block);
}

void TextArena::share(const TextArena& other) {
  std::vector<Block> kept = kept_;
  kept.reserve(kept.size() + other.chunks_.size() + other.kept_.size());
  std::size_t bytes = 0;
  for (const auto* from : {&other.chunks_, &other.kept_}) {
    for (const Block& b : *from) {
      kept.push_back(b);
      bytes += b.bytes;
    }
  }
  kept_ = std::move(kept);
  shared_ += bytes;
}

}  // namespace quarn
