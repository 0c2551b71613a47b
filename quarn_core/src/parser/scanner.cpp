#include "scanner.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define QUARN_WIDE_WINDOWS 1
#define QUARN_WIDE_TARGET __attribute__((target("avx2,bmi,popcnt")))
#else
#define QUARN_WIDE_TARGET
#endif

namespace quarn::detail {

namespace {

constexpr std::size_t kWindow = 64;
// A token and the delimiter after it take at least two bytes, so one window yields at most this many.
constexpr std::size_t kMaxTokensPerWindow = kWindow / 2;

// One bit per byte of a 64-byte window.
struct WindowMasks {
  std::uint64_t delimiter;  // space, tab, CR, LF, "#": what ends a bare token
  std::uint64_t line_feed;
  std::uint64_t hash;
  std::uint64_t opener;     // quotes and ";": special only where a token starts
  std::uint64_t may_end;    // "_", "l", "L", "d": a token starting so may end a loop
};

#if defined(__SSE2__)
WindowMasks classify(const char* p) noexcept {
  const __m128i space = _mm_set1_epi8(' ');
  const __m128i tab = _mm_set1_epi8('\t');
  const __m128i cr = _mm_set1_epi8('\r');
  const __m128i lf = _mm_set1_epi8('\n');
  const __m128i hash = _mm_set1_epi8('#');
  const __m128i single_quote = _mm_set1_epi8('\'');
  const __m128i double_quote = _mm_set1_epi8('"');
  const __m128i semicolon = _mm_set1_epi8(';');
  const __m128i underscore = _mm_set1_epi8('_');
  const __m128i lower_d = _mm_set1_epi8('d');
  const __m128i lower_l = _mm_set1_epi8('l');
  const __m128i case_bit = _mm_set1_epi8(0x20);
  WindowMasks m{0, 0, 0, 0, 0};
  for (int k = 0; k < 4; ++k) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
    const __m128i is_lf = _mm_cmpeq_epi8(v, lf);
    const __m128i is_hash = _mm_cmpeq_epi8(v, hash);
    const __m128i blank = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, space), _mm_cmpeq_epi8(v, tab)),
                                       _mm_cmpeq_epi8(v, cr));
    const __m128i delimiter = _mm_or_si128(_mm_or_si128(blank, is_lf), is_hash);
    const __m128i opener = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, single_quote),
                                                     _mm_cmpeq_epi8(v, double_quote)),
                                        _mm_cmpeq_epi8(v, semicolon));
    const __m128i may_end = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, underscore), _mm_cmpeq_epi8(v, lower_d)),
                                         _mm_cmpeq_epi8(_mm_or_si128(v, case_bit), lower_l));
    const int shift = 16 * k;
    m.delimiter |= static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm_movemask_epi8(delimiter))) << shift;
    m.line_feed |= static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm_movemask_epi8(is_lf))) << shift;
    m.hash |= static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm_movemask_epi8(is_hash))) << shift;
    m.opener |= static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm_movemask_epi8(opener))) << shift;
    m.may_end |= static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm_movemask_epi8(may_end))) << shift;
  }
  return m;
}
#else
WindowMasks classify(const char* p) noexcept {
  WindowMasks m{0, 0, 0, 0, 0};
  for (std::size_t i = 0; i < kWindow; ++i) {
    const std::uint64_t bit = std::uint64_t{1} << i;
    switch (p[i]) {
      case ' ': case '\t': case '\r': m.delimiter |= bit; break;
      case '\n': m.delimiter |= bit; m.line_feed |= bit; break;
      case '#': m.delimiter |= bit; m.hash |= bit; break;
      case '\'': case '"': case ';': m.opener |= bit; break;
      case '_': case 'l': case 'L': case 'd': m.may_end |= bit; break;
      default: break;
    }
  }
  return m;
}
#endif

