// The bytes of a file's text: a plain read or an inflater fills one buffer, whole or beside the parse.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>

#include "file_read.hpp"
#include "gzip_decoder.hpp"
#include "helper_thread.hpp"
#include "quarn/reader.hpp"
#include "text_buffer.hpp"

namespace quarn::detail {

// The extension of the path's last component: the text after its last ".", none when the name has no
// "." or only a leading one. Gzip is chosen by an extension of exactly "gz" in any letter case.
bool has_gzip_extension(std::string_view path) noexcept;
// The last component without its extension, or the whole component when it has none. A view into
// `path`; never allocates.
std::string_view file_stem(std::string_view path) noexcept;

// A compressed file read whole.
struct PackedFile {
  std::unique_ptr<unsigned char[]> bytes;
  std::size_t size = 0;
  int error = 0;  // errno of a read that failed after `size` bytes
};

// Produces the text of one file, checking nothing but the reading and the decoding.
//
// A plain file is read whole, in one read of the size the system reports; a large regular one is read
// on the loading thread's helper instead, in pieces beside the parse. A gzip regular file is read
// whole the same way and inflated member by member by the fast inflater: on the loading thread's
// helper (HelperThread), beside the parse, into a buffer reserved for the worst-case expansion, so
// that the text never moves while the parse reads it; a small file, or one whose worst case finds no
// address space, is inflated whole before the parse instead. A gzip file of unknown size (a FIFO, a
// device) is inflated whole by zlib; in a build without the fast inflater zlib does all the gzip
// work, beside the parse for regular files large enough to gain from it, reading them piece by piece.
//
// Every failure has zlib's words: bytes the fast inflater refuses are inflated again by zlib, which
// tells why (or, should it accept them, gives the text).
//
// No size limit is imposed, but the text never outgrows memory: memory is asked for (fits_in_memory)
// before each step past 64 MiB, and a text that cannot have its next step ends the read with the
// IoError "decoded text does not fit in memory".
//
// Not thread-safe, except peek(): one thread opens, waits, finishes and destroys a source.
class ByteSource {
 public:
  enum class Progress : unsigned char { kRunning, kDone, kFailed, kOutOfMemory, kFull, kTooLarge };
  struct Piece {
    std::size_t decoded;  // bytes at data() that are final
    Progress progress;
  };

  ByteSource() noexcept = default;
  // Stops the inflater and waits for it, then releases the file and the text.
  ~ByteSource();
  ByteSource(const ByteSource&) = delete;
  ByteSource& operator=(const ByteSource&) = delete;

  // Opens `path` (raw bytes) and produces the whole text, unless it starts the inflater beside the
  // parse. A failure to open carries the path as detail, later failures none. Call once. May throw
  // std::bad_alloc, and Interrupted when the caller's check stops a read.
  std::optional<ReaderError> open(std::string_view path);

  // True while the inflater produces the text beside the parse (after open() returned no failure).
  bool streaming() const noexcept { return streaming_; }
  // The text length the gzip trailer announces, 0 when unknown. Only a hint: the last member's
  // trailer counts that member alone, modulo 2^32.
  std::size_t announced() const noexcept { return announced_; }
  // The text; after open() of a whole text, all `length()` bytes of it. The address changes only in
  // finish().
  char* data() const noexcept { return buffer_.data(); }
  std::size_t length() const noexcept { return length_; }

  // Streaming: waits until more than `seen` bytes are decoded or the inflater has stopped,
  // prefaulting the pages it will write next meanwhile. Never throws.
  Piece wait(std::size_t seen) noexcept;

  // The bytes decoded so far and the progress, without waiting: kDone once the whole text is decoded
  // (at once after open() of a whole text, and after a finish() that found no failure), a failure
  // once the inflater has stopped on one, else kRunning. Bytes below `decoded` are final. Never
  // throws, never blocks (two atomic loads); may be called from any thread while the source exists.
  Piece peek() const noexcept {
    const Progress progress = progress_.load(std::memory_order_acquire);
    return {decoded_.load(std::memory_order_acquire), progress};
  }

  // Streaming: waits for the inflater and settles the text: inflates on the calling thread whatever
  // a full buffer left (the address may change), and returns the source's failure, if any. Call
  // once, after the parse. May throw std::bad_alloc, also when the decoder ran out of memory.
  std::optional<ReaderError> finish();

