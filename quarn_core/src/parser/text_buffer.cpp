#include "text_buffer.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <utility>

namespace quarn::detail {

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;
// The allocator maps anything larger afresh for each request anyway (its threshold stops at 32 MiB).
constexpr std::size_t kFromAllocator = std::size_t{32} << 20;

std::size_t page_size() noexcept {
  static const std::size_t size = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  return size;
}

// Rounds up to whole pages; 0 when that does not fit in a size_t.
std::size_t whole_pages(std::size_t n) noexcept {
  const std::size_t page = page_size();
  if (n > ~std::size_t{0} - page) return 0;
  return (n + page - 1) / page * page;
}

// A text of tens of megabytes costs one page fault per 4 KiB written; huge pages cut that 512-fold.
// Only a hint: the kernel may ignore it.
void prefer_huge_pages(char* data, std::size_t capacity) noexcept {
  if (capacity >= 2 * kHugePage) madvise(data, capacity, MADV_HUGEPAGE);
}

// The thread's last mapping, kept for its next text: a fresh mapping pays a page fault (or a huge
// page's zeroing) for every page the text writes, which for the usual entry of a few hundred
// kilobytes costs as much as inflating it. Kept with at most kKeptResident bytes of its pages.
constexpr std::size_t kKeptResident = kFromAllocator;

struct KeptMapping {
  char* data = nullptr;
  std::size_t capacity = 0;
  ~KeptMapping() {
    if (data != nullptr) munmap(data, capacity);
  }
};

thread_local KeptMapping kept;

}  // namespace

TextBuffer::~TextBuffer() { release(); }

void TextBuffer::release() noexcept {
  if (data_ == nullptr) return;
  if (!mapped_) {
    std::free(data_);
  } else if (kept.data == nullptr) {
    if (capacity_ > kKeptResident) madvise(data_ + kKeptResident, capacity_ - kKeptResident, MADV_DONTNEED);
    kept.data = data_;
    kept.capacity = capacity_;
  } else {
    munmap(data_, capacity_);
  }
  data_ = nullptr;
  capacity_ = 0;
}

char* TextBuffer::map(std::size_t size) noexcept {
  if (kept.data != nullptr) {
    // Resized to the exact request: growing keeps the pages (mremap moves page table entries only).
    void* p = kept.capacity == size ? kept.data : mremap(kept.data, kept.capacity, size, MREMAP_MAYMOVE);
    if (p != MAP_FAILED) {
      kept.data = nullptr;
      kept.capacity = 0;
      return static_cast<char*>(p);
    }
  }
  // MAP_NORESERVE: only the pages written count against memory, not the whole reservation.
  void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  return p == MAP_FAILED ? nullptr : static_cast<char*>(p);
}

bool TextBuffer::reserve(std::size_t capacity) noexcept {
  const std::size_t size = whole_pages(capacity == 0 ? 1 : capacity);
  if (size == 0) return false;
  if (size <= kFromAllocator) {
    void* p = std::malloc(size);
    if (p == nullptr) return false;
    release();
    data_ = static_cast<char*>(p);
    capacity_ = size;
    mapped_ = false;
    return true;
  }
  release();
  char* p = map(size);
  if (p == nullptr) return false;
  data_ = p;
  capacity_ = size;
  mapped_ = true;
  prefer_huge_pages(data_, capacity_);
  return true;
}

bool TextBuffer::grow(std::size_t capacity) noexcept {
  if (data_ == nullptr) return reserve(capacity);
  if (capacity <= capacity_) return true;
  const std::size_t size = whole_pages(capacity);
  if (size == 0) return false;
  if (!mapped_ && size <= kFromAllocator) {
    void* p = std::realloc(data_, size);
    if (p == nullptr) return false;
    data_ = static_cast<char*>(p);
    capacity_ = size;
    return true;
  }
  if (!mapped_) {
    TextBuffer larger;
    if (!larger.reserve(size)) return false;
    std::memcpy(larger.data_, data_, capacity_);
    std::swap(data_, larger.data_);
    std::swap(capacity_, larger.capacity_);
    std::swap(mapped_, larger.mapped_);
    return true;
  }
  // mremap moves the page table entries, never the bytes: growing costs no copy.
  void* p = mremap(data_, capacity_, size, MREMAP_MAYMOVE);
  if (p == MAP_FAILED) return false;
  data_ = static_cast<char*>(p);
  capacity_ = size;
  prefer_huge_pages(data_, capacity_);
  return true;
}

bool TextBuffer::prefault(std::size_t from, std::size_t length) noexcept {
  if (!mapped_) return false;
  const std::size_t page = page_size();
  const std::size_t start = from / page * page;
  if (start >= capacity_) return true;
  const std::size_t end = whole_pages(from + length);
  const std::size_t stop = end == 0 || end > capacity_ ? capacity_ : end;
  return madvise(data_ + start, stop - start, MADV_POPULATE_WRITE) == 0;
}

}  // namespace quarn::detail
