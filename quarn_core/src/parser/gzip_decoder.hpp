// Decoding a gzip file member after member, straight into the caller's memory.
#pragma once

#include <cstddef>
#include <memory>

namespace quarn::detail {

// Every member of the file is decoded in turn, as gzip does. After a complete member, bytes that do
// not begin another member (magic 1f 8b) end the text and are ignored; a later member that is damaged
// or cut short is a failure like any other. Reads the file descriptor it is given (never closes it),
// or bytes already in memory.
class GzipDecoder {
 public:
  enum class Status {
    kMore,         // the room was filled; the stream goes on
    kEnd,          // the text is complete
    kFailed,       // reading or decoding failed: see os_error() / message()
    kOutOfMemory,  // the decoder could not allocate its window
  };

  // May throw std::bad_alloc (input buffer and decoder state are allocated here, not while decoding).
  explicit GzipDecoder(int fd);
  // Decodes `size` bytes at `bytes` (which must outlive it). When `end_error` is an errno, the input
  // ends with that read failure instead of the end of the file.
  GzipDecoder(const unsigned char* bytes, std::size_t size, int end_error);
  ~GzipDecoder();
  GzipDecoder(const GzipDecoder&) = delete;
  GzipDecoder& operator=(const GzipDecoder&) = delete;

  // Decodes up to `room` (> 0) bytes into `out` and adds the count to `*written`. Returns kMore when
  // it stopped for lack of room (all of it, for rooms under 1 GiB). After kEnd, kFailed or
  // kOutOfMemory, do not call again. Never throws; allocates nothing but the decoder's window, once.
  Status decode(char* out, std::size_t room, std::size_t* written) noexcept;

  // After kFailed: the errno of a failed read, or 0 when the decoder itself failed.
  int os_error() const noexcept { return os_error_; }
  // After kFailed with os_error() == 0: the decoder's own text. Static storage.
  const char* message() const noexcept { return message_; }

 private:
  bool fill() noexcept;  // reads more input after what is left; false on a read error
  bool fill_from_memory() noexcept;
  Status fail(const char* message) noexcept;

  struct State;
  std::unique_ptr<State> state_;
  int fd_ = -1;
  const unsigned char* bytes_ = nullptr;  // the rest of the input held in memory
  std::size_t bytes_left_ = 0;
  int end_error_ = 0;
  bool in_member_ = true;
  bool at_eof_ = false;
  int os_error_ = 0;
  const char* message_ = nullptr;
};

}  // namespace quarn::detail
