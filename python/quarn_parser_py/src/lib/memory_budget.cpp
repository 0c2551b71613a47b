#include "memory_budget.hpp"

#include <limits>

namespace quarn::py {

std::uint64_t saturating_mul_add(std::uint64_t a, std::uint64_t b, std::uint64_t c) noexcept {
  std::uint64_t product = 0;
  std::uint64_t sum = 0;
  if (__builtin_mul_overflow(a, b, &product) || __builtin_add_overflow(product, c, &sum)) {
    return std::numeric_limits<std::uint64_t>::max();
  }
  return sum;
}

}  // namespace quarn::py
