#include "file_read.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <utility>

#include "quarn/interrupt.hpp"

namespace quarn::detail {

ReaderError os_failure(int error, std::optional<std::string> detail) {
  std::string text = std::system_category().message(error);
  ReaderError e;
  e.message = text + " (os error " + std::to_string(error) + ")";
  e.detail = std::move(detail);
  e.source = IoSource{error, std::move(text)};
  e.kind = ReaderErrorKind::IoError;
  return e;
}

ReaderError io_failure(std::string_view text, int os_error) {
  ReaderError e;
  e.message = std::string(text);
  e.source = IoSource{os_error, std::string(text)};
  e.kind = ReaderErrorKind::IoError;
  return e;
}

std::optional<ReaderError> open_file(std::string_view path, OpenedFile* file) {
  const std::string terminated(path);
  // The system would read a path with a NUL byte as a shorter one: refuse it as it refuses names.
  if (terminated.find('\0') != std::string::npos) return os_failure(EINVAL, terminated);
  int fd;
  for (;;) {
    fd = ::open(terminated.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0 || errno != EINTR) break;
    interruption_point();
  }
  if (fd < 0) return os_failure(errno, terminated);
  file->fd = fd;
  struct stat info {};
  if (fstat(fd, &info) != 0) return os_failure(errno, std::nullopt);
  file->sized = S_ISREG(info.st_mode) && info.st_size > 0;
  file->size = file->sized ? static_cast<std::size_t>(info.st_size) : 0;
  return std::nullopt;
}

ReadCount read_up_to(int fd, char* out, std::size_t room) noexcept {
  std::size_t done = 0;
  while (done < room) {
    const ssize_t n = ::read(fd, out + done, room - done);
    if (n < 0 && errno != EINTR) return {done, errno};
    // A signal cuts a wait short (a FIFO, a terminal); an endless device never waits at all.
    if (interrupt_requested()) return {done, EINTR};
    if (n < 0) continue;
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return {done, 0};
}

void stop_if_interrupted(const ReadCount& r) {
  if (r.error == EINTR) throw Interrupted();
}

}  // namespace quarn::detail
