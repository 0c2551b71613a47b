#include "fast_inflate.hpp"

#include <zlib.h>

#include <string>

#include "quarn/inflater.hpp"

#if QUARN_HAVE_LIBDEFLATE
#include <libdeflate.h>
#endif

namespace quarn {

std::string_view inflater_name() noexcept {
#if QUARN_HAVE_LIBDEFLATE
  return "libdeflate " LIBDEFLATE_VERSION_STRING;
#else
  static const std::string name = std::string("zlib ") + zlibVersion();
  return name;
#endif
}

namespace detail {

#if QUARN_HAVE_LIBDEFLATE

namespace {

// The inflater's tables are kept for the thread's next file: allocating them is a fixed cost that
// small entries would otherwise pay each time.
struct Decompressor {
  libdeflate_decompressor* d = libdeflate_alloc_decompressor();
  ~Decompressor() { libdeflate_free_decompressor(d); }
};

// libdeflate skips the optional header checksum that zlib verifies; a member whose checksum is wrong
// goes to zlib, which refuses it. False only for a complete header with a wrong checksum.
bool header_checksum_sound(const unsigned char* in, std::size_t size) noexcept {
  constexpr unsigned char kHeaderCrc = 0x02, kExtra = 0x04, kName = 0x08, kComment = 0x10;
  if (size < 10 || (in[3] & kHeaderCrc) == 0) return true;
  std::size_t at = 10;
  if (in[3] & kExtra) {
    if (size - at < 2) return true;
    at += 2 + (in[at] | std::size_t{in[at + 1]} << 8);
  }
  for (const unsigned char flag : {kName, kComment}) {
    if ((in[3] & flag) == 0) continue;
    while (at < size && in[at] != 0) ++at;
    ++at;
  }
  if (at >= size || size - at < 2) return true;
  const std::uint32_t crc = libdeflate_crc32(0, in, at);
  return (crc & 0xffff) == (in[at] | std::uint32_t{in[at + 1]} << 8);
}

}  // namespace

bool have_fast_inflater() noexcept { return true; }

MemberOutcome inflate_member(const unsigned char* in, std::size_t size, char* out, std::size_t room,
                             std::size_t* consumed, std::size_t* written) noexcept {
  thread_local Decompressor decompressor;
  if (decompressor.d == nullptr) decompressor.d = libdeflate_alloc_decompressor();  // failed before
  if (decompressor.d == nullptr) return MemberOutcome::kOutOfMemory;
  if (!header_checksum_sound(in, size)) return MemberOutcome::kRefused;
  switch (libdeflate_gzip_decompress_ex(decompressor.d, in, size, out, room, consumed, written)) {
    case LIBDEFLATE_SUCCESS:
      return MemberOutcome::kDone;
    case LIBDEFLATE_INSUFFICIENT_SPACE:
      return MemberOutcome::kNoRoom;
    default:
      return MemberOutcome::kRefused;
  }
}

#else

bool have_fast_inflater() noexcept { return false; }

MemberOutcome inflate_member(const unsigned char*, std::size_t, char*, std::size_t, std::size_t*,
                             std::size_t*) noexcept {
  return MemberOutcome::kRefused;
}

#endif

std::uint32_t crc32_of(const void* data, std::size_t size) noexcept {
#if QUARN_HAVE_LIBDEFLATE
  return libdeflate_crc32(0, data, size);
#else
  return static_cast<std::uint32_t>(crc32_z(0, static_cast<const Bytef*>(data), size));
#endif
}

}  // namespace detail
}  // namespace quarn
