#include "gzip_decoder.hpp"

#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstring>
#include <new>

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
  std::unique_ptr<unsigned char[]> input = std::make_unique_for_overwrite<unsigned char[]>(kInputSize);
  bool open = false;
  ~State() {
    if (open) inflateEnd(&z);
  }
};

GzipDecoder::GzipDecoder(int fd) : state_(std::make_unique<State>()), fd_(fd) {
  z_stream& z = state_->z;
  z.next_in = state_->input.get();
  z.avail_in = 0;
  const int r = inflateInit2(&z, kGzipWindowBits);
  if (r == Z_MEM_ERROR) throw std::bad_alloc();
  if (r != Z_OK) {
    message_ = zError(r);
    return;
  }
  state_->open = true;
}

GzipDecoder::~GzipDecoder() = default;

GzipDecoder::Status GzipDecoder::fail(const char* message) noexcept {
  message_ = message;
  return Status::kFailed;
}

bool GzipDecoder::fill() noexcept {
  z_stream& z = state_->z;
  unsigned char* input = state_->input.get();
  if (z.avail_in > 0 && z.next_in != input) std::memmove(input, z.next_in, z.avail_in);
  z.next_in = input;
  for (;;) {
    const ssize_t n = read(fd_, input + z.avail_in, kInputSize - z.avail_in);
    if (n < 0) {
      if (errno == EINTR) continue;
      os_error_ = errno;
      return false;
    }
    if (n == 0) at_eof_ = true;
    z.avail_in += static_cast<uInt>(n);
    return true;
  }
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
