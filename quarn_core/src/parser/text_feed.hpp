// The text the parser reads: present whole, or arriving in pieces while it is being decoded.
#pragma once

#include <cstddef>
#include <string_view>

namespace quarn::detail {

// A text in one buffer that never moves. Bytes [data(), data() + ready()) are final; a producer on
// another thread (the gzip inflater) may append more, so the parser can work on the first megabytes
// while the rest is still being inflated. Pointers into the buffer stay valid for the whole parse.
class TextFeed {
 public:
  virtual ~TextFeed() = default;

  const char* data() const noexcept { return data_; }
  std::size_t ready() const noexcept { return ready_; }

  // Waits until more bytes are ready and returns true, or returns false when the text is complete
  // (ready() is then its full length). Never throws.
  virtual bool more() noexcept = 0;

  // The expected full length when known in advance (for reserving), else 0. Only a hint.
  std::size_t size_hint() const noexcept { return size_hint_; }

  // The length of the whole text once all of it has been produced, else 0. Its bytes past ready() are
  // final then, but not yet checked: whatever is read there counts only if the feed goes on to hand
  // them out. Never waits, never throws.
  virtual std::size_t whole_length() noexcept { return 0; }

 protected:
  const char* data_ = nullptr;
  std::size_t ready_ = 0;
  std::size_t size_hint_ = 0;
};

// A text that is complete from the start.
class WholeText final : public TextFeed {
 public:
  explicit WholeText(std::string_view text) noexcept {
    data_ = text.data();
    ready_ = text.size();
    size_hint_ = text.size();
  }
  bool more() noexcept override { return false; }
  std::size_t whole_length() noexcept override { return ready_; }
};

}  // namespace quarn::detail
