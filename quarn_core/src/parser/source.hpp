// Opening a structure file and handing its decoded, UTF-8-checked text to the parser.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>

#include "gzip_decoder.hpp"
#include "quarn/reader.hpp"
#include "text_buffer.hpp"
#include "text_feed.hpp"

namespace quarn::detail {

// The extension of the path's last component: the text after its last ".", none when the name has no
// "." or only a leading one. Gzip is chosen by an extension of exactly "gz" in any letter case.
bool has_gzip_extension(std::string_view path) noexcept;
// The last component without its extension, or the whole component when it has none. A view into
// `path`; never allocates.
std::string_view file_stem(std::string_view path) noexcept;

// The decoded text of one file, fed to the parser.
//
// A plain file, and gzip input of unknown size (a FIFO, a device), is read and checked whole by
// open(). A gzip regular file is inflated on a worker thread into a buffer reserved for the worst-case
// expansion of its compressed size, so the text never moves; more() hands the parser each piece once it
// has passed the UTF-8 check, and the parse overlaps the inflating.
//
// What callers observe is still "read everything, check UTF-8, then parse": after the parse, finish()
// drains the rest of the file and reports the failure that sequence meets first (a read or decoding
// failure anywhere, then invalid UTF-8 anywhere), which takes precedence over the parse's outcome.
//
// No size limit is imposed, but the text never outgrows memory: whatever writes it asks for memory
// 64 MiB at a time (fits_in_memory), and a text that cannot have its next step ends the read with the
// IoError "decoded text does not fit in memory" instead of a process killed by the kernel.
class SourceText final : public TextFeed {
 public:
  SourceText() noexcept = default;
  // Stops and joins the worker, then releases the file and the text.
  ~SourceText() override;
  SourceText(const SourceText&) = delete;
  SourceText& operator=(const SourceText&) = delete;

  // Opens `path` (raw bytes); for a plain file also reads and checks it. A failure to open carries the
  // path as detail, later failures none. Call once. May throw std::bad_alloc.
  std::optional<ReaderError> open(std::string_view path);

  // Waits for the next checked piece. Never throws.
  bool more() noexcept override;

  // Reads, decodes and checks whatever the parse left; returns the source's first failure, or nothing
  // when the whole text is sound, and then [data(), data() + ready()) is all of it. Call once, after the
  // parse. May throw std::bad_alloc, also when the decoder ran out of memory.
  std::optional<ReaderError> finish();

  // True when the feed ended before the text did: the file outgrew its reserved worst case while being
  // read (it was written to meanwhile), finish() continued into a larger buffer, and the parse, which
  // saw only a prefix, has to run again over the whole text.
  bool feed_was_cut() const noexcept { return feed_was_cut_; }

  // Caps the reservation for a text inflated in parallel (before open(); for exercising the cut feed).
  void limit_parallel_capacity(std::size_t bytes) noexcept { capacity_limit_ = bytes; }

 private:
  enum class Progress : unsigned char { kRunning, kDone, kFailed, kOutOfMemory, kFull, kTooLarge };

  std::optional<ReaderError> read_plain(std::size_t size_guess);
  std::optional<ReaderError> inflate_whole(std::size_t compressed_size);
  bool start_parallel(std::size_t compressed_size);
  void run_worker() noexcept;
  void publish(std::size_t decoded, Progress progress) noexcept;
  std::size_t prefault_limit(std::size_t decoded) const noexcept;
  // Inflates the rest on the calling thread, growing the buffer. Sets `*length`.
  std::optional<ReaderError> inflate_rest(std::size_t* length);
  std::optional<ReaderError> accept_whole(std::size_t length);
  // True when the first `end` bytes of the text may be written; asks for memory when they go past
  // what was granted so far.
  bool grant(std::size_t end) noexcept;
  ReaderError decoder_failure() const;
  void close_file() noexcept;

  int fd_ = -1;
  TextBuffer buffer_;
  std::unique_ptr<GzipDecoder> gzip_;
  std::size_t capacity_limit_ = ~std::size_t{0};
  bool parallel_ = false;
  bool feed_was_cut_ = false;
  // Bytes of the text that may be written. The worker alone uses it while it runs, the calling thread
  // before it starts and after it ends.
  std::size_t granted_ = 0;

  // Shared with the worker. It writes only past `decoded_`; the feed reads only before it.
  std::thread worker_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::size_t decoded_ = 0;                // guarded by mutex_
  Progress progress_ = Progress::kRunning;  // guarded by mutex_
  std::atomic<bool> cancel_{false};

  // The feed's side (the calling thread only).
  std::size_t seen_ = 0;       // decoded bytes already looked at
  std::size_t populated_ = 0;  // the text's pages below this were prefaulted (or written)
  std::size_t announced_ = 0;  // the length the gzip trailer announces, or 0
  bool can_prefault_ = true;
  bool stopped_ = false;       // more() has returned false
  bool broken_utf8_ = false;   // a sequence before `seen_` can never be valid
};

}  // namespace quarn::detail
