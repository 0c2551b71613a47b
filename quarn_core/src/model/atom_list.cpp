#include "quarn/atom_list.hpp"

#include <cstdint>
#include <cstdlib>

#include <sys/mman.h>

namespace quarn::detail {

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

std::size_t rounded_up(std::size_t bytes, std::size_t alignment) noexcept {
  return (bytes + alignment - 1) & ~(alignment - 1);
}

}  // namespace

void* allocate_list_memory(std::size_t bytes, std::size_t alignment) {
  const std::size_t rounded = rounded_up(bytes, alignment);
  void* memory = std::aligned_alloc(alignment, rounded);
  if (memory == nullptr) throw std::bad_alloc();
  if (alignment >= kHugePage) advise_huge_pages(memory, rounded);
  return memory;
}

void* allocate_full_block() {
  // One huge page more than needed, then the ends that miss the alignment go back.
  const std::size_t mapped = 2 * kHugePage;
  void* region = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (region == MAP_FAILED) throw std::bad_alloc();
  const auto start = reinterpret_cast<std::uintptr_t>(region);
  const std::uintptr_t aligned = rounded_up(start, kHugePage);
  if (aligned > start) munmap(region, aligned - start);
  const std::uintptr_t end = aligned + kHugePage;
  if (start + mapped > end) munmap(reinterpret_cast<void*>(end), start + mapped - end);
  void* block = reinterpret_cast<void*>(aligned);
  advise_huge_pages(block, kHugePage);
  return block;
}

void release_full_block(void* block) noexcept {
  if (block != nullptr) munmap(block, kHugePage);
}

void advise_huge_pages(void* memory, std::size_t bytes) noexcept {
  const auto start = reinterpret_cast<std::uintptr_t>(memory);
  const std::uintptr_t first = rounded_up(start, kHugePage);
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
