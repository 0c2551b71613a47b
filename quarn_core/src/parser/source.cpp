#include "source.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <string>
#include <system_error>
#include <utility>

#include "quarn/memory.hpp"
#include "quarn/utf8.hpp"

namespace quarn::detail {

namespace {

// DEFLATE's densest code turns one byte into at most 1032; gzip framing only adds input. Output past
// this bound is impossible unless the file grows while being read.
constexpr std::size_t kMaxExpansion = 1032;
constexpr std::size_t kSlack = 64 * 1024;
// The worker publishes in pieces of this size: small enough that the parser starts at once and ends
// soon after the inflater, large enough that handing over costs nothing measurable.
constexpr std::size_t kPiece = 512 * 1024;

// While the parse waits for the inflater it takes the inflater's page faults in advance, by huge
// pages, a few of them ahead: on a machine whose fresh memory is slow to hand out, faulting in the
// text costs nearly as much as inflating it.
constexpr std::size_t kPrefaultStep = std::size_t{2} << 20;
constexpr std::size_t kPrefaultAhead = std::size_t{8} << 20;

constexpr std::string_view kNotUtf8 = "stream did not contain valid UTF-8";
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

ReaderError os_failure(int error, std::optional<std::string> detail) {
  std::string text = std::system_category().message(error);
  ReaderError e;
  e.message = text + " (os error " + std::to_string(error) + ")";
  e.detail = std::move(detail);
  e.source = IoSource{error, std::move(text)};
  e.kind = ReaderErrorKind::IoError;
  return e;
}

ReaderError text_failure(std::string_view text, int os_error = 0) {
  ReaderError e;
  e.message = std::string(text);
  e.source = IoSource{os_error, std::string(text)};
  e.kind = ReaderErrorKind::IoError;
  return e;
}

ReaderError too_large() { return text_failure(kTooLarge, ENOMEM); }

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

SourceText::~SourceText() {
  if (worker_.joinable()) {
    cancel_.store(true, std::memory_order_relaxed);
    worker_.join();
  }
  close_file();
}

void SourceText::close_file() noexcept {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

std::optional<ReaderError> SourceText::open(std::string_view path) {
  const std::string terminated(path);
  // The system would read a path with a NUL byte as a shorter one: refuse it as it refuses names.
  if (terminated.find('\0') != std::string::npos) return os_failure(EINVAL, terminated);
  do {
    fd_ = ::open(terminated.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd_ < 0 && errno == EINTR);
  if (fd_ < 0) return os_failure(errno, terminated);

  struct stat info {};
  if (fstat(fd_, &info) != 0) return os_failure(errno, std::nullopt);
  // A size is only trusted from a regular file; FIFOs, devices and /proc files report 0 or a guess.
  const bool sized = S_ISREG(info.st_mode) && info.st_size > 0;
  const std::size_t size = sized ? static_cast<std::size_t>(info.st_size) : 0;

  if (!has_gzip_extension(path)) return read_plain(size);
  if (sized && start_parallel(size)) return std::nullopt;
  return inflate_whole(size);
}

std::optional<ReaderError> SourceText::read_plain(std::size_t size_guess) {
  // One read of the announced size; the loop goes on to the real end, since files grow and special
  // files report sizes that are wrong. One spare byte lets the read that sees the end find room.
  if (!grant(size_guess + 1)) return too_large();
  if (!buffer_.reserve(size_guess + 1)) throw std::bad_alloc();
  std::size_t length = 0;
  for (;;) {
    if (length == buffer_.capacity() && !buffer_.grow(2 * buffer_.capacity())) throw std::bad_alloc();
    if (length == granted_ && !grant(length + 1)) return too_large();
    const std::size_t end = std::min(buffer_.capacity(), granted_);
    const ssize_t n = ::read(fd_, buffer_.data() + length, end - length);
    if (n < 0) {
      if (errno == EINTR) continue;
      return os_failure(errno, std::nullopt);
    }
    if (n == 0) break;
    length += static_cast<std::size_t>(n);
  }
  close_file();
  return accept_whole(length);
}

std::optional<ReaderError> SourceText::inflate_whole(std::size_t compressed_size) {
  gzip_ = std::make_unique<GzipDecoder>(fd_);
  if (!buffer_.reserve(compressed_size > 0 ? 4 * compressed_size : kSlack)) throw std::bad_alloc();
  std::size_t length = 0;
  if (auto failure = inflate_rest(&length)) return failure;
  return accept_whole(length);
}

std::optional<ReaderError> SourceText::inflate_rest(std::size_t* length) {
  for (;;) {
    if (*length == buffer_.capacity() && !buffer_.grow(2 * buffer_.capacity())) throw std::bad_alloc();
    if (*length == granted_ && !grant(*length + 1)) return too_large();
    const std::size_t end = std::min(buffer_.capacity(), granted_);
    switch (gzip_->decode(buffer_.data() + *length, end - *length, length)) {
      case GzipDecoder::Status::kMore:
        continue;
      case GzipDecoder::Status::kEnd:
        close_file();
        return std::nullopt;
      case GzipDecoder::Status::kFailed:
        return decoder_failure();
      case GzipDecoder::Status::kOutOfMemory:
        throw std::bad_alloc();
    }
  }
}

std::optional<ReaderError> SourceText::accept_whole(std::size_t length) {
  stopped_ = true;
  data_ = buffer_.data();
  if (!is_valid_utf8({data_, length})) return text_failure(kNotUtf8);
  ready_ = length;
  size_hint_ = length;
  return std::nullopt;
}

bool SourceText::grant(std::size_t end) noexcept {
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

ReaderError SourceText::decoder_failure() const {
  if (gzip_->os_error() != 0) return os_failure(gzip_->os_error(), std::nullopt);
  return text_failure(gzip_->message());
}

bool SourceText::start_parallel(std::size_t compressed_size) {
  if (compressed_size > (~std::size_t{0} - kSlack) / kMaxExpansion) return false;
  std::size_t capacity = compressed_size * kMaxExpansion + kSlack;
  if (capacity > capacity_limit_) capacity = capacity_limit_;
  // Without the address space for the worst case, or without a thread, inflate before parsing.
  if (!buffer_.reserve(capacity)) return false;
  gzip_ = std::make_unique<GzipDecoder>(fd_);
  data_ = buffer_.data();
  // The trailer's ISIZE: the length of the last member modulo 2^32. Exact for the usual single
  // member; merely smaller for several, and only bounds prefaulting, so trailing junk does no harm
  // beyond a few pages.
  unsigned char isize[4];
  if (compressed_size >= 18 && pread(fd_, isize, 4, static_cast<off_t>(compressed_size - 4)) == 4) {
    announced_ = isize[0] | std::size_t{isize[1]} << 8 | std::size_t{isize[2]} << 16 | std::size_t{isize[3]} << 24;
  }
  try {
    worker_ = std::thread([this] { run_worker(); });
  } catch (const std::system_error&) {
    gzip_.reset();
    return false;
  }
  parallel_ = true;
  return true;
}

void SourceText::publish(std::size_t decoded, Progress progress) noexcept {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    decoded_ = decoded;
    progress_ = progress;
  }
  changed_.notify_one();
}

void SourceText::run_worker() noexcept {
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

bool SourceText::more() noexcept {
  if (stopped_ || !parallel_) return false;
  for (;;) {
    std::size_t decoded;
    Progress progress;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      while (decoded_ == seen_ && progress_ == Progress::kRunning) {
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
      decoded = decoded_;
      progress = progress_;
    }
    seen_ = decoded;
    // A failed source ends the feed at once: its failure is the result, whatever the parse finds.
    if (progress == Progress::kFailed || progress == Progress::kOutOfMemory || progress == Progress::kTooLarge) break;
    const Utf8Scan scan = scan_utf8(data_ + ready_, decoded - ready_);
    if (scan.broken) {
      broken_utf8_ = true;
      break;
    }
    if (scan.valid > 0) {
      ready_ += scan.valid;
      return true;
    }
    // Nothing new is complete: wait for more, unless no more is coming (a cut sequence at the very
    // end, or a full buffer, is judged by finish()).
    if (progress != Progress::kRunning) break;
  }
  stopped_ = true;
  return false;
}

std::size_t SourceText::prefault_limit(std::size_t decoded) const noexcept {
  // Only pages the text will fill: a little ahead of the inflater, never past the announced length
  // (and without one, no further ahead than an eighth of what came so far).
  if (announced_ != 0) return std::min(decoded + kPrefaultAhead, announced_);
  return decoded + std::min(kPrefaultAhead, decoded / 8);
}

std::optional<ReaderError> SourceText::finish() {
  if (!parallel_) return std::nullopt;  // checked whole by open()
  // Check the text the parse did not ask for; the worker meanwhile decodes to the end of the file,
  // where a decoding failure still outranks invalid UTF-8 met earlier.
  while (more()) {
  }
  worker_.join();
  std::size_t length = decoded_;
  switch (progress_) {
    case Progress::kFailed:
      return decoder_failure();
    case Progress::kOutOfMemory:
      throw std::bad_alloc();
    case Progress::kTooLarge:
      return too_large();
    case Progress::kFull:
      feed_was_cut_ = true;
      if (auto failure = inflate_rest(&length)) return failure;
      data_ = buffer_.data();
      break;
    case Progress::kRunning:
    case Progress::kDone:
      close_file();
      break;
  }
  if (!broken_utf8_) {
    const std::size_t rest = length - ready_;
    broken_utf8_ = scan_utf8(data_ + ready_, rest).valid != rest;
  }
  if (broken_utf8_) return text_failure(kNotUtf8);
  ready_ = length;
  return std::nullopt;
}

}  // namespace quarn::detail
