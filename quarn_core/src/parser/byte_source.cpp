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
// The inflater publishes in pieces that double from the first size to the last: the parse waits
// only for the first (it starts at once even on a small text), then stays behind the inflater, and
// the pieces soon grow large enough that handing over costs nothing measurable.
constexpr std::size_t kFirstPiece = 16 * 1024;
constexpr std::size_t kPiece = 128 * 1024;

// The room for the piece after `decoded` bytes, in a buffer of `capacity`.
std::size_t piece_room(std::size_t decoded, std::size_t capacity) noexcept {
  const std::size_t piece = std::clamp(decoded, kFirstPiece, kPiece);
  return capacity - decoded < piece ? capacity - decoded : piece;
}
// Below this compressed size, handing the inflation to the helper costs more than the overlap gains.
constexpr std::size_t kZlibStreamThreshold = 64 * 1024;
constexpr std::size_t kFastStreamThreshold = 16 * 1024;
// Plain files from this size are read on the helper beside the parse: reading a large text into fresh
// memory and checking it took a fifth of its load, all before the parse began.
constexpr std::size_t kPlainStreamThreshold = 128 * 1024;

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
  if (ticket_ != 0) {
    cancel_.store(true, std::memory_order_relaxed);
    helper_->wait(ticket_);
  }
  close_file();
}

void ByteSource::close_file() noexcept {
  if (file_.fd >= 0) ::close(file_.fd);
  file_.fd = -1;
}

std::optional<ReaderError> ByteSource::open(std::string_view path) {
  if (auto failure = open_file(path, &file_)) return failure;
  std::optional<ReaderError> failure;
  if (!has_gzip_extension(path)) {
    // A text too large for memory is refused before any of it is read, whichever way it is read.
    if (!grant(file_.size + 1)) return too_large();
    if (file_.sized && ((file_.size >= kPlainStreamThreshold && cores_to_spare()) || force_streaming_)) {
      // The reported size guides prefaulting and the parse's reservations; a file that grows while
      // it is read overflows the slack and is finished by finish().
      announced_ = file_.size;
      if (start_streaming(std::min(file_.size + kSlack, capacity_limit_), read_plain_job)) return std::nullopt;
      announced_ = 0;
    }
    failure = read_plain(file_.size);
  } else if (file_.sized && force_streaming_) {
    gzip_ = std::make_unique<GzipDecoder>(file_.fd);
    if (start_streaming(worst_case(file_.size), inflate_zlib_job)) return std::nullopt;
    failure = inflate_with_zlib(std::move(gzip_), 4 * file_.size);
  } else if (file_.sized && have_fast_inflater() && fits_in_memory(file_.size)) {
    // (zlib streams the compressed bytes instead, when even they would not fit beside the text.)
    failure = inflate_packed(file_.size);
    if (!failure && streaming_) return std::nullopt;
  } else if (file_.sized && !have_fast_inflater() && file_.size >= kZlibStreamThreshold && cores_to_spare()) {
    gzip_ = std::make_unique<GzipDecoder>(file_.fd);
    if (start_streaming(worst_case(file_.size), inflate_zlib_job)) return std::nullopt;
    failure = inflate_with_zlib(std::move(gzip_), 4 * file_.size);
  } else {
    failure = inflate_with_zlib(std::make_unique<GzipDecoder>(file_.fd), file_.sized ? 4 * file_.size : kSlack);
  }
  if (!failure) settle();
  return failure;
}

std::optional<ReaderError> ByteSource::read_plain(std::size_t size_guess) {
  // One read of the announced size; the loop goes on to the real end, since files grow and special
  // files report sizes that are wrong. One spare byte lets the read that sees the end find room
  // (open() has granted it).
  if (!buffer_.reserve(size_guess + 1)) throw std::bad_alloc();
  return read_rest();
}

