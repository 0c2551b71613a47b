#include "quarn/atom_list.hpp"

#include <cstdlib>

#include <sys/mman.h>

namespace quarn::detail {

void* allocate_list_memory(std::size_t bytes, std::size_t alignment) {
  const std::size_t rounded = (bytes + alignment - 1) & ~(alignment - 1);
  void* memory = std::aligned_alloc(alignment, rounded);
  if (memory == nullptr) throw std::bad_alloc();
  constexpr std::size_t kHugePage = std::size_t{2} << 20;
  // Only advice: without transparent huge pages the region simply keeps small pages.
  if (alignment >= kHugePage && rounded >= kHugePage) madvise(memory, rounded, MADV_HUGEPAGE);
  return memory;
}

void release_list_memory(void* memory) noexcept { std::free(memory); }

}  // namespace quarn::detail
