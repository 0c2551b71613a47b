// The atom list of a Structure: indexable like a vector, grown in 2 MiB blocks that are never copied.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "quarn/memory.hpp"

namespace quarn {

namespace detail {
// Memory for list blocks, aligned to `alignment` (a power of two, at least alignof(max_align_t));
// regions of 2 MiB and more are offered to the kernel for huge pages. Throws std::bad_alloc.
void* allocate_list_memory(std::size_t bytes, std::size_t alignment);
void release_list_memory(void* memory) noexcept;
// One full block of a BlockList: 2 MiB, aligned to a huge page and offered for one, mapped from the
// kernel. Throws std::bad_alloc.
// Why not the allocator: once it serves such blocks from a thread's own arena (as it does after a
// large free has raised its mapping threshold), aligned blocks fragment the arena, and a process that
// loaded entry after entry on several threads grew by megabytes each time.
void* allocate_full_block();
void release_full_block(void* block) noexcept;
// Offers the whole 2 MiB pages inside [memory, memory + bytes) to the kernel for huge pages, before
// they are first touched. Only advice; never fails.
void advise_huge_pages(void* memory, std::size_t bytes) noexcept;
// Has the kernel fault in the whole pages inside [memory, memory + bytes) now, zero-filled where they
// were untouched and unchanged where they were not, so that another thread can pay for the faults
// before the owner writes there. Only a hint; never fails.
void prefault(const void* memory, std::size_t bytes) noexcept;
}  // namespace detail

// Why not std::vector: at each doubling a vector holds the old and the new array at once and ends up
// to twice too large, which for a million atoms is hundreds of megabytes. Here every block but the
// first is exactly one 2 MiB huge page (the first touch of fresh memory then costs one fault per block
// instead of 512, a third of the time of loading a million atoms), so a list wastes at most one block.
// The first block grows like a vector up to full size, which keeps small lists small; elements may
// move while it grows, never afterwards.
template <class T>
class BlockList {
 public:
  static constexpr std::size_t kBlockBytes = std::size_t{2} << 20;
  static constexpr std::size_t kBlockSize = kBlockBytes / sizeof(T);  // elements per full block
  static_assert(kBlockSize >= 16, "elements must be much smaller than a block");

  BlockList() = default;
  BlockList(BlockList&& other) noexcept
      : blocks_(std::move(other.blocks_)),
        first_capacity_(std::exchange(other.first_capacity_, 0)),
        size_(std::exchange(other.size_, 0)) {
    other.blocks_.clear();
  }
  BlockList& operator=(BlockList&& other) noexcept {
    if (this != &other) {
      release();
      blocks_ = std::move(other.blocks_);
      first_capacity_ = std::exchange(other.first_capacity_, 0);
      size_ = std::exchange(other.size_, 0);
      other.blocks_.clear();
    }
    return *this;
  }
  BlockList(const BlockList&) = delete;
  BlockList& operator=(const BlockList&) = delete;
  ~BlockList() { release(); }

  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }

  // A division by a constant compiles to a multiplication and a shift.
  const T& operator[](std::size_t i) const noexcept { return blocks_[i / kBlockSize][i % kBlockSize]; }
  T& operator[](std::size_t i) noexcept { return blocks_[i / kBlockSize][i % kBlockSize]; }
  const T& back() const noexcept { return (*this)[size_ - 1]; }
  T& back() noexcept { return (*this)[size_ - 1]; }

  // May throw std::bad_alloc (or what T's constructors throw), leaving the list unchanged.
  void push_back(const T& value) {
    if (size_ == capacity()) grow();
    T* slot = &(*this)[size_];
    ::new (static_cast<void*>(slot)) T(value);
    ++size_;
  }
  void push_back(T&& value) {
    if (size_ == capacity()) grow();
    T* slot = &(*this)[size_];
    ::new (static_cast<void*>(slot)) T(std::move(value));
    ++size_;
  }

  // Appends a value-initialised element in place and returns it. May throw as push_back does.
  T& emplace_back() {
    if (size_ == capacity()) grow();
    T* slot = ::new (static_cast<void*>(&(*this)[size_])) T();
    ++size_;
    return *slot;
  }