#if defined(QUARN_WIDE_WINDOWS)
// The same masks, 32 bytes per compare.
QUARN_WIDE_TARGET inline WindowMasks classify_wide(const char* p) noexcept {
  const __m256i space = _mm256_set1_epi8(' ');
  const __m256i tab = _mm256_set1_epi8('\t');
  const __m256i cr = _mm256_set1_epi8('\r');
  const __m256i lf = _mm256_set1_epi8('\n');
  const __m256i hash = _mm256_set1_epi8('#');
  const __m256i single_quote = _mm256_set1_epi8('\'');
  const __m256i double_quote = _mm256_set1_epi8('"');
  const __m256i semicolon = _mm256_set1_epi8(';');
  const __m256i underscore = _mm256_set1_epi8('_');
  const __m256i lower_d = _mm256_set1_epi8('d');
  const __m256i lower_l = _mm256_set1_epi8('l');
  const __m256i case_bit = _mm256_set1_epi8(0x20);
  WindowMasks m{0, 0, 0, 0, 0};
  for (int k = 0; k < 2; ++k) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32 * k));
    const __m256i is_lf = _mm256_cmpeq_epi8(v, lf);
    const __m256i is_hash = _mm256_cmpeq_epi8(v, hash);
    const __m256i blank = _mm256_or_si256(_mm256_or_si256(_mm256_cmpeq_epi8(v, space), _mm256_cmpeq_epi8(v, tab)),
                                          _mm256_cmpeq_epi8(v, cr));
    const __m256i delimiter = _mm256_or_si256(_mm256_or_si256(blank, is_lf), is_hash);
    const __m256i opener = _mm256_or_si256(_mm256_or_si256(_mm256_cmpeq_epi8(v, single_quote),
                                                           _mm256_cmpeq_epi8(v, double_quote)),
                                           _mm256_cmpeq_epi8(v, semicolon));
    const __m256i may_end =
        _mm256_or_si256(_mm256_or_si256(_mm256_cmpeq_epi8(v, underscore), _mm256_cmpeq_epi8(v, lower_d)),
                        _mm256_cmpeq_epi8(_mm256_or_si256(v, case_bit), lower_l));
    const int shift = 32 * k;
    m.delimiter |= static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm256_movemask_epi8(delimiter))) << shift;
    m.line_feed |= static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm256_movemask_epi8(is_lf))) << shift;
    m.hash |= static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm256_movemask_epi8(is_hash))) << shift;
    m.opener |= static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm256_movemask_epi8(opener))) << shift;
    m.may_end |= static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm256_movemask_epi8(may_end))) << shift;
  }
  return m;
}

std::atomic<bool> wide_allowed{true};

bool cpu_is_wide() noexcept {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") && __builtin_cpu_supports("popcnt");
}
#else
// Never chosen (use_wide_windows): keeps one form of the window scan for both builds.
inline WindowMasks classify_wide(const char* p) noexcept { return classify(p); }
#endif

bool use_wide_windows() noexcept {
#if defined(QUARN_WIDE_WINDOWS)
  static const bool wide = cpu_is_wide();
  return wide && wide_allowed.load(std::memory_order_relaxed);
#else
  return false;
#endif
}

bool ends_bare_token(char c) noexcept { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '#'; }

constexpr std::size_t kNoFlag = ~std::size_t{0};

}  // namespace

void allow_wide_windows(bool allowed) noexcept {
#if defined(QUARN_WIDE_WINDOWS)
  wide_allowed.store(allowed, std::memory_order_relaxed);
#else
  (void)allowed;
#endif
}

Scanner::Scanner(TextFeed& feed) noexcept
    : feed_(feed), base_(feed.data()), ready_(feed.ready()), wide_(use_wide_windows()) {}

Scanner::Scanner(TextFeed& feed, Position from) noexcept : Scanner(feed) {
  pos_ = from.offset;
  line_start_ = from.line_start;
}

// The fence works as an early end of the known text: the window scan never reads past it, and the
// byte scan meets it in refill().
void Scanner::reload() noexcept {
  base_ = feed_.data();
  ready_ = std::min(feed_.ready(), fence_);
}

bool Scanner::refill(bool between_tokens) noexcept {
  if (ready_ == fence_) {
    if (between_tokens) {
      at_fence_ = true;
      return false;
    }
    drop_fence();  // something runs across it
    if (ready_ > pos_) return true;
  }
  while (!finished_) {
    const std::size_t before = ready_;
    if (!feed_.more()) finished_ = true;
    reload();
    if (ready_ > before) return true;
  }
  return false;
}

