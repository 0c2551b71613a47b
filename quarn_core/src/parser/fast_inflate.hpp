// Inflating gzip bytes held in memory with the fastest inflater of the build, and its CRC-32.
#pragma once

#include <cstddef>
#include <cstdint>

struct inflate_state;

namespace quarn::detail {

// True when the build has an inflater faster than zlib's (ISA-L); otherwise FastInflater refuses
// everything and every gzip text is inflated by GzipDecoder.
bool have_fast_inflater() noexcept;

// Every member of gzip bytes held in memory, decoded in turn and in pieces, with GzipDecoder's rules:
// after a complete member, bytes that do not begin another one (magic 1f 8b) end the text. Members
// are checked as zlib checks them: header, the header of every block, checksum and length. Whatever
// it cannot judge in zlib's words it refuses: a damaged member, a cut one, bytes that a failed read
// cut short; GzipDecoder, run over the same bytes, then says why.
//
// ISA-L is handed one block at a time (told that each is the last), so that every block header can
// be judged before ISA-L reads it: ISA-L accepts headers that zlib refuses (see deflate_check.hpp).
//
// All calls of decode() must come from one thread, and a thread runs one FastInflater at a time:
// the inflater's state (about 90 KiB) is that thread's, kept for its next file, since allocating it
// is a fixed cost that small entries would otherwise pay each time.
class FastInflater {
 public:
  enum class Status {
    kMore,         // the room was filled (at the start of the text: some of it); the text goes on
    kEnd,          // the text is complete
    kRefused,      // zlib must judge these bytes
    kOutOfMemory,  // the inflater's state could not be allocated
  };

  // Decodes `size` bytes at `bytes` (which must outlive it). When `end_error` is an errno, a read
  // that failed ended the bytes early. Never throws, allocates nothing.
  FastInflater(const unsigned char* bytes, std::size_t size, int end_error) noexcept
      : bytes_(bytes), size_(size), end_error_(end_error) {}

  // Decodes up to `room` (> 0) bytes into `out` and adds the count to `*written`; on kRefused adds
  // nothing, since the bytes of a refused call are not known to be the text. `out` must follow the
  // text decoded so far in one buffer (a block reaches back into it). After kEnd, kRefused or
  // kOutOfMemory, do not call again. Never throws; allocates the thread's state once.
  Status decode(char* out, std::size_t room, std::size_t* written) noexcept;

 private:
  enum class Phase : unsigned char { kMember, kBlock, kInBlock };
  Status start_member() noexcept;
  Status start_block(const char* out) noexcept;
  // Hands ISA-L the next input, from fed_ on.
  void feed() noexcept;
  // After ISA-L ended a block: the next block, the trailer, or a refusal.
  Status end_block() noexcept;

  const unsigned char* bytes_;
  std::size_t size_;
  int end_error_;
  inflate_state* state_ = nullptr;
  Phase phase_ = Phase::kMember;
  bool first_member_ = true;
  bool final_block_ = false;
  bool lead_in_ = true;         // the start of the text: little input per call, each output handed on
  std::size_t next_ = 0;        // where the next member may start
  std::size_t bit_ = 0;         // where the current block starts, in bits
  std::size_t fed_ = 0;         // input handed to ISA-L so far
  std::uint64_t member_out_ = 0;  // text of the current member so far
  std::uint32_t crc_ = 0;       // its CRC-32
};

// The CRC-32 of gzip over `size` bytes, by ISA-L where the build has it (several times zlib's speed:
// it folds with the processor's carry-less multiply), else by zlib; both give the same value.
// Never throws, allocates nothing, may run concurrently. Linear in `size`.
std::uint32_t crc32_of(const void* data, std::size_t size) noexcept;

}  // namespace quarn::detail
