#include "fast_inflate.hpp"

#include <zlib.h>

#include <algorithm>
#include <memory>
#include <new>
#include <string>

#include "deflate_check.hpp"
#include "quarn/inflater.hpp"

#if QUARN_HAVE_ISAL
#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>
#endif

namespace quarn {

std::string_view inflater_name() noexcept {
#if QUARN_HAVE_ISAL
  return "isa-l " QUARN_ISAL_VERSION;
#else
  static const std::string name = std::string("zlib ") + zlibVersion();
  return name;
#endif
}

namespace detail {

#if QUARN_HAVE_ISAL

namespace {

// ISA-L counts in 32 bits; larger inputs and rooms are handed over a gigabyte at a time.
constexpr std::size_t kStep = std::size_t{1} << 30;

inflate_state* thread_state() noexcept {
  thread_local std::unique_ptr<inflate_state> state;
  if (state == nullptr) state.reset(new (std::nothrow) inflate_state);
  return state.get();
}

// Why a lead-in: on a small room, ISA-L first decodes some 64 KiB into a buffer of its own, and the
// parse waits 60-90 us for the start of the text. Handed a little input at a time, it returns what
// that input makes at once, so the first bytes come in about 10 us. Past the lead-in it gets the rest.
constexpr std::size_t kLeadInInput = 1024;
constexpr std::size_t kLeadInText = 16 * 1024;

// DEFLATE looks back at most this far: the history a block is handed.
constexpr std::size_t kHistory = 32 * 1024;
constexpr std::size_t kTrailer = 8;

std::uint32_t little_endian32(const unsigned char* p) noexcept {
  return p[0] | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}

// The length of the gzip header at `member`, when zlib would accept it, else 0. zlib refuses reserved
// flags ("unknown header flags set") and a wrong header checksum.
std::size_t sound_header_length(const unsigned char* member, std::size_t size) noexcept {
  constexpr unsigned char kHeaderCrc = 0x02, kExtra = 0x04, kName = 0x08, kComment = 0x10, kReserved = 0xe0;
  if (size < 10 || member[2] != 8) return 0;
  const unsigned char flags = member[3];
  if (flags & kReserved) return 0;
  std::size_t at = 10;
  if (flags & kExtra) {
    if (size - at < 2) return 0;
    at += 2 + (member[at] | std::size_t{member[at + 1]} << 8);
  }
  for (const unsigned char flag : {kName, kComment}) {
    if ((flags & flag) == 0) continue;
    while (at < size && member[at] != 0) ++at;
    ++at;
  }
  if (flags & kHeaderCrc) {
    if (at > size || size - at < 2) return 0;
    const std::uint32_t crc = crc32_gzip_refl(0, member, at);
    if ((crc & 0xffff) != (member[at] | std::uint32_t{member[at + 1]} << 8)) return 0;
    at += 2;
  }
  return at < size ? at : 0;
}

}  // namespace

bool have_fast_inflater() noexcept { return true; }

FastInflater::Status FastInflater::start_member() noexcept {
  const std::size_t left = size_ - next_;
  if (left < 2 || bytes_[next_] != 0x1f || bytes_[next_ + 1] != 0x8b) {
    // After a member, bytes that cannot start another are ignored, unless a failed read cut the ones
    // that would have told. The first member must be there.
    return first_member_ || (end_error_ != 0 && left < 2) ? Status::kRefused : Status::kEnd;
  }
  const std::size_t header = sound_header_length(bytes_ + next_, left);
  if (header == 0) return Status::kRefused;
  first_member_ = false;
  bit_ = (next_ + header) * 8;
  member_out_ = 0;
  crc_ = 0;
  phase_ = Phase::kBlock;
  return Status::kMore;
}

FastInflater::Status FastInflater::start_block(const char* out) noexcept {
  if (!block_header_sound(bytes_, size_, bit_)) return Status::kRefused;
  const std::size_t byte = bit_ / 8;
  const unsigned shift = bit_ % 8;
  final_block_ = (bytes_[byte] >> shift) & 1;
  isal_inflate_init(state_);
  state_->crc_flag = ISAL_DEFLATE;
  const std::size_t history = member_out_ < kHistory ? member_out_ : kHistory;
  if (history > 0 &&
      isal_inflate_set_dict(state_, reinterpret_cast<std::uint8_t*>(const_cast<char*>(out)) - history,
                            static_cast<std::uint32_t>(history)) != ISAL_DECOMP_OK) {
    return Status::kRefused;
  }
  // The block starts mid-byte: its first bits go in as already read, with the final-block flag set,
  // so that ISA-L stops at the block's end and the next header is judged before it is read.
  state_->read_in = (bytes_[byte] >> shift) | 1u;
  state_->read_in_length = static_cast<std::int32_t>(8 - shift);
  fed_ = byte + 1;
  feed();
  phase_ = Phase::kInBlock;
  return Status::kMore;
}

void FastInflater::feed() noexcept {
  state_->next_in = const_cast<unsigned char*>(bytes_ + fed_);
  state_->avail_in = static_cast<std::uint32_t>(std::min(size_ - fed_, lead_in_ ? kLeadInInput : kStep));
  fed_ += state_->avail_in;
}

FastInflater::Status FastInflater::end_block() noexcept {
  bit_ = static_cast<std::size_t>(state_->next_in - bytes_) * 8 - static_cast<std::size_t>(state_->read_in_length);
  if (!final_block_) {
    phase_ = Phase::kBlock;
    return Status::kMore;
  }
  const std::size_t trailer = (bit_ + 7) / 8;
  if (trailer > size_ || size_ - trailer < kTrailer || little_endian32(bytes_ + trailer) != crc_ ||
      little_endian32(bytes_ + trailer + 4) != static_cast<std::uint32_t>(member_out_)) {
    return Status::kRefused;
  }
  next_ = trailer + kTrailer;
  phase_ = Phase::kMember;
  return Status::kMore;
}

FastInflater::Status FastInflater::decode(char* out, std::size_t room, std::size_t* written) noexcept {
  if (state_ == nullptr) {
    state_ = thread_state();
    if (state_ == nullptr) return Status::kOutOfMemory;
  }
  std::size_t done = 0;
  for (;;) {
    Status status = Status::kMore;
    if (phase_ == Phase::kMember) {
      status = start_member();
    } else if (phase_ == Phase::kBlock) {
      status = start_block(out + done);
    } else if (done == room || (lead_in_ && done > 0)) {
      break;
    } else {
      if (state_->avail_in == 0 && fed_ < size_) feed();
      const std::size_t step = std::min(room - done, kStep);
      unsigned char* const start = reinterpret_cast<unsigned char*>(out + done);
      const std::uint32_t avail_in = state_->avail_in;
      state_->next_out = start;
      state_->avail_out = static_cast<std::uint32_t>(step);
      if (isal_inflate(state_) != ISAL_DECOMP_OK) return Status::kRefused;
      const std::size_t produced = static_cast<std::size_t>(state_->next_out - start);
      crc_ = crc32_gzip_refl(crc_, start, produced);
      member_out_ += produced;
      done += produced;
      if (member_out_ >= kLeadInText) lead_in_ = false;
      if (state_->block_state == ISAL_BLOCK_FINISH) {
        status = end_block();
      } else if (produced < step && state_->avail_in == 0 && fed_ == size_) {
        return Status::kRefused;  // room left, every byte used and none to come: cut short
      } else if (produced == 0 && state_->avail_in == avail_in) {
        return Status::kRefused;
      }
    }
    if (status == Status::kEnd) {
      *written += done;
      return status;
    }
    if (status != Status::kMore) return status;
  }
  *written += done;
  return Status::kMore;
}

std::uint32_t crc32_of(const void* data, std::size_t size) noexcept {
  return crc32_gzip_refl(0, static_cast<const unsigned char*>(data), size);
}

#else

bool have_fast_inflater() noexcept { return false; }

FastInflater::Status FastInflater::decode(char*, std::size_t, std::size_t*) noexcept { return Status::kRefused; }

std::uint32_t crc32_of(const void* data, std::size_t size) noexcept {
  return static_cast<std::uint32_t>(crc32_z(0, static_cast<const Bytef*>(data), size));
}

#endif

}  // namespace detail
}  // namespace quarn
