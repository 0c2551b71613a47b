#include "gzip_decoder.hpp"

#include <unistd.h>
#include <zlib.h>

#include <cstring>
#include <new>

#include "file_read.hpp"

namespace quarn::detail {

namespace {

// Large enough that a read costs little next to inflating what it brought; small enough not to
// count in the memory of a load.
constexpr std::size_t kInputSize = 256 * 1024;
// Window bits 15 plus 16: gzip framing only, so a file that is not gzip fails on its header.
constexpr int kGzipWindowBits = 15 + 16;

}  // namespace

struct GzipDecoder::State {
  z_stream z{};
  std::unique_ptr<unsigned char[]> input;  // for reading a file
  bool open = false;

  State() {
    const int r = inflateInit2(&z, kGzipWindowBits);
    if (r == Z_MEM_ERROR) throw std::bad_alloc();
    open = r == Z_OK;
  }
  ~State() {
    if (open) inflateEnd(&z);
  }
};

GzipDecoder::GzipDecoder(int fd) : state_(std::make_unique<State>()), fd_(fd) {
  state_->input = std::make_unique_for_overwrite<unsigned char[]>(kInputSize);
  state_->z.next_in = state_->input.get();
  if (!state_->open) message_ = zError(Z_STREAM_ERROR);
}

GzipDecoder::GzipDecoder(const unsigned char* bytes, std::size_t size, int end_error)
    : state_(std::make_unique<State>()), bytes_(bytes), bytes_left_(size), end_error_(end_error) {
  state_->z.next_in = const_cast<unsigned char*>(bytes);
  if (!state_->open) message_ = zError(Z_STREAM_ERROR);
}

GzipDecoder::~GzipDecoder() = default;

GzipDecoder::Status GzipDecoder::fail(const char* message) noexcept {
  message_ = message;
  return Status::kFailed;
}

bool GzipDecoder::fill() noexcept {
  if (fd_ < 0) return fill_from_memory();
  // A read that failed after bringing some bytes reports its failure once those are decoded.
  if (end_error_ != 0) {
    os_error_ = end_error_;
    return false;
  }
  z_stream& z = state_->z;
  unsigned char* input = state_->input.get();
  if (z.avail_in > 0 && z.next_in != input) std::memmove(input, z.next_in, z.avail_in);
  z.next_in = input;
  const ReadCount r = read_up_to(fd_, reinterpret_cast<char*>(input) + z.avail_in, kInputSize - z.avail_in);
  z.avail_in += static_cast<uInt>(r.bytes);
  end_error_ = r.error;
  if (r.bytes > 0) return true;
  if (r.error != 0) return fill();
  at_eof_ = true;
  return true;
}

bool GzipDecoder::fill_from_memory() noexcept {
  z_stream& z = state_->z;
  if (bytes_left_ == 0) {
    if (end_error_ != 0) {
      os_error_ = end_error_;
      return false;
    }
    at_eof_ = true;
    return true;
  }
  // What zlib still holds ends where the rest begins, so the rest is simply appended to it; at most
  // 1 GiB at a time, as zlib counts its input in 32 bits.
  const std::size_t step = bytes_left_ < (std::size_t{1} << 30) ? bytes_left_ : (std::size_t{1} << 30);
  if (z.avail_in == 0) z.next_in = const_cast<unsigned char*>(bytes_);
  z.avail_in += static_cast<uInt>(step);
  bytes_ += step;
  bytes_left_ -= step;
  return true;
}

GzipDecoder::Status GzipDecoder::decode(char* out, std::size_t room, std::size_t* written) noexcept {
  if (!state_->open) return Status::kFailed;
  z_stream& z = state_->z;
  // zlib counts in 32 bits; a larger room is simply filled in several calls.
  const std::size_t step = room < (std::size_t{1} << 30) ? room : (std::size_t{1} << 30);
  z.next_out = reinterpret_cast<unsigned char*>(out);
  z.avail_out = static_cast<uInt>(step);
  Status status = Status::kMore;
  for (;;) {
    if (!in_member_) {
      // Does another member follow? Only its magic says so; anything else is trailing bytes.
      while (z.avail_in < 2 && !at_eof_) {
        if (!fill()) break;
      }
      if (os_error_ != 0) {
        status = Status::kFailed;
        break;
      }
      if (z.avail_in < 2 || z.next_in[0] != 0x1f || z.next_in[1] != 0x8b) {
        status = Status::kEnd;
        break;
      }
      inflateReset(&z);
      in_member_ = true;
    }
    if (z.avail_out == 0) break;
    const int r = inflate(&z, Z_NO_FLUSH);
    if (r == Z_OK) continue;
    if (r == Z_STREAM_END) {
      in_member_ = false;
      continue;
    }
    if (r == Z_BUF_ERROR && z.avail_in == 0) {
      // Everything read so far is decoded and the member is not complete: read on.
      if (at_eof_) {
        status = fail("unexpected end of file");
        break;
      }
      if (!fill()) {
        status = Status::kFailed;
        break;
      }
      continue;
    }
    if (r == Z_MEM_ERROR) {
      status = Status::kOutOfMemory;
      break;
    }
    status = fail(z.msg != nullptr ? z.msg : zError(r));
    break;
  }
  *written += step - z.avail_out;
  return status;
}

}  // namespace quarn::detail
