// The floor every gzip benchmark measures against: zlib alone inflating a file.
#pragma once

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace quarn_bench {

// zlib alone inflating every member of the file at `path` into a small reused window, reading the
// file in pieces as a loader would. Returns the decoded size; exits on any failure.
inline std::size_t inflate_only(const std::string& path) {
  const auto die = [](const std::string& what) {
    std::fprintf(stderr, "zlib floor: %s\n", what.c_str());
    std::exit(1);
  };
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) die("cannot open " + path);
  std::vector<unsigned char> in(256 * 1024), out(1 << 20);
  z_stream z{};
  if (inflateInit2(&z, 15 + 16) != Z_OK) die("inflateInit2 failed");
  std::size_t total = 0;
  bool eof = false;
  for (;;) {
    if (z.avail_in == 0 && !eof) {
      const ssize_t n = read(fd, in.data(), in.size());
      if (n < 0) die("read failed on " + path);
      eof = n == 0;
      z.next_in = in.data();
      z.avail_in = static_cast<uInt>(n);
    }
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    const int r = inflate(&z, Z_NO_FLUSH);
    total += out.size() - z.avail_out;
    if (r == Z_STREAM_END) {
      if (z.avail_in < 2 && !eof) {
        // Keep what is left and read on, to see whether another member follows.
        const unsigned char keep = z.avail_in == 1 ? z.next_in[0] : 0;
        const std::size_t kept = z.avail_in;
        in[0] = keep;
        const ssize_t n = read(fd, in.data() + kept, in.size() - kept);
        if (n < 0) die("read failed on " + path);
        eof = n == 0;
        z.next_in = in.data();
        z.avail_in = static_cast<uInt>(kept + static_cast<std::size_t>(n));
      }
      if (z.avail_in < 2 || z.next_in[0] != 0x1f || z.next_in[1] != 0x8b) break;
      inflateReset(&z);
    } else if (r != Z_OK && !(r == Z_BUF_ERROR && z.avail_in == 0 && !eof)) {
      die("inflate failed on " + path);
    }
  }
  inflateEnd(&z);
  close(fd);
  return total;
}

}  // namespace quarn_bench
