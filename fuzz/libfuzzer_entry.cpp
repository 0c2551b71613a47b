// The libFuzzer entry of one harness, chosen when compiling (QUARN_FUZZ_HARNESS).
#include <cstddef>
#include <cstdint>

#include "harness.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quarn::fuzz::QUARN_FUZZ_HARNESS(data, size);
  return 0;
}