  // Appends `n` > 0 elements (T trivially copyable) whose bytes stay as the allocation had them, for
  // room that the caller fills (or drops) before anything reads it, and returns the first. They must
  // fit in room already reserved in the block of element size(), so they are contiguous. Never
  // allocates.
  T* append_unwritten(std::size_t n) noexcept {
    static_assert(std::is_trivially_copyable_v<T>);
    T* first = &(*this)[size_];
    size_ += n;
    return first;
  }

  // The same, of all-zero bytes (a valid value of T).
  T* append_zeroed(std::size_t n) noexcept {
    T* first = append_unwritten(n);
    std::memset(static_cast<void*>(first), 0, n * sizeof(T));
    return first;
  }

  // Appends `n` elements copied from `first` (trivially copyable T), one memcpy per block they fill.
  // May throw std::bad_alloc as push_back does; the elements appended before a failure stay.
  void append(const T* first, std::size_t n) {
    append(first, n, [](T* to, const T* from, std::size_t count) noexcept {
      std::memcpy(static_cast<void*>(to), from, count * sizeof(T));
    });
  }

  // The same, with copy(to, from, count) doing each block's copy into uninitialised memory.
  template <class Copy>
  void append(const T* first, std::size_t n, Copy&& copy) {
    static_assert(std::is_trivially_copyable_v<T>);
    while (n > 0) {
      if (size_ == capacity()) grow();
      const std::size_t block_end = std::min(capacity(), (size_ / kBlockSize + 1) * kBlockSize);
      const std::size_t count = std::min(n, block_end - size_);
      copy(&(*this)[size_], first, count);
      size_ += count;
      first += count;
      n -= count;
    }
  }

  // Appends the elements of `tail` from index `from` on (T trivially copyable) and empties `tail`.
  // When this list's size is `from` modulo the block size, and the first block of `tail` can stand in
  // for this list's last one, the blocks of `tail` are taken over and only this list's last, partial block is copied
  // (into the room `tail` left before `from`): a list filled on another thread joins in constant
  // time. Otherwise its elements are copied. May throw std::bad_alloc, leaving this list unchanged
  // when blocks are taken over, and with the elements copied so far appended when they are copied.
  void take_tail(BlockList&& tail, std::size_t from) {
    static_assert(std::is_trivially_copyable_v<T>);
    if (from >= tail.size_) {
      tail.clear();
      return;
    }
    const std::size_t offset = size_ % kBlockSize;
    // The first block of `tail` takes this list's place from its last full block on: full-size, or,
    // when this list has no full block, any size that holds all of `tail`.
    const bool joins = from == offset && !tail.blocks_.empty() &&
                       (tail.first_capacity_ == kBlockSize || (size_ < kBlockSize && tail.blocks_.size() == 1));
    if (!joins) {
      for (std::size_t i = from, length = 0; i < tail.size_; i += length) {
        const T* run = tail.run(i, &length);
        append(run, length);
      }
      tail.clear();
      return;
    }
    const std::size_t kept = size_ / kBlockSize;  // this list's full blocks, kept as they are
    blocks_.reserve(kept + tail.blocks_.size());  // the only allocation
    if (offset > 0) std::memcpy(static_cast<void*>(tail.blocks_[0]), blocks_[kept], offset * sizeof(T));
    for (std::size_t b = kept; b < blocks_.size(); ++b) free_block(blocks_[b], block_capacity(b));
    blocks_.resize(kept);
    blocks_.insert(blocks_.end(), tail.blocks_.begin(), tail.blocks_.end());
    if (kept == 0) first_capacity_ = tail.first_capacity_;
    size_ = kept * kBlockSize + tail.size_;
    tail.blocks_.clear();
    tail.first_capacity_ = 0;
    tail.size_ = 0;
  }

  // Room for `n` elements in all: growing up to n then allocates nothing and moves nothing. May throw
  // std::bad_alloc (asking fits_in_memory as push_back does); the elements stay as they were.
  void reserve(std::size_t n) {
    // An empty list takes its first block at the size asked (at most a full one) in one allocation:
    // doubling up to it would allocate and free a chain of ever larger arrays, and the freeing hands
    // memory back to the system, which the next list then pays to fault in again.
    if (blocks_.empty() && n > kFirstCapacity) {
      blocks_.reserve(8);
      blocks_.push_back(allocate(std::min(n, kBlockSize)));
      first_capacity_ = std::min(n, kBlockSize);
    }
    while (capacity() < n) grow();
  }

