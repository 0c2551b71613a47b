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
    if (!own_) own_ = std::make_shared<Blocks>();
    own_->chunks.reserve(own_->chunks.size() + 1);  // so push_back cannot throw after the allocation
    auto chunk = std::make_unique_for_overwrite<std::byte[]>(size);
    std::byte* base = chunk.get();
    own_->chunks.push_back(std::move(chunk));
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
  std::vector<std::shared_ptr<const Blocks>> kept = kept_;
  kept.reserve(kept.size() + 1 + other.kept_.size());
  if (other.own_) kept.push_back(other.own_);
  kept.insert(kept.end(), other.kept_.begin(), other.kept_.end());
  kept_ = std::move(kept);
  shared_ += other.reserved_ + other.shared_;
}

}  // namespace quarn
