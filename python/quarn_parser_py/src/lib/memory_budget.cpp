#include "memory_budget.hpp"

#include <Python.h>

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

bool fits_or_refuse(const char* what, std::uint64_t bytes) noexcept {
  std::uint64_t available = 0;
  if (fits_in_memory(bytes, &available)) return true;
  PyErr_Format(PyExc_MemoryError, "%s needs %llu bytes, more than the %llu bytes of memory available", what,
               static_cast<unsigned long long>(bytes), static_cast<unsigned long long>(available));
  return false;
}

}  // namespace quarn::py
