#include "rows_ahead.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <new>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "atom_site.hpp"
#include "loop_values.hpp"
#include "quarn/interrupt.hpp"
#include "quarn/memory.hpp"
#include "text_feed.hpp"

namespace quarn::detail {

namespace {

bool is_blank(char c) noexcept { return c == ' ' || c == '\t' || c == '\r'; }

// The offset just past the first line feed at or after `at`, or the text's size.
std::size_t next_line(std::string_view text, std::size_t at) noexcept {
  if (at >= text.size()) return text.size();
  const void* lf = std::memchr(text.data() + at, '\n', text.size() - at);
  return lf == nullptr ? text.size() : static_cast<std::size_t>(static_cast<const char*>(lf) - text.data()) + 1;
}

// The words of the line at `line` split at blanks: how many there are, and the first.
struct LineShape {
  std::size_t words = 0;
  std::string_view first;
};

LineShape shape_of(std::string_view text, std::size_t line) noexcept {
  LineShape shape;
  std::size_t k = line;
  while (k < text.size() && text[k] != '\n') {
    while (k < text.size() && is_blank(text[k])) ++k;
    if (k == text.size() || text[k] == '\n') break;
    const std::size_t start = k;
    while (k < text.size() && text[k] != '\n' && !is_blank(text[k])) ++k;
    if (shape.words++ == 0) shape.first = text.substr(start, k - start);
  }
  return shape;
}

// Counts line feeds in [from, to). Why by vectors: the count runs over half of a large text on the
// helper before it can start, and bytewise it would cost a third of the parse it shares.
std::size_t count_line_feeds(const char* from, const char* to) noexcept {
  std::size_t count = 0;
#if defined(__SSE2__)
  const __m128i lf = _mm_set1_epi8('\n');
  while (to - from >= 16) {
    // Byte counters take at most 255 steps before they are summed.
    const std::size_t steps = std::min<std::size_t>(static_cast<std::size_t>(to - from) / 16, 255);
    __m128i counters = _mm_setzero_si128();
    for (std::size_t k = 0; k < steps; ++k, from += 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from));
      counters = _mm_sub_epi8(counters, _mm_cmpeq_epi8(v, lf));
    }
    const __m128i sums = _mm_sad_epu8(counters, _mm_setzero_si128());
    count += static_cast<std::size_t>(_mm_cvtsi128_si32(sums)) +
             static_cast<std::size_t>(_mm_cvtsi128_si32(_mm_unpackhi_epi64(sums, sums)));
  }
#endif
  for (; from < to; ++from) count += *from == '\n';
  return count;
}

// Skips `count` tokens from `from`: the position after them.
Scanner::Position after_tokens(TextFeed& feed, Scanner::Position from, std::size_t count) noexcept {
  Scanner scanner(feed, from);
  std::array<std::string_view, Scanner::kBatch> scratch;
  while (count > 0) {
    const std::size_t n = scanner.next_batch(scratch.data(), count);
    if (n == 0) break;
    count -= n;
  }
  return scanner.position();
}

std::atomic<std::uint64_t> joined{0};

}  // namespace

std::uint64_t splits_joined() noexcept { return joined.load(std::memory_order_relaxed); }
void note_split_joined() noexcept { joined.fetch_add(1, std::memory_order_relaxed); }

std::size_t choose_split(std::string_view text, std::size_t row_line, std::size_t width) noexcept {
  const LineShape row = shape_of(text, row_line);
  if (row.words != width) return 0;  // rows are not one per line: no guess holds
  const auto in_loop = [&](std::size_t line) {
    if (line >= text.size()) return false;
    const LineShape s = shape_of(text, line);
    return s.words == width && s.first[0] != '#' && !ends_loop(s.first);
  };
  // The loop's end by bisection over line probes: rows up to it, other categories after it. Only a
  // guess, and a short one (a row that starts otherwise ends it early), which keeps the split inside.
  std::size_t inside = row_line, outside = text.size();
  while (outside - inside > kMinSplitBytes / 8) {
    const std::size_t line = next_line(text, inside + (outside - inside) / 2);
    if (in_loop(line)) {
      inside = line;
    } else {
      outside = std::min(outside, inside + (outside - inside) / 2);
    }
  }
  if (outside - row_line < kMinSplitBytes) return 0;
  // A little more than half for the walk: the helper first counts the walk's lines.
  const std::size_t split = next_line(text, row_line + (outside - row_line) * 13 / 25);
  return in_loop(split) ? split : 0;
}

