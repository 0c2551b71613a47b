// The atom list of a Structure: indexable like a vector, grown in fixed blocks that never move.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <vector>

namespace quarn {

// Appending never copies earlier elements: a vector would, at each doubling, hold the old and the new
// array at once and end up to twice too large, which for a million atoms is hundreds of megabytes.
// Here the waste is at most one block and elements keep their address for their whole life.
template <class T, unsigned kBlockShift = 12>
class BlockList {
 public:
  static constexpr std::size_t kBlockSize = std::size_t{1} << kBlockShift;
  static constexpr std::size_t kMask = kBlockSize - 1;

  BlockList() = default;
  BlockList(BlockList&&) noexcept = default;
  BlockList& operator=(BlockList&&) noexcept = default;
  BlockList(const BlockList&) = delete;
  BlockList& operator=(const BlockList&) = delete;

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
    blocks_.clear();
    size_ = 0;
  }

  // Bytes held by the blocks and the block table.
  std::size_t bytes_reserved() const noexcept {
    return blocks_.size() * kBlockSize * sizeof(T) + blocks_.capacity() * sizeof(std::unique_ptr<T[]>);
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
  void grow() {
    // Reserve first, so the push_back below cannot throw after the block is allocated.
    if (blocks_.size() == blocks_.capacity()) blocks_.reserve(blocks_.empty() ? 8 : 2 * blocks_.size());
    blocks_.push_back(std::make_unique<T[]>(kBlockSize));
  }

  std::vector<std::unique_ptr<T[]>> blocks_;
  std::size_t size_ = 0;
};

}  // namespace quarn
