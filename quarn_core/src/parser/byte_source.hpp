// The bytes of a file's text: a plain read or an inflater fills one buffer, whole or beside the parse.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>

#include "file_read.hpp"
#include "gzip_decoder.hpp"
#include "quarn/reader.hpp"
#include "text_buffer.hpp"

namespace quarn::detail {

// The extension of the path's last component: the text after its last ".", none when the name has no
// "." or only a leading one. Gzip is chosen by an extension of exactly "gz" in any letter case.
bool has_gzip_extension(std::string_view path) noexcept;
// The last component without its extension, or the whole component when it has none. A view into
// `path`; never allocates.
std::string_view file_stem(std::string_view path) noexcept;

// Produces the text of one file, checking nothing but the reading and the decoding.
//
// A plain file is read whole, in one read of the size the system reports. A gzip regular file is read
// whole and inflated member by member by the fast inflater into a buffer of the size its trailer
// announces (grown when that was a lie); the compressed bytes are freed before the parse. A gzip file of unknown size (a FIFO, a device), and every
// gzip file in a build without the fast inflater, is inflated by zlib: whole, or, for a regular file
// large enough to gain from a thread, on a worker beside the parse into a buffer reserved for the
// worst-case expansion, so that the text never moves while the parse reads it.
//
// Every failure has zlib's words: a file the fast inflater refuses is inflated again by zlib, which
// tells why (or, should it accept the file, gives the text).
//
// No size limit is imposed, but the text never outgrows memory: memory is asked for (fits_in_memory)
// before each step past 64 MiB, and a text that cannot have its next step ends the read with the
// IoError "decoded text does not fit in memory".
class ByteSource {
 public:
  enum class Progress : unsigned char { kRunning, kDone, kFailed, kOutOfMemory, kFull, kTooLarge };
  struct Piece {
    std::size_t decoded;  // bytes at data() that are final
    Progress progress;
  };

  ByteSource() noexcept = default;
  // Stops and joins the worker, then releases the file and the text.
  ~ByteSource();
  ByteSource(const ByteSource&) = delete;
  ByteSource& operator=(const ByteSource&) = delete;

  // Opens `path` (raw bytes) and produces the whole text, unless it starts the worker. A failure to
  // open carries the path as detail, later failures none. Call once. May throw std::bad_alloc.
  std::optional<ReaderError> open(std::string_view path);

  // True while the worker produces the text (after open() returned no failure).
  bool streaming() const noexcept { return streaming_; }
  // The text; after open() of a whole text, all `length()` bytes of it. The address changes only in
  // finish().
  char* data() const noexcept { return buffer_.data(); }
  std::size_t length() const noexcept { return length_; }

  // Streaming: waits until more than `seen` bytes are decoded or the worker has stopped, prefaulting
  // the pages the worker will write next meanwhile. Never throws.
  Piece wait(std::size_t seen) noexcept;

  // Streaming: joins the worker and settles the text: inflates on the calling thread whatever a full
  // buffer left (the address may change), and returns the source's failure, if any. Call once, after
  // the parse. May throw std::bad_alloc, also when the decoder ran out of memory.
  std::optional<ReaderError> finish();

  // True when the worker's buffer filled before the text ended (the file grew while it was read) and
  // finish() inflated the rest.
  bool was_cut() const noexcept { return was_cut_; }

  // Before open(): gzip regular files, however small, are inflated by zlib on the worker into at most
  // `bytes` (for exercising the worker, a cut feed and the zlib path in any build).
  void stream_with_zlib(std::size_t bytes) noexcept {
    force_streaming_ = true;
    capacity_limit_ = bytes;
  }

 private:
  std::optional<ReaderError> read_plain(std::size_t size_guess);
  std::optional<ReaderError> inflate_fast(std::size_t compressed_size);
  std::optional<ReaderError> inflate_with_zlib(std::unique_ptr<GzipDecoder> decoder, std::size_t size_guess);
  bool start_worker(std::size_t compressed_size);
  void run_worker() noexcept;
  void publish(std::size_t decoded, Progress progress) noexcept;
  std::size_t prefault_limit(std::size_t decoded) const noexcept;
  // Inflates the rest with gzip_ on the calling thread, growing the buffer past length_.
  std::optional<ReaderError> inflate_rest();
  // True when the first `end` bytes of the text may be written; asks for memory when they go past
  // what was granted so far.
  bool grant(std::size_t end) noexcept;
  // Grants the first `end` bytes, or as many of them as memory allows; returns what is granted.
  std::size_t grant_up_to(std::size_t end) noexcept;
  ReaderError decoder_failure() const;
  void close_file() noexcept;

  OpenedFile file_;
  TextBuffer buffer_;
  std::size_t length_ = 0;
  std::unique_ptr<GzipDecoder> gzip_;
  bool force_streaming_ = false;
  std::size_t capacity_limit_ = ~std::size_t{0};
  bool streaming_ = false;
  bool was_cut_ = false;
  // Bytes of the text that may be written. The worker alone uses it while it runs, the calling thread
  // before it starts and after it ends.
  std::size_t granted_ = 0;

  // Shared with the worker. It writes only past `decoded_`; readers read only before it.
  std::thread worker_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::size_t decoded_ = 0;                // guarded by mutex_
  Progress progress_ = Progress::kRunning;  // guarded by mutex_
  std::atomic<bool> cancel_{false};

  // The waiting side's (the calling thread's) prefaulting.
  std::size_t populated_ = 0;  // the text's pages below this were prefaulted (or written)
  std::size_t announced_ = 0;  // the length the gzip trailer announces, or 0
  bool can_prefault_ = true;
};

}  // namespace quarn::detail