RowsAhead::RowsAhead(HelperThread& helper, std::string_view text, std::size_t split, std::vector<Column> columns,
                     std::size_t row_line, std::size_t rows_before)
    : helper_(helper),
      text_(text),
      split_(split),
      columns_(std::move(columns)),
      row_line_(row_line),
      rows_before_(rows_before) {
  ticket_ = helper_.start(&RowsAhead::run, this);
}

RowsAhead::~RowsAhead() {
  stop_.store(true, std::memory_order_relaxed);
  helper_.wait(ticket_);
}

RowsAhead::Outcome RowsAhead::wait() {
  // Polled, not waited for outright, so that Ctrl-C stops the load while the helper still works.
  while (!helper_.wait_for(ticket_, std::chrono::milliseconds(2))) interruption_point();
  return outcome_;
}

void RowsAhead::run(void* self) noexcept {
  auto* ahead = static_cast<RowsAhead*>(self);
  try {
    ahead->outcome_ = ahead->parse();
  } catch (const std::bad_alloc&) {
    ahead->outcome_ = Outcome::kGaveUp;
  }
}

RowsAhead::Outcome RowsAhead::parse() {
  // The helper's first block stands in for the walk's last one: full-size once the walk fills a
  // block, else about what both parts hold.
  constexpr std::size_t kBlock = BlockList<AtomSite>::kBlockSize;
  const std::size_t lines = count_line_feeds(text_.data() + row_line_, text_.data() + split_);
  const std::size_t rows = rows_before_ + lines;
  gap_ = rows % kBlock;
  const std::size_t row_bytes = std::max<std::size_t>(1, (split_ - row_line_) / std::max<std::size_t>(1, lines));
  const std::size_t guess = gap_ + (text_.size() - split_) / row_bytes + 16;
  atoms_.reserve(rows >= kBlock ? kBlock : std::min(guess, kBlock));
  // The walk's rows take the gap at the join; a split that does not join drops the list.
  if (gap_ > 0) atoms_.append_unwritten(gap_);
  WholeText whole(text_);
  Scanner scanner(whole, {split_, true});
  std::array<std::string_view, Scanner::kBatch> batch;
  AtomRows step{atoms_, arena_, nullptr};
  std::size_t column = 0, failed_at = kNoFailure;
  ValueFailure failure{};
  // Two lists grow at once, each asking for memory only before its own next step: the helper asks
  // for room for both, often, and gives up (and its memory) first, so that the walk alone meets the
  // limit as it would have without a split.
  constexpr std::uint64_t kAskEvery = std::uint64_t{32} << 20;
  std::uint64_t next_ask = kAskEvery;
  for (;;) {
    if (stop_.load(std::memory_order_relaxed)) return Outcome::kGaveUp;
    if (atoms_.bytes_reserved() + arena_.bytes_reserved() >= next_ask) {
      if (!fits_in_memory(4 * kAlwaysFits)) {
        atoms_.clear();
        arena_ = TextArena();
        return Outcome::kGaveUp;
      }
      next_ask += kAskEvery;
    }
    const Scanner::Position before = scanner.position();
    const std::size_t n = scanner.next_batch(batch.data());
    if (n == 0) {
      if (scanner.error() != ScanError::none) return Outcome::kGaveUp;
      end_ = scanner.position();
      break;
    }
    const std::size_t taken =
        take_values(batch.data(), 0, n, scanner.plain_tokens(), columns_.data(), columns_.size(), column, failed_at, failure, step);
    if (failed_at != kNoFailure) return Outcome::kGaveUp;
    values_ += taken;
    if (taken < n) {
      end_ = after_tokens(whole, before, taken);
      break;
    }
  }
  column_ = column;
  return Outcome::kDone;
}

}  // namespace quarn::detail
