// Helpers for tests that read files: a scratch directory, file writing, gzip members in and out.
#pragma once

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

namespace quarn::testing_files {

// A fresh directory, removed with everything in it when the test ends.
class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quarn-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
    path_ = pattern;
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  std::string path(std::string_view name) const { return (path_ / std::string(name)).string(); }

  // Writes `bytes` to `name` and returns the file's path.
  std::string write(std::string_view name, std::string_view bytes) const {
    const std::string p = path(name);
    std::ofstream out(p, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return p;
  }

 private:
  std::filesystem::path path_;
};

// One complete gzip member holding `text`.
inline std::string gzip_member(std::string_view text, int level = 6) {
  z_stream z{};
  if (deflateInit2(&z, level, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) return {};
  std::string out(deflateBound(&z, static_cast<uLong>(text.size())), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  z.avail_in = static_cast<uInt>(text.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  const int r = deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  if (r != Z_STREAM_END) ADD_FAILURE() << "deflate did not finish";
  return out;
}

// The text of a gzip file as zlib's own file reader decodes it, every member: an oracle independent
// of the loader's decoder.
inline std::string gunzip_file(const std::string& path) {
  std::string out;
  gzFile f = gzopen(path.c_str(), "rb");
  if (f == nullptr) return out;
  char buffer[1 << 16];
  for (int n; (n = gzread(f, buffer, sizeof buffer)) > 0;) out.append(buffer, static_cast<std::size_t>(n));
  gzclose(f);
  return out;
}

}  // namespace quarn::testing_files
