// A fixed number of trivially copyable values, not initialised, in memory offered for huge pages:
// the transient arrays of the searches and sorts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "quarn/atom_list.hpp"
#include "quarn/memory.hpp"

namespace quarn {

// Why: these arrays are written once in full before they are read, and fresh memory in small pages
// costs several times more to fault in than to fill; nor is there any point in zeroing it first.
template <class T>
class ScratchArray {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  ScratchArray() = default;
  // Throws MemoryShortage naming `what` when the values cannot be had.
  explicit ScratchArray(std::size_t size, const char* what = "the working memory of a search") : size_(size) {
    if (size == 0) return;
    const std::uint64_t bytes = static_cast<std::uint64_t>(size) * sizeof(T);
    if (size > SIZE_MAX / sizeof(T) || !fits_in_memory(bytes)) throw MemoryShortage(what, bytes);
    constexpr std::size_t kHugePage = std::size_t{2} << 20;
    const std::size_t alignment = bytes >= kHugePage ? kHugePage : alignof(std::max_align_t);
    try {
      data_ = static_cast<T*>(detail::allocate_list_memory(size * sizeof(T), alignment));
    } catch (const std::bad_alloc&) {
      size_ = 0;
      throw MemoryShortage(what, bytes);
    }
  }
  ScratchArray(ScratchArray&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
  ScratchArray& operator=(ScratchArray&& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    return *this;
  }
  ScratchArray(const ScratchArray&) = delete;
  ScratchArray& operator=(const ScratchArray&) = delete;
  ~ScratchArray() { detail::release_list_memory(data_); }

  std::size_t size() const noexcept { return size_; }
  T* begin() noexcept { return data_; }
  T* end() noexcept { return data_ + size_; }
  const T* begin() const noexcept { return data_; }
  const T* end() const noexcept { return data_ + size_; }
  T& operator[](std::size_t i) noexcept { return data_[i]; }
  const T& operator[](std::size_t i) const noexcept { return data_[i]; }
  // Keeps the first n values (n at most size()).
  void truncate(std::size_t n) noexcept { size_ = n; }

 private:
  T* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace quarn
