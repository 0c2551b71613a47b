// Opening and reading the file behind a text, and the I/O errors the reader reports for them.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "quarn/reader.hpp"

namespace quarn::detail {

// An IoError carrying the system's text for `error` and its number, as "<text> (os error <n>)".
ReaderError os_failure(int error, std::optional<std::string> detail);
// An IoError whose message is `text` (a decoder's own words, or one of the reader's).
ReaderError io_failure(std::string_view text, int os_error = 0);

struct OpenedFile {
  int fd = -1;
  std::size_t size = 0;  // from a regular file only; FIFOs, devices and /proc files report 0 or a guess
  bool sized = false;    // a regular file that reported a size above 0
};

// Opens `path` (raw bytes) for reading. A failure carries the path as detail. An open that waits
// (a FIFO without a writer) and is interrupted by a signal asks the caller's interrupt check and
// throws Interrupted when it says stop. Never throws otherwise but std::bad_alloc.
std::optional<ReaderError> open_file(std::string_view path, OpenedFile* file);

struct ReadCount {
  std::size_t bytes;  // read into the room, fewer than asked only at the end of the file or on an error
  int error;          // errno of a failed read, else 0
};

// Reads until `room` bytes have come or the file ends. The one place where the reader waits for the
// system: an interrupted read is retried here, unless the caller's interrupt check says stop; then,
// as after every read it asks, the count ends with error EINTR (which reaches the caller for no
// other reason). Never throws, never allocates.
ReadCount read_up_to(int fd, char* out, std::size_t room) noexcept;

// Throws Interrupted when `r` ended because the caller asked to stop.
void stop_if_interrupted(const ReadCount& r);

}  // namespace quarn::detail