std::optional<ReaderError> ByteSource::read_rest() {
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

std::optional<ReaderError> ByteSource::inflate_packed(std::size_t compressed_size) {
  const bool beside = compressed_size >= kFastStreamThreshold && cores_to_spare();
  if (beside) {
    if (HelperThread* helper = HelperThread::of_this_thread()) helper->warm();
  }
  packed_ = read_packed(file_.fd, compressed_size);
  close_file();
  const std::size_t have = packed_.size;
  if (have >= 18) announced_ = announced_length(packed_.bytes.get() + have);
  if (beside && have >= kFastStreamThreshold && start_streaming(worst_case(have), inflate_fast_job)) {
    return std::nullopt;
  }
  auto failure = inflate_fast_whole();
  packed_ = PackedFile();
  return failure;
}

std::optional<ReaderError> ByteSource::inflate_fast_whole() {
  const std::size_t have = packed_.size;
  // The announced length is exact for a single member; room beyond the text costs nothing, as pages
  // are paid for only when written.
  const std::size_t worst = have > (~std::size_t{0} - kSlack) / kMaxExpansion ? ~std::size_t{0} : have * kMaxExpansion + kSlack;
  if (!buffer_.reserve(std::min(std::max(announced_, 2 * have) + kSlack, worst))) {
    // A trailer may announce gigabytes that the address space lacks: the text grows as zlib's would.
    if (!buffer_.reserve(2 * have + kSlack)) throw std::bad_alloc();
  }
  FastInflater inflater(packed_.bytes.get(), have, packed_.error);
  for (;;) {
    if (length_ == buffer_.capacity() && !buffer_.grow(2 * buffer_.capacity())) throw std::bad_alloc();
    if (length_ == granted_ && !grant(length_ + 1)) return too_large();
    const std::size_t end = std::min(buffer_.capacity(), granted_);
    switch (inflater.decode(buffer_.data() + length_, end - length_, &length_)) {
      case FastInflater::Status::kMore:
        continue;
      case FastInflater::Status::kEnd:
        return std::nullopt;
      case FastInflater::Status::kRefused:
        break;
      case FastInflater::Status::kOutOfMemory:
        throw std::bad_alloc();
    }
    // zlib inflates the same bytes from the start and says what is wrong with them, in its own words.
    gzip_ = std::make_unique<GzipDecoder>(packed_.bytes.get(), have, packed_.error);
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

ReaderError ByteSource::decoder_failure() const {
  if (!gzip_) return os_failure(read_error_, std::nullopt);
  if (gzip_->os_error() != 0) return os_failure(gzip_->os_error(), std::nullopt);
  return io_failure(gzip_->message());
}

std::size_t ByteSource::worst_case(std::size_t compressed_size) const noexcept {
  if (compressed_size > (~std::size_t{0} - kSlack) / kMaxExpansion) return ~std::size_t{0};
  return std::min(compressed_size * kMaxExpansion + kSlack, capacity_limit_);
}

bool ByteSource::start_streaming(std::size_t capacity, HelperThread::Job job) {
  if (capacity == ~std::size_t{0}) return false;
  const std::size_t compressed_size = file_.size;
  // Without the address space for the worst case, or without a helper, inflate before parsing.
  helper_ = HelperThread::of_this_thread();
  if (helper_ == nullptr || !buffer_.reserve(capacity)) return false;
  if (announced_ == 0 && file_.fd >= 0) {
    // Only bounds prefaulting, so a wrong guess does no harm beyond a few pages.
    unsigned char isize[4];
    if (compressed_size >= 18 && pread(file_.fd, isize, 4, static_cast<off_t>(compressed_size - 4)) == 4) {
      announced_ = announced_length(isize + 4);
    }
  }
  streaming_ = true;
  ticket_ = helper_->start(job, this);
  return true;
}

void ByteSource::publish(std::size_t decoded, Progress progress) noexcept {
  bool sleeps = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    decoded_.store(decoded, std::memory_order_release);
    progress_.store(progress, std::memory_order_release);
    sleeps = waiter_sleeps_;
  }
  // Only a sleeping parse needs the wake; a busy or spinning one sees the atomics.
  if (sleeps) changed_.notify_one();
}

std::size_t ByteSource::next_piece(std::size_t decoded) noexcept {
  const std::size_t room = piece_room(decoded, buffer_.capacity());
  if (room == 0) {
    publish(decoded, Progress::kFull);
    return 0;
  }
  if (!grant(decoded + room)) {
    publish(decoded, Progress::kTooLarge);
    return 0;
  }
  return room;
}

void ByteSource::inflate_fast_job(void* self) noexcept {
  auto* const source = static_cast<ByteSource*>(self);
  char* const base = source->buffer_.data();
  FastInflater inflater(source->packed_.bytes.get(), source->packed_.size, source->packed_.error);
  std::size_t decoded = 0;
  for (;;) {
    if (source->cancel_.load(std::memory_order_relaxed)) return;
    // A full buffer is past DEFLATE's bound: only zlib can say what such bytes are.
    const std::size_t room = piece_room(decoded, source->buffer_.capacity());
    if (room == 0) return source->stream_zlib_after_refusal(decoded);
    if (!source->grant(decoded + room)) return source->publish(decoded, Progress::kTooLarge);
    switch (inflater.decode(base + decoded, room, &decoded)) {
      case FastInflater::Status::kMore:
        source->publish(decoded, Progress::kRunning);
        continue;
      case FastInflater::Status::kEnd:
        // The compressed bytes go before the parse ends: the structure's memory may use them.
        source->packed_ = PackedFile();
        return source->publish(decoded, Progress::kDone);
      case FastInflater::Status::kRefused:
        return source->stream_zlib_after_refusal(decoded);
      case FastInflater::Status::kOutOfMemory:
        return source->publish(decoded, Progress::kOutOfMemory);
    }
  }
}

void ByteSource::stream_zlib_after_refusal(std::size_t decoded) noexcept {
  try {
    gzip_ = std::make_unique<GzipDecoder>(packed_.bytes.get(), packed_.size, packed_.error);
  } catch (const std::bad_alloc&) {
    return publish(decoded, Progress::kOutOfMemory);
  }
  // The parse may be reading the first `decoded` bytes: zlib's own are dropped. zlib gives the same
  // text as far as both read the stream, so the text goes on seamlessly.
  char dropped[16 * 1024];
  std::size_t skipped = 0;
  while (skipped < decoded) {
    if (cancel_.load(std::memory_order_relaxed)) return;
    std::size_t count = 0;
    const std::size_t room = std::min(sizeof dropped, decoded - skipped);
    const GzipDecoder::Status status = gzip_->decode(dropped, room, &count);
    skipped += count;
    if (status == GzipDecoder::Status::kMore) continue;
    if (status == GzipDecoder::Status::kFailed) return publish(decoded, Progress::kFailed);
    if (status == GzipDecoder::Status::kOutOfMemory) return publish(decoded, Progress::kOutOfMemory);
    // zlib ended the text where the fast inflater had not: unreachable while both read DEFLATE right.
    return publish(decoded, Progress::kDone);
  }
  stream_zlib(decoded);
}

void ByteSource::inflate_zlib_job(void* self) noexcept { static_cast<ByteSource*>(self)->stream_zlib(0); }

void ByteSource::stream_zlib(std::size_t decoded) noexcept {
  char* const base = buffer_.data();
  for (;;) {
    if (cancel_.load(std::memory_order_relaxed)) return;
    const std::size_t room = next_piece(decoded);
    if (room == 0) return;
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

void ByteSource::read_plain_job(void* self) noexcept {
  auto* const source = static_cast<ByteSource*>(self);
  char* const base = source->buffer_.data();
  std::size_t decoded = 0;
  for (;;) {
    if (source->cancel_.load(std::memory_order_relaxed)) return;
    const std::size_t room = source->next_piece(decoded);
    if (room == 0) return;
    const ReadCount r = read_up_to(source->file_.fd, base + decoded, room);
    decoded += r.bytes;
    if (r.error != 0) {
      source->read_error_ = r.error;
      return source->publish(decoded, Progress::kFailed);
    }
    if (r.bytes < room) return source->publish(decoded, Progress::kDone);
    source->publish(decoded, Progress::kRunning);
  }
}

ByteSource::Piece ByteSource::wait(std::size_t seen) noexcept {
  const auto moved = [this, seen] {
    return decoded_.load(std::memory_order_acquire) != seen ||
           progress_.load(std::memory_order_acquire) != Progress::kRunning;
  };
  std::unique_lock<std::mutex> lock(mutex_);
  while (!moved()) {
    const std::size_t from = std::max(populated_, seen);
    const std::size_t limit = prefault_limit(seen);
    if (!can_prefault_ || from >= limit) {
      lock.unlock();
      // The first piece comes after the helper's wake, so it may take longer than a later one.
      const bool came = spin_until(moved, seen == 0 ? kSpinAfterWake : kSpin);
      lock.lock();
      if (came || moved()) continue;  // a change while the lock was free came without a wake
      waiter_sleeps_ = true;
      changed_.wait(lock);
      waiter_sleeps_ = false;
      continue;
    }
    lock.unlock();
    const std::size_t length = std::min(kPrefaultStep, limit - from);
    can_prefault_ = buffer_.prefault(from, length);
    populated_ = from + length;
    lock.lock();
  }
  return {decoded_.load(std::memory_order_relaxed), progress_.load(std::memory_order_relaxed)};
}

std::size_t ByteSource::prefault_limit(std::size_t decoded) const noexcept {
  // Only pages the text will fill: a little ahead of the inflater, never past the announced length
  // (and without one, no further ahead than an eighth of what came so far).
  if (announced_ != 0) return std::min(decoded + kPrefaultAhead, announced_);
  return decoded + std::min(kPrefaultAhead, decoded / 8);
}

std::optional<ReaderError> ByteSource::finish() {
  helper_->wait(ticket_);
  ticket_ = 0;
  length_ = decoded_.load(std::memory_order_relaxed);
  std::optional<ReaderError> failure;
  switch (progress_.load(std::memory_order_relaxed)) {
    case Progress::kFailed:
      return decoder_failure();
    case Progress::kOutOfMemory:
      throw std::bad_alloc();
    case Progress::kTooLarge:
      return too_large();
    case Progress::kFull:
      was_cut_ = true;
      failure = gzip_ ? inflate_rest() : read_rest();
      break;
    case Progress::kRunning:
    case Progress::kDone:
      close_file();
      break;
  }
  packed_ = PackedFile();
  if (!failure) settle();
  return failure;
}

}  // namespace quarn::detail
