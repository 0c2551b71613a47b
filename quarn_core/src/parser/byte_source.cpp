#include "byte_source.hpp"

#include <unistd.h>

#include <algorithm>
#include <new>
#include <system_error>
#include <utility>

#include "fast_inflate.hpp"
#include "quarn/interrupt.hpp"
#include "quarn/memory.hpp"

namespace quarn::detail {

namespace {

// DEFLATE's densest code turns one byte into at most 1032; gzip framing only adds input. Output past
// this bound is impossible unless the file grows while being read.
constexpr std::size_t kMaxExpansion = 1032;
constexpr std::size_t kSlack = 64 * 1024;
// The worker publishes in pieces of this size: small enough that the parser starts at once and ends
// soon after the inflater, large enough that handing over costs nothing measurable.
constexpr std::size_t kPiece = 512 * 1024;
// Below this compressed size, starting and joining a thread costs more than the overlap gains.
constexpr std::size_t kWorkerThreshold = 64 * 1024;

// While the parse waits for the inflater it takes the inflater's page faults in advance, by huge
// pages, a few of them ahead: on a machine whose fresh memory is slow to hand out, faulting in the
// text costs nearly as much as inflating it.
constexpr std::size_t kPrefaultStep = std::size_t{2} << 20;
constexpr std::size_t kPrefaultAhead = std::size_t{8} << 20;

constexpr std::string_view kTooLarge = "decoded text does not fit in memory";

// Memory for the text is asked for in steps of this size (the first one is granted without asking):
// often enough that the text cannot overrun what is free by much, seldom enough to cost nothing.
constexpr std::size_t kGrantStep = std::size_t{64} << 20;

std::string_view last_component(std::string_view path) noexcept {
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// Position of the dot that starts the extension of `name`, or npos.
std::size_t extension_dot(std::string_view name) noexcept {
  const std::size_t dot = name.rfind('.');
  return dot == 0 ? std::string_view::npos : dot;
}

ReaderError too_large() { return io_failure(kTooLarge, ENOMEM); }

// The gzip trailer's ISIZE: the length of the last member modulo 2^32. Exact for the usual single
// member; for several, or after trailing junk, merely a guess.
std::size_t announced_length(const unsigned char* end) noexcept {
  return end[-4] | std::size_t{end[-3]} << 8 | std::size_t{end[-2]} << 16 | std::size_t{end[-1]} << 24;
}

bool starts_member(const unsigned char* at, std::size_t left) noexcept {
  return left >= 2 && at[0] == 0x1f && at[1] == 0x8b;
}

struct PackedFile {
  std::unique_ptr<unsigned char[]> bytes;
  std::size_t size = 0;
  int error = 0;  // errno of a read that failed after `size` bytes
};

// The compressed file whole, in one read of its size (and on to its real end, should it have grown).
PackedFile read_packed(int fd, std::size_t size_guess) {
  PackedFile f;
  std::size_t capacity = size_guess + 1;
  f.bytes = std::make_unique_for_overwrite<unsigned char[]>(capacity);
  for (;;) {
    const ReadCount r = read_up_to(fd, reinterpret_cast<char*>(f.bytes.get()) + f.size, capacity - f.size);
    stop_if_interrupted(r);
    f.size += r.bytes;
    f.error = r.error;
    if (f.error != 0 || f.size < capacity) return f;
    auto larger = std::make_unique_for_overwrite<unsigned char[]>(2 * capacity);
    std::copy_n(f.bytes.get(), f.size, larger.get());
    f.bytes = std::move(larger);
    capacity *= 2;
  }
}

}  // namespace

bool has_gzip_extension(std::string_view path) noexcept {
  const std::string_view name = last_component(path);
  const std::size_t dot = extension_dot(name);
  if (dot == std::string_view::npos || name.size() - dot != 3) return false;
  return (name[dot + 1] | 0x20) == 'g' && (name[dot + 2] | 0x20) == 'z';
}

std::string_view file_stem(std::string_view path) noexcept {
  const std::string_view name = last_component(path);
  const std::size_t dot = extension_dot(name);
  return dot == std::string_view::npos ? name : name.substr(0, dot);
}

ByteSource::~ByteSource() {
  if (worker_.joinable()) {
    cancel_.store(true, std::memory_order_relaxed);
    worker_.join();
  }
  close_file();
}

void ByteSource::close_file() noexcept {
  if (file_.fd >= 0) ::close(file_.fd);
  file_.fd = -1;
}

std::optional<ReaderError> ByteSource::open(std::string_view path) {
  if (auto failure = open_file(path, &file_)) return failure;
  if (!has_gzip_extension(path)) return read_plain(file_.size);
  if (file_.sized) {
    if (force_streaming_ || (!have_fast_inflater() && file_.size >= kWorkerThreshold)) {
      if (start_worker(file_.size)) return std::nullopt;
    } else if (have_fast_inflater() && fits_in_memory(file_.size)) {
      // (zlib streams the compressed bytes instead, when even they would not fit beside the text.)
      return inflate_fast(file_.size);
    }
  }
  return inflate_with_zlib(std::make_unique<GzipDecoder>(file_.fd), file_.sized ? 4 * file_.size : kSlack);
}

std::optional<ReaderError> ByteSource::read_plain(std::size_t size_guess) {
  // One read of the announced size; the loop goes on to the real end, since files grow and special
  // files report sizes that are wrong. One spare byte lets the read that sees the end find room.
  if (!grant(size_guess + 1)) return too_large();
  if (!buffer_.reserve(size_guess + 1)) throw std::bad_alloc();
  for (;;) {
    if (length_ == buffer_.capacity() && !buffer_.grow(2 * buffer_.capacity())) throw std::bad_alloc();
    if (length_ == granted_ && !grant(length_ + 1)) return too_large();
    const std::size_t end = std::min(buffer_.capacity(), granted_);
    const ReadCount r = read_up_to(file_.fd, buffer_.data() + length_, end - length_);
    stop_if_interrupted(r);
    length_ += r.bytes;
    if (r.error != 0) return os_failure(r.error, std::nullopt);
    if (length_ < end) break;
  }
  close_file();
  return std::nullopt;
}

std::optional<ReaderError> ByteSource::inflate_fast(std::size_t compressed_size) {
  const PackedFile packed = read_packed(file_.fd, compressed_size);
  close_file();
  const std::size_t have = packed.size;
  const int read_error = packed.error;
  const unsigned char* const in = packed.bytes.get();
  const std::size_t announced = have >= 18 ? announced_length(in + have) : 0;
  std::size_t at = 0;  // where the current member starts
  // The announced length is exact for a single member; room beyond the text costs nothing, as pages
  // are paid for only when written.
  std::size_t wanted = std::max(announced, 2 * have) + kSlack;
  for (;;) {
    const std::size_t worst = (have - at) * kMaxExpansion + kSlack;
    wanted = std::min(wanted, worst);
    // A trailer may announce gigabytes that the address space lacks, or memory: then less room is
    // tried. A member that needs more than it got fails as zlib's growing text would: for want of
    // address space with std::bad_alloc, for want of memory as too large.
    std::size_t addressable = wanted;
    while (!buffer_.grow(length_ + addressable)) {
      if (addressable <= kSlack) throw std::bad_alloc();
      addressable /= 2;
    }
    const std::size_t room = std::min(buffer_.capacity(), grant_up_to(length_ + addressable)) - length_;
    std::size_t consumed = 0, written = 0;
    switch (inflate_member(in + at, have - at, buffer_.data() + length_, room, &consumed, &written)) {
      case MemberOutcome::kDone:
        length_ += written;
        at += consumed;
        if (starts_member(in + at, have - at)) {
          wanted = std::max(announced, 2 * (have - at)) + kSlack;
          continue;
        }
        // Whatever follows the last member is ignored, unless a failed read cut the bytes that would
        // have told whether another one begins.
        if (read_error != 0 && have - at < 2) return os_failure(read_error, std::nullopt);
        return std::nullopt;
      case MemberOutcome::kNoRoom:
        if (room < wanted) {
          if (room < addressable) return too_large();
          throw std::bad_alloc();
        }
        if (wanted < worst) {
          wanted = 2 * room;
          continue;
        }
        break;  // longer than any DEFLATE stream can be: let zlib judge it
      case MemberOutcome::kRefused:
        break;
      case MemberOutcome::kOutOfMemory:
        throw std::bad_alloc();
    }
    // zlib inflates the same bytes from the start and says what is wrong with them, in its own words.
    gzip_ = std::make_unique<GzipDecoder>(in, have, read_error);
    length_ = 0;
    return inflate_rest();
  }
}

std::optional<ReaderError> ByteSource::inflate_with_zlib(std::unique_ptr<GzipDecoder> decoder,
                                                         std::size_t size_guess) {
  gzip_ = std::move(decoder);
  if (!buffer_.reserve(size_guess)) throw std::bad_alloc();
  return inflate_rest();
}

std::optional<ReaderError> ByteSource::inflate_rest() {
  for (;;) {
    if (length_ == buffer_.capacity() && !buffer_.grow(2 * buffer_.capacity())) throw std::bad_alloc();
    if (length_ == granted_ && !grant(length_ + 1)) return too_large();
    const std::size_t end = std::min(buffer_.capacity(), granted_);
    switch (gzip_->decode(buffer_.data() + length_, end - length_, &length_)) {
      case GzipDecoder::Status::kMore:
        continue;
      case GzipDecoder::Status::kEnd:
        close_file();
        return std::nullopt;
      case GzipDecoder::Status::kFailed:
        // A read the caller's interrupt check cut short is a stop, not a failure of the file.
        if (interrupt_requested()) throw Interrupted();
        return decoder_failure();
      case GzipDecoder::Status::kOutOfMemory:
        throw std::bad_alloc();
    }
  }
}

bool ByteSource::grant(std::size_t end) noexcept {
  if (end <= granted_) return true;
  if (granted_ == 0 && end <= kAlwaysFits) {
    granted_ = kAlwaysFits;
    return true;
  }
  const std::size_t step = std::max(end - granted_, kGrantStep);
  if (step > ~std::size_t{0} - granted_ || !fits_in_memory(step)) return false;
  granted_ += step;
  return true;
}

std::size_t ByteSource::grant_up_to(std::size_t end) noexcept {
  // Halving the request until memory allows it, down to the granularity of the steps.
  while (!grant(end) && end - granted_ > kGrantStep) end = granted_ + (end - granted_) / 2;
  return granted_;
}

ReaderError ByteSource::decoder_failure() const {
  if (gzip_->os_error() != 0) return os_failure(gzip_->os_error(), std::nullopt);
  return io_failure(gzip_->message());
}

bool ByteSource::start_worker(std::size_t compressed_size) {
  if (compressed_size > (~std::size_t{0} - kSlack) / kMaxExpansion) return false;
  std::size_t capacity = compressed_size * kMaxExpansion + kSlack;
  if (capacity > capacity_limit_) capacity = capacity_limit_;
  // Without the address space for the worst case, or without a thread, inflate before parsing.
  if (!buffer_.reserve(capacity)) return false;
  gzip_ = std::make_unique<GzipDecoder>(file_.fd);
  // Only bounds prefaulting, so a wrong guess does no harm beyond a few pages.
  unsigned char isize[4];
  if (compressed_size >= 18 && pread(file_.fd, isize, 4, static_cast<off_t>(compressed_size - 4)) == 4) {
    announced_ = announced_length(isize + 4);
  }
  try {
    worker_ = std::thread([this] { run_worker(); });
  } catch (const std::system_error&) {
    gzip_.reset();
    return false;
  }
  streaming_ = true;
  return true;
}

void ByteSource::publish(std::size_t decoded, Progress progress) noexcept {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    decoded_ = decoded;
    progress_ = progress;
  }
  changed_.notify_one();
}

// Failures reach the parse as values: a fresh thread may not even have the memory an exception needs.
void ByteSource::run_worker() noexcept {
  char* const base = buffer_.data();
  const std::size_t capacity = buffer_.capacity();
  std::size_t decoded = 0;
  for (;;) {
    if (cancel_.load(std::memory_order_relaxed)) return;
    const std::size_t room = capacity - decoded < kPiece ? capacity - decoded : kPiece;
    if (room == 0) return publish(decoded, Progress::kFull);
    if (!grant(decoded + room)) return publish(decoded, Progress::kTooLarge);
    switch (gzip_->decode(base + decoded, room, &decoded)) {
      case GzipDecoder::Status::kMore:
        publish(decoded, Progress::kRunning);
        continue;
      case GzipDecoder::Status::kEnd:
        return publish(decoded, Progress::kDone);
      case GzipDecoder::Status::kFailed:
        return publish(decoded, Progress::kFailed);
      case GzipDecoder::Status::kOutOfMemory:
        return publish(decoded, Progress::kOutOfMemory);
    }
  }
}

ByteSource::Piece ByteSource::wait(std::size_t seen) noexcept {
  std::unique_lock<std::mutex> lock(mutex_);
  while (decoded_ == seen && progress_ == Progress::kRunning) {
    const std::size_t from = std::max(populated_, decoded_);
    const std::size_t limit = prefault_limit(decoded_);
    if (!can_prefault_ || from >= limit) {
      changed_.wait(lock);
      continue;
    }
    lock.unlock();
    const std::size_t length = std::min(kPrefaultStep, limit - from);
    can_prefault_ = buffer_.prefault(from, length);
    populated_ = from + length;
    lock.lock();
  }
  return {decoded_, progress_};
}

std::size_t ByteSource::prefault_limit(std::size_t decoded) const noexcept {
  // Only pages the text will fill: a little ahead of the inflater, never past the announced length
  // (and without one, no further ahead than an eighth of what came so far).
  if (announced_ != 0) return std::min(decoded + kPrefaultAhead, announced_);
  return decoded + std::min(kPrefaultAhead, decoded / 8);
}

std::optional<ReaderError> ByteSource::finish() {
  worker_.join();
  length_ = decoded_;
  switch (progress_) {
    case Progress::kFailed:
      return decoder_failure();
    case Progress::kOutOfMemory:
      throw std::bad_alloc();
    case Progress::kTooLarge:
      return too_large();
    case Progress::kFull:
      was_cut_ = true;
      return inflate_rest();
    case Progress::kRunning:
    case Progress::kDone:
      close_file();
      break;
  }
  return std::nullopt;
}

}  // namespace quarn::detail