  // True when the inflater's buffer filled before the text ended (the file grew while it was read)
  // and finish() inflated the rest.
  bool was_cut() const noexcept { return was_cut_; }

  // Before open(): gzip regular files, however small, are inflated by zlib beside the parse, reading
  // the file piece by piece, and plain regular files are read beside the parse, however small, both
  // into at most `bytes` (for exercising the feed, a cut feed and the zlib path in any build).
  void stream_with_zlib(std::size_t bytes) noexcept {
    force_streaming_ = true;
    capacity_limit_ = bytes;
  }

 private:
  std::optional<ReaderError> read_plain(std::size_t size_guess);
  // Reads on from length_ to the end of the file, growing the buffer.
  std::optional<ReaderError> read_rest();
  std::optional<ReaderError> inflate_packed(std::size_t compressed_size);
  std::optional<ReaderError> inflate_fast_whole();
  std::optional<ReaderError> inflate_with_zlib(std::unique_ptr<GzipDecoder> decoder, std::size_t size_guess);
  // The text that `compressed_size` bytes can inflate to at most (within the test limit); all ones
  // when no buffer could hold it.
  std::size_t worst_case(std::size_t compressed_size) const noexcept;
  // Reserves `capacity` bytes and starts `job` on the helper; false (and nothing started) when either
  // cannot be had.
  bool start_streaming(std::size_t capacity, HelperThread::Job job);
  // The jobs: ISA-L over packed_, zlib reading the file, and a plain read. Failures reach the parse
  // as values.
  static void inflate_fast_job(void* self) noexcept;
  static void inflate_zlib_job(void* self) noexcept;
  static void read_plain_job(void* self) noexcept;
  // The zlib job's loop from `decoded` on; gzip_ must be set.
  void stream_zlib(std::size_t decoded) noexcept;
  // After the fast inflater refused at `decoded`: zlib inflates packed_ from its start, drops the
  // first `decoded` bytes, which the parse may be reading, and goes on from there.
  void stream_zlib_after_refusal(std::size_t decoded) noexcept;
  // The room for the next piece at `decoded`, granted; publishes the reason and returns 0 if none.
  std::size_t next_piece(std::size_t decoded) noexcept;
  void publish(std::size_t decoded, Progress progress) noexcept;
  // The whole text, at once: what peek() and wait() see after a text produced whole.
  void settle() noexcept { publish(length_, Progress::kDone); }
  std::size_t prefault_limit(std::size_t decoded) const noexcept;
  // Inflates the rest with gzip_ on the calling thread, growing the buffer past length_.
  std::optional<ReaderError> inflate_rest();
  // True when the first `end` bytes of the text may be written; asks for memory when they go past
  // what was granted so far.
  bool grant(std::size_t end) noexcept;
  ReaderError decoder_failure() const;
  void close_file() noexcept;

  OpenedFile file_;
  PackedFile packed_;  // a gzip file read whole, kept until its inflater no longer reads it
  TextBuffer buffer_;
  std::size_t length_ = 0;
  std::unique_ptr<GzipDecoder> gzip_;
  int read_error_ = 0;  // errno of the plain read job's failed read
  bool force_streaming_ = false;
  std::size_t capacity_limit_ = ~std::size_t{0};
  bool streaming_ = false;
  bool was_cut_ = false;
  // Bytes of the text that may be written. The inflater alone uses it while it runs, the calling
  // thread before it starts and after it ends.
  std::size_t granted_ = 0;

  // Shared with the job. It writes only past `decoded_`; readers read only before it. Both atomics
  // change under mutex_ (so that wait() misses no change) and are read without it by peek().
  HelperThread* helper_ = nullptr;
  HelperThread::Ticket ticket_ = 0;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::atomic<std::size_t> decoded_{0};
  std::atomic<Progress> progress_{Progress::kRunning};
  std::atomic<bool> cancel_{false};
  bool waiter_sleeps_ = false;  // the parse sleeps on changed_, guarded by mutex_

  // The waiting side's (the calling thread's) prefaulting.
  std::size_t populated_ = 0;  // the text's pages below this were prefaulted (or written)
  std::size_t announced_ = 0;  // the length the gzip trailer announces, or 0
  bool can_prefault_ = true;
};

}  // namespace quarn::detail
