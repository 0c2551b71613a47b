// Memory for one whole decoded text: address space reserved at once, pages paid for as they are written.
#pragma once

#include <cstddef>

namespace quarn::detail {

// Up to 32 MiB the memory comes from the allocator, which hands the pages of the previous file's text
// to the next one: loading many entries then takes no page faults for their texts. Larger texts get
// an anonymous private mapping; the thread keeps its last one, with up to 32 MiB of its pages, for
// the next large reservation, to the same end. Reserving that is cheap (no page is touched and, with
// overcommit, none is accounted), so a worst-case size can be reserved up front and the text never has
// to move while a reader holds pointers into it. Growing may move it; only do that when nobody reads it.
class TextBuffer {
 public:
  TextBuffer() noexcept = default;
  ~TextBuffer();
  TextBuffer(const TextBuffer&) = delete;
  TextBuffer& operator=(const TextBuffer&) = delete;

  // Provides at least `capacity` bytes, dropping any earlier memory. False when the system refuses.
  // Never throws.
  bool reserve(std::size_t capacity) noexcept;
  // Enlarges the memory to at least `capacity` bytes, keeping its content; the address may change.
  // False when the system refuses (the old memory then stays as it was). Never throws.
  bool grow(std::size_t capacity) noexcept;

  // Backs [from, from + length) with written-to pages now (allocated and zeroed by the kernel, content
  // unchanged), so whoever writes there later takes no page faults. Safe while another thread writes
  // into the range. False when the system cannot, or the memory is the allocator's (then later calls
  // are pointless). Never throws.
  bool prefault(std::size_t from, std::size_t length) noexcept;

  char* data() const noexcept { return data_; }
  std::size_t capacity() const noexcept { return capacity_; }

 private:
  void release() noexcept;
  // A mapping of `size` bytes: the thread's kept one, resized, or a fresh one; null when refused.
  static char* map(std::size_t size) noexcept;

  char* data_ = nullptr;
  std::size_t capacity_ = 0;
  bool mapped_ = false;  // a mapping of its own, else the allocator's memory
};

}  // namespace quarn::detail