  // Calls visit(memory, bytes) for each block, first to last, whether or not its elements exist yet.
  template <class Visit>
  void each_block(Visit&& visit) const {
    for (std::size_t b = 0; b < blocks_.size(); ++b) {
      visit(static_cast<const void*>(blocks_[b]), block_capacity(b) * sizeof(T));
    }
  }

  // Drops the elements from `n` on (nothing when n >= size()); the blocks stay for reuse.
  void truncate(std::size_t n) noexcept {
    for (; size_ > n; --size_) std::destroy_at(&(*this)[size_ - 1]);
  }

  void clear() noexcept {
    release();
    blocks_.clear();
    first_capacity_ = 0;
    size_ = 0;
  }

  // Bytes held by the blocks and the block table.
  std::size_t bytes_reserved() const noexcept {
    const std::size_t full = blocks_.empty() ? 0 : blocks_.size() - 1;
    return first_capacity_ * sizeof(T) + full * kBlockBytes + blocks_.capacity() * sizeof(T*);
  }

  // Contiguous run of elements starting at i (up to the end of its block): lets hot loops walk
  // block by block without per-element index arithmetic.
  const T* run(std::size_t i, std::size_t* length) const noexcept {
    const std::size_t in_block = kBlockSize - i % kBlockSize;
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
  static constexpr std::size_t kAlignment =
      alignof(T) > alignof(std::max_align_t) ? alignof(T) : alignof(std::max_align_t);
  static constexpr std::size_t kFirstCapacity = 16;
  static constexpr std::size_t kBlocksPerAsk = kAlwaysFits / kBlockBytes;

  // Elements block `b` holds room for.
  std::size_t block_capacity(std::size_t b) const noexcept { return b == 0 ? first_capacity_ : kBlockSize; }

  std::size_t capacity() const noexcept {
    return blocks_.empty() ? 0 : first_capacity_ + (blocks_.size() - 1) * kBlockSize;
  }

  static T* allocate(std::size_t elements) {
    if (elements == kBlockSize) return static_cast<T*>(detail::allocate_full_block());
    return static_cast<T*>(detail::allocate_list_memory(elements * sizeof(T), kAlignment));
  }

  static void free_block(T* block, std::size_t elements) noexcept {
    if (elements == kBlockSize) {
      detail::release_full_block(block);
    } else {
      detail::release_list_memory(block);
    }
  }

  void grow() {
    // Every allocation comes first, so a failure leaves the list as it was.
    if (blocks_.size() == blocks_.capacity()) blocks_.reserve(blocks_.empty() ? 8 : 2 * blocks_.size());
    if (blocks_.empty() || first_capacity_ < kBlockSize) {
      const std::size_t grown = blocks_.empty() ? kFirstCapacity : std::min(2 * first_capacity_, kBlockSize);
      T* block = allocate(grown);
      if (!blocks_.empty()) {
        T* old = blocks_[0];
        if constexpr (std::is_nothrow_move_constructible_v<T>) {
          std::uninitialized_move_n(old, size_, block);
        } else {
          try {
            std::uninitialized_copy_n(old, size_, block);
          } catch (...) {
            free_block(block, grown);
            throw;
          }
        }
        std::destroy_n(old, size_);
        free_block(old, first_capacity_);
        blocks_[0] = block;
      } else {
        blocks_.push_back(block);
      }
      first_capacity_ = grown;
      return;
    }
    // Once per 64 MiB of blocks, ask whether the next 64 fit: a list that outgrows memory then throws
    // instead of being killed with its process (see memory.hpp).
    if (blocks_.size() % kBlocksPerAsk == 0 && !fits_in_memory(kBlocksPerAsk * kBlockBytes)) throw std::bad_alloc();
    blocks_.push_back(allocate(kBlockSize));
  }

  void release() noexcept {
    for (std::size_t b = 0; b < blocks_.size(); ++b) {
      const std::size_t begin = b == 0 ? 0 : first_capacity_ + (b - 1) * kBlockSize;
      if constexpr (!std::is_trivially_destructible_v<T>) {
        if (begin < size_) std::destroy_n(blocks_[b], std::min(size_ - begin, block_capacity(b)));
      }
      free_block(blocks_[b], block_capacity(b));
    }
  }

  std::vector<T*> blocks_;            // block 0 holds first_capacity_ elements, every later one kBlockSize
  std::size_t first_capacity_ = 0;
  std::size_t size_ = 0;
};

}  // namespace quarn
