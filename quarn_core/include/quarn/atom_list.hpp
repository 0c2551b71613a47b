// The atom list of a Structure: indexable like a vector, grown in fixed blocks that never move.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace quarn {

namespace detail {
// Memory for list blocks, aligned to `alignment` (a power of two, at least alignof(max_align_t));
// regions of 2 MiB and more are offered to the kernel for huge pages. Throws std::bad_alloc.
void* allocate_list_memory(std::size_t bytes, std::size_t alignment);
void release_list_memory(void* memory) noexcept;
}  // namespace detail

// Appending never copies earlier elements: a vector would, at each doubling, hold the old and the new
// array at once and end up to twice too large, which for a million atoms is hundreds of megabytes.
// Here the waste is at most one 2 MiB slab and elements keep their address for their whole life.
template <class T, unsigned kBlockShift = 12>
class BlockList {
 public:
  static constexpr std::size_t kBlockSize = std::size_t{1} << kBlockShift;
  static constexpr std::size_t kMask = kBlockSize - 1;

  BlockList() = default;
  BlockList(BlockList&& other) noexcept
      : blocks_(std::move(other.blocks_)),
        chunks_(std::move(other.chunks_)),
        spare_(std::exchange(other.spare_, nullptr)),
        spare_blocks_(std::exchange(other.spare_blocks_, 0)),
        reserved_(std::exchange(other.reserved_, 0)),
        size_(std::exchange(other.size_, 0)) {
    other.blocks_.clear();
    other.chunks_.clear();
  }
  BlockList& operator=(BlockList&& other) noexcept {
    if (this != &other) {
      destroy();
      blocks_ = std::move(other.blocks_);
      chunks_ = std::move(other.chunks_);
      spare_ = std::exchange(other.spare_, nullptr);
      spare_blocks_ = std::exchange(other.spare_blocks_, 0);
      reserved_ = std::exchange(other.reserved_, 0);
      size_ = std::exchange(other.size_, 0);
      other.blocks_.clear();
      other.chunks_.clear();
    }
    return *this;
  }
  BlockList(const BlockList&) = delete;
  BlockList& operator=(const BlockList&) = delete;
  ~BlockList() { destroy(); }

  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }

  const T& operator[](std::size_t i) const noexcept { return blocks_[i >> kBlockShift][i & kMask]; }
  T& operator[](std::size_t i) noexcept { return blocks_[i >> kBlockShift][i & kMask]; }
  const T& back() const noexcept { return (*this)[size_ - 1]; }
  T& back() noexcept { return (*this)[size_ - 1]; }

  // May throw std::bad_alloc, leaving the list unchanged.
  void push_back(const T& value) {
    if ((size_ & kMask) == 0 && (size_ >> kBlockShift) == blocks_.size()) grow();
    (*this)[size_] = value;
    ++size_;
  }

  void clear() noexcept {
    destroy();
    blocks_.clear();
    chunks_.clear();
    spare_ = nullptr;
    spare_blocks_ = 0;
    reserved_ = 0;
    size_ = 0;
  }

  // Bytes held by the blocks and the block tables.
  std::size_t bytes_reserved() const noexcept {
    return reserved_ + blocks_.capacity() * sizeof(T*) + chunks_.capacity() * sizeof(Chunk);
  }

  // Contiguous run of elements starting at i (up to the end of its block): lets hot loops walk
  // block by block without per-element index arithmetic.
  const T* run(std::size_t i, std::size_t* length) const noexcept {
    const std::size_t in_block = kBlockSize - (i & kMask);
    *length = in_block < size_ - i ? in_block : size_ - i;
    return &(*this)[i];
  }

  template <class List, class Ref>
  class Iter {
   public:
    using iterator_category = std::random_access_iterator_tag;
    using value_type = T;
    using difference_type = std::ptrdiff_t;
    using pointer = std::remove_reference_t<Ref>*;
    using reference = Ref;

    Iter() = default;
    Iter(List* list, std::size_t i) : list_(list), i_(i) {}
    reference operator*() const noexcept { return (*list_)[i_]; }
    pointer operator->() const noexcept { return &(*list_)[i_]; }
    reference operator[](difference_type n) const noexcept { return (*list_)[i_ + n]; }
    Iter& operator++() noexcept { ++i_; return *this; }
    Iter operator++(int) noexcept { Iter t = *this; ++i_; return t; }
    Iter& operator--() noexcept { --i_; return *this; }
    Iter operator--(int) noexcept { Iter t = *this; --i_; return t; }
    Iter& operator+=(difference_type n) noexcept { i_ += n; return *this; }
    Iter& operator-=(difference_type n) noexcept { i_ -= n; return *this; }
    friend Iter operator+(Iter a, difference_type n) noexcept { return a += n; }
    friend Iter operator+(difference_type n, Iter a) noexcept { return a += n; }
    friend Iter operator-(Iter a, difference_type n) noexcept { return a -= n; }
    friend difference_type operator-(const Iter& a, const Iter& b) noexcept {
      return static_cast<difference_type>(a.i_) - static_cast<difference_type>(b.i_);
    }
    friend bool operator==(const Iter& a, const Iter& b) noexcept { return a.i_ == b.i_; }
    friend auto operator<=>(const Iter& a, const Iter& b) noexcept { return a.i_ <=> b.i_; }

   private:
    List* list_ = nullptr;
    std::size_t i_ = 0;
  };
  using iterator = Iter<BlockList, T&>;
  using const_iterator = Iter<const BlockList, const T&>;

  iterator begin() noexcept { return {this, 0}; }
  iterator end() noexcept { return {this, size_}; }
  const_iterator begin() const noexcept { return {this, 0}; }
  const_iterator end() const noexcept { return {this, size_}; }

 private:
  struct Release {
    void operator()(void* memory) const noexcept { detail::release_list_memory(memory); }
  };
  using Chunk = std::unique_ptr<void, Release>;

  static constexpr std::size_t kBlockBytes = kBlockSize * sizeof(T);
  // Why slabs: the first touch of fresh memory costs a page fault per 4 KiB, a third of the time of
  // loading a million atoms. Past a few blocks, blocks come from 2 MiB slabs that the kernel can back
  // with huge pages (one fault per slab); small lists keep block-sized allocations and so stay small.
  static constexpr std::size_t kSlabBytes = std::size_t{2} << 20;
  static constexpr std::size_t kBlocksPerSlab = kBlockBytes < kSlabBytes ? kSlabBytes / kBlockBytes : 1;
  static constexpr std::size_t kSmallBlocks = 4;
  static constexpr std::size_t kAlignment =
      alignof(T) > alignof(std::max_align_t) ? alignof(T) : alignof(std::max_align_t);

  void grow() {
    // Every allocation comes first, so a failure leaves the list as it was.
    if (blocks_.size() == blocks_.capacity()) blocks_.reserve(blocks_.empty() ? 8 : 2 * blocks_.size());
    if (chunks_.size() == chunks_.capacity()) chunks_.reserve(chunks_.empty() ? 8 : 2 * chunks_.size());
    if (spare_blocks_ == 0) {
      const bool slab = kBlocksPerSlab > 1 && blocks_.size() >= kSmallBlocks;
      const std::size_t bytes = slab ? kSlabBytes : kBlockBytes;
      void* memory = detail::allocate_list_memory(bytes, slab ? kSlabBytes : kAlignment);
      chunks_.emplace_back(memory);
      reserved_ += bytes;
      spare_ = static_cast<std::byte*>(memory);
      spare_blocks_ = slab ? kBlocksPerSlab : 1;
    }
    T* block = reinterpret_cast<T*>(spare_);
    std::uninitialized_value_construct_n(block, kBlockSize);  // if it throws, the list is unchanged
    spare_ += kBlockBytes;
    --spare_blocks_;
    blocks_.push_back(block);
  }

  void destroy() noexcept {
    if constexpr (!std::is_trivially_destructible_v<T>) {
      for (T* block : blocks_) std::destroy_n(block, kBlockSize);
    }
  }

  std::vector<T*> blocks_;          // block i holds elements [i * kBlockSize, (i + 1) * kBlockSize)
  std::vector<Chunk> chunks_;       // the memory of the blocks: single blocks, then slabs
  std::byte* spare_ = nullptr;      // the next unused block of the newest slab
  std::size_t spare_blocks_ = 0;
  std::size_t reserved_ = 0;        // bytes of all chunks
  std::size_t size_ = 0;
};

}  // namespace quarn
