// Judging a DEFLATE block header by zlib's rules, for an inflater that is more lenient.
#pragma once

#include <cstddef>

namespace quarn::detail {

// Why: ISA-L decodes blocks whose Huffman codes are incomplete (some bit patterns mean nothing) as
// long as the data never uses a missing pattern, where zlib refuses the block outright ("invalid
// literal/lengths set"). The fast inflater asks this about every block before ISA-L decodes it.
//
// True when the header of the block that starts at bit `bit` of the `size` bytes at `data` (least
// significant bit first) is one zlib accepts: a stored block whose lengths agree, a fixed block, or a
// dynamic one whose counts and codes pass zlib's checks. False for anything else, the header running
// past the end included. Never throws, allocates nothing; reads a header a bit at a time (a dynamic
// one has a few hundred bits, against the tens of kilobytes of text a block usually holds).
bool block_header_sound(const unsigned char* data, std::size_t size, std::size_t bit) noexcept;

}  // namespace quarn::detail
