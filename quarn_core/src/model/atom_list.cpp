#include "quarn/atom_list.hpp"

#include <cstdint>
#include <cstdlib>

#include <sys/mman.h>

namespace quarn::detail {

void* allocate_list_memory(std::size_t bytes, std::size_t alignment) {
  const std::size_t rounded = (bytes + alignment - 1) & ~(alignment - 1);
  void* memory = std::aligned_alloc(alignment, rounded);
  if (memory == nullptr) throw std::bad_alloc();
  constexpr std::size_t kHugePage = std::size_t{2} << 20;
  if (alignment >= kHugePage) advise_huge_pages(memory, rounded);
  return memory;
}

void advise_huge_pages(void* memory, std::size_t bytes) noexcept {
  constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;
  const auto start = reinterpret_cast<std::uintptr_t>(memory);
  const std::uintptr_t first = (start + kHugePage - 1) & ~(kHugePage - 1);
  const std::uintptr_t last = (start + bytes) & ~(kHugePage - 1);
  // Only advice: without transparent huge pages the region simply keeps small pages.
  if (first < last) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

void prefault(const void* memory, std::size_t bytes) noexcept {
  constexpr std::uintptr_t kPage = 4096;
  const auto start = reinterpret_cast<std::uintptr_t>(memory);
  const std::uintptr_t first = (start + kPage - 1) & ~(kPage - 1);
  const std::uintptr_t last = (start + bytes) & ~(kPage - 1);
  // A kernel without MADV_POPULATE_WRITE (before 5.14) refuses it, and the pages fault on first use.
  if (first < last) madvise(reinterpret_cast<void*>(first), last - first, MADV_POPULATE_WRITE);
}

void release_list_memory(void* memory) noexcept { std::free(memory); }

}  // namespace quarn::detail