void Scanner::set_fence(std::size_t offset) noexcept {
  fence_ = offset;
  at_fence_ = false;
  ready_ = std::min(ready_, fence_);
}

void Scanner::drop_fence() noexcept {
  fence_ = kNoFence;
  at_fence_ = false;
  reload();
}

void Scanner::resume(Position to) noexcept {
  drop_fence();
  pos_ = to.offset;
  line_start_ = to.line_start;
  while (ready_ < pos_ && !finished_) {
    if (!feed_.more()) finished_ = true;
    reload();
  }
  // A feed that ended short of it (its text failed a check) fails the load whatever the parse says.
  if (pos_ > ready_) pos_ = ready_;
}

std::size_t Scanner::next_batch(std::string_view* out, std::size_t room) noexcept {
  if (error_ != ScanError::none || at_fence_) return 0;
  std::size_t n = 0;
  std::size_t flag = kNoFlag;
  // The window scan takes the plain stretches; the byte scan takes everything else (quotes, text
  // fields, comments, tokens longer than a window, and the last bytes before ready()).
  // A batch of full size ends where a window might no longer fit in it; a smaller one is filled.
  const std::size_t stop = room >= kMaxTokensPerWindow ? kMaxTokensPerWindow : 1;
  while (room - n >= stop) {
    if (room - n >= kMaxTokensPerWindow && pos_ + kWindow <= ready_) {
      n += wide_ ? scan_windows_wide(out + n, room - n, n, flag) : scan_windows(out + n, room - n, n, flag);
      if (room - n < stop) break;
    }
    if (scan_one(out + n) == Step::end) break;
    if (flag == kNoFlag && may_end_loop(out[n])) flag = n;
    ++n;
  }
  plain_ = std::min(flag, n);
  return n;
}

// Why windows: in atom-site rows almost every byte belongs to a bare token or the blanks between
// them, so one pass of byte compares per 64 bytes and bit tricks find all token bounds without a
// branch per byte. A window stops at the first "#", and at the first quote or ";" that starts a
// token, since those need the byte scan.
template <bool kWide>
[[gnu::always_inline]] inline std::size_t Scanner::windows(std::string_view* out, std::size_t room, std::size_t at,
                                                           std::size_t& flag) noexcept {
  std::size_t n = 0;
  while (pos_ + kWindow <= ready_ && room - n >= kMaxTokensPerWindow) {
    const char* w = base_ + pos_;
    WindowMasks m;
    if constexpr (kWide) {
      m = classify_wide(w);
    } else {
      m = classify(w);
    }
    const std::uint64_t token = ~m.delimiter;
    // pos_ is between tokens, so a token byte at bit 0 starts a token.
    std::uint64_t starts = token & ~(token << 1);
    std::uint64_t ends = m.delimiter & (token << 1);
    const std::uint64_t stop = m.hash | (starts & m.opener);
    const unsigned cut = stop ? static_cast<unsigned>(std::countr_zero(stop)) : 64u;
    if (cut < 64) starts &= (std::uint64_t{1} << cut) - 1;
    // The tokens of the window come out in the order of their starts (one that runs past the window
    // is its last), so the starts before the first flagged one count the tokens before it.
    if (const std::uint64_t flagged = starts & m.may_end; flagged != 0 && flag == kNoFlag) {
      flag = at + n + static_cast<std::size_t>(std::popcount(starts & (flagged - 1) & ~flagged));
    }

    unsigned advance = cut;  // bytes of the window fully scanned
    unsigned last_end = 0;
    bool any = false;
    while (starts) {
      const unsigned b = static_cast<unsigned>(std::countr_zero(starts));
      if (!ends) {  // runs past the window: rescan it from its start
        advance = b;
        break;
      }
      const unsigned e = static_cast<unsigned>(std::countr_zero(ends));
      out[n++] = std::string_view(w + b, e - b);
      last_end = e;
      any = true;
      starts &= starts - 1;
      ends &= ends - 1;
    }
    const std::uint64_t scanned = advance == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << advance) - 1;
    const std::uint64_t line_feeds = m.line_feed & scanned;
    if (any) {
      line_start_ = (line_feeds >> last_end) != 0;
    } else if (line_feeds) {
      line_start_ = true;
    }
    pos_ += advance;
    if (advance == 0 || (advance == cut && cut < 64)) break;  // the byte scan goes on from here
  }
  return n;
}

