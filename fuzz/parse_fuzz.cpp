// Fuzz target for the text parser: any bytes must give a Structure or a ReaderError without a fault,
// and exactly the same outcome whether the text arrives whole or in pieces.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "reader_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // The first byte chooses the piece size and whether atoms are required.
  const std::size_t piece = 1 + (data[0] & 0x3f);
  const bool atoms_required = (data[0] & 0x40) != 0;
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::string whole = quarn::testing::outcome(quarn::parse_text(text, atoms_required));
  const std::string pieces = quarn::testing::parse_in_pieces(text, {piece}, atoms_required);
  if (whole != pieces) std::abort();
  return 0;
}
