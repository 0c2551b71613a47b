// Inflating one gzip member held whole in memory with the fastest inflater of the build, and its CRC-32.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quarn::detail {

// True when the build has an inflater faster than zlib's streaming one (libdeflate); otherwise
// inflate_member() is never called and every gzip text is inflated by GzipDecoder.
bool have_fast_inflater() noexcept;

enum class MemberOutcome {
  kDone,         // the member is complete and sound
  kNoRoom,       // its text is longer than `room`: call again with more
  kRefused,      // damaged, cut short or not gzip: zlib, run over the same bytes, tells how
  kOutOfMemory,  // the inflater's state could not be allocated
};

// Inflates the gzip member that starts at `in` (of the `size` bytes there) into `out`, which has
// `room` bytes: sets *consumed to the member's length and *written to its text's. Checks the member
// as zlib does, header checksum included. Never throws; allocates the inflater's state (tens of KiB)
// once per thread.
MemberOutcome inflate_member(const unsigned char* in, std::size_t size, char* out, std::size_t room,
                             std::size_t* consumed, std::size_t* written) noexcept;

// The CRC-32 of gzip over `size` bytes, by libdeflate where the build has it (several times zlib's
// speed: it uses the processor's carry-less multiply), else by zlib; both give the same value.
// Never throws, allocates nothing, may run concurrently. Linear in `size`.
std::uint32_t crc32_of(const void* data, std::size_t size) noexcept;

}  // namespace quarn::detail