std::size_t Scanner::scan_windows(std::string_view* out, std::size_t room, std::size_t at,
                                  std::size_t& flag) noexcept {
  return windows<false>(out, room, at, flag);
}

[[gnu::flatten]] QUARN_WIDE_TARGET std::size_t Scanner::scan_windows_wide(std::string_view* out, std::size_t room,
                                                                         std::size_t at, std::size_t& flag) noexcept {
  return windows<true>(out, room, at, flag);
}

Scanner::Step Scanner::scan_one(std::string_view* out) noexcept {
  for (;;) {
    if (pos_ == ready_ && !refill(true)) return Step::end;
    const char c = base_[pos_];
    switch (c) {
      case ' ':
      case '\t':
      case '\r':
        ++pos_;
        break;
      case '\n':
        ++pos_;
        line_start_ = true;
        break;
      case '#':
        skip_to_line_feed();
        break;
      case '\'':
      case '"':
        return quoted(c, out);
      case ';':
        if (line_start_) return text_field(out);
        return bare(out);
      default:
        return bare(out);
    }
  }
}

void Scanner::skip_to_line_feed() noexcept {
  for (;;) {
    if (pos_ < ready_) {
      if (const void* lf = std::memchr(base_ + pos_, '\n', ready_ - pos_)) {
        pos_ = static_cast<std::size_t>(static_cast<const char*>(lf) - base_);
        return;
      }
    }
    pos_ = ready_;
    if (!refill()) return;
  }
}

Scanner::Step Scanner::quoted(char quote, std::string_view* out) noexcept {
  const std::size_t start = pos_ + 1;
  std::size_t from = start;
  for (;;) {
    if (from < ready_) {
      if (const void* hit = std::memchr(base_ + from, quote, ready_ - from)) {
        const std::size_t close = static_cast<std::size_t>(static_cast<const char*>(hit) - base_);
        *out = std::string_view(base_ + start, close - start);
        pos_ = close + 1;
        line_start_ = false;
        return Step::token;
      }
    }
    from = ready_;
    if (!refill()) {
      error_ = ScanError::unterminated_quote;
      error_offset_ = start - 1;
      pos_ = ready_;
      return Step::end;
    }
  }
}

Scanner::Step Scanner::text_field(std::string_view* out) noexcept {
  const std::size_t start = pos_ + 1;
  std::size_t from = start;
  std::size_t close;  // the line feed right before the closing ";"
  for (;;) {
    if (from < ready_) {
      if (const void* hit = std::memchr(base_ + from, '\n', ready_ - from)) {
        const std::size_t lf = static_cast<std::size_t>(static_cast<const char*>(hit) - base_);
        if (lf + 1 < ready_) {
          if (base_[lf + 1] == ';') {
            close = lf;
            break;
          }
          from = lf + 1;
          continue;
        }
        from = lf;  // the byte after it is not known yet
      } else {
        from = ready_;
      }
    }
    if (!refill()) {
      error_ = ScanError::unterminated_text_field;
      error_offset_ = start - 1;
      pos_ = ready_;
      return Step::end;
    }
  }
  std::size_t end = close;
  while (end > start && (base_[end - 1] == '\r' || base_[end - 1] == '\n')) --end;
  *out = std::string_view(base_ + start, end - start);
  pos_ = close + 2;  // the rest of the closing line is dropped
  skip_to_line_feed();
  line_start_ = true;
  return Step::token;
}

Scanner::Step Scanner::bare(std::string_view* out) noexcept {
  const std::size_t start = pos_;
  std::size_t k = pos_ + 1;  // the first byte belongs to the token whatever it is
  for (;;) {
    while (k < ready_ && !ends_bare_token(base_[k])) ++k;
    if (k < ready_ || !refill()) break;
  }
  *out = std::string_view(base_ + start, k - start);
  pos_ = k;
  line_start_ = false;
  return Step::token;
}

}  // namespace quarn::detail
