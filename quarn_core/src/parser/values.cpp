#include "values.hpp"

#include <charconv>
#include <cmath>
#include <limits>

namespace quarn::detail {

namespace {

// True when [p, end) starts with `word` in any ASCII case; advances p past it.
bool take_word(const char*& p, const char* end, std::string_view word) noexcept {
  if (static_cast<std::size_t>(end - p) < word.size()) return false;
  for (std::size_t i = 0; i < word.size(); ++i) {
    if (ascii_lower(p[i]) != word[i]) return false;
  }
  p += word.size();
  return true;
}

// Exact powers of ten: every one up to 1e22 is representable, which is what makes the fast path
// below correctly rounded.
constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                             1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

}  // namespace

bool parse_decimal_general(std::string_view text, double* value) noexcept {
  const char* p = text.data();
  const char* const end = p + text.size();
  const bool negative = take_sign(p, end);
  const char* const literal = p;  // the unsigned literal starts here

  // Significant digits go into `mantissa` while they fit; `order` follows the decimal point so the
  // magnitude of an out-of-range value can be told without converting it.
  std::uint64_t mantissa = 0;
  int significant = 0;       // digits in mantissa, leading zeros not counted
  bool exact = true;         // false once a significant digit did not fit
  std::int64_t scale = 0;    // value = mantissa * 10^(scale + exponent) while exact
  std::int64_t order = 0;    // decimal position of the first non-zero digit (1 for "1", 0 for "0.1")
  bool nonzero = false;

  const auto digit = [&](char c, bool fraction) {
    const unsigned d = static_cast<unsigned>(c - '0');
    if (!nonzero && d == 0) {
      if (fraction) --scale, --order;
      return;
    }
    nonzero = true;
    if (!fraction) ++order;
    if (significant < 19) {
      mantissa = mantissa * 10 + d;
      ++significant;
      if (fraction) --scale;
    } else {
      exact = false;
    }
  };

  std::size_t digits = 0;
  for (; p != end && is_ascii_digit(*p); ++p, ++digits) digit(*p, false);
  if (p != end && *p == '.') {
    ++p;
    for (; p != end && is_ascii_digit(*p); ++p, ++digits) digit(*p, true);
  }
  if (digits == 0) {
    // No number: inf, infinity or nan, or nothing valid.
    p = literal;
    double special;
    if (take_word(p, end, "infinity") || take_word(p, end, "inf")) {
      special = std::numeric_limits<double>::infinity();
    } else if (take_word(p, end, "nan")) {
      special = std::numeric_limits<double>::quiet_NaN();
    } else {
      return false;
    }
    if (p != end && *p != '(') return false;
    *value = negative ? -special : special;
    return true;
  }

  std::int64_t exponent = 0;
  if (p != end && (*p == 'e' || *p == 'E')) {
    ++p;
    bool exponent_negative = false;
    if (p != end && (*p == '+' || *p == '-')) {
      exponent_negative = *p == '-';
      ++p;
    }
    if (p == end || !is_ascii_digit(*p)) return false;
    for (; p != end && is_ascii_digit(*p); ++p) {
      // Saturates far beyond any double's range; more digits cannot change the result.
      if (exponent < 100000000) exponent = exponent * 10 + (*p - '0');
    }
    if (exponent_negative) exponent = -exponent;
  }
  if (p != end && *p != '(') return false;

  if (!nonzero) {
    *value = negative ? -0.0 : 0.0;
    return true;
  }
  const std::int64_t power = scale + exponent;
  // Clinger's fast path: an integer mantissa of at most 53 bits and a power of ten that is itself
  // exact give the correctly rounded result in one multiplication or division.
  if (exact && mantissa <= (std::uint64_t{1} << 53) && power >= -22 && power <= 22) {
    const double m = static_cast<double>(mantissa);
    const double v = power >= 0 ? m * kPow10[power] : m / kPow10[-power];
    *value = negative ? -v : v;
    return true;
  }
  double v = 0;
  const auto [ptr, ec] = std::from_chars(literal, p, v, std::chars_format::general);
  if (ec == std::errc::result_out_of_range) {
    // from_chars leaves the value alone when it rounds to zero or to infinity.
    v = order + exponent > 0 ? std::numeric_limits<double>::infinity() : 0.0;
  } else if (ec != std::errc() || ptr != p) {
    return false;  // the grammar above already matched; kept only as a guard
  }
  *value = negative ? -v : v;
  return true;
}

std::string value_failure_message(const ValueFailure& failure, std::string_view tag) {
  const std::string_view head = failure.form == ValueFailure::Form::numeric_literal   ? "invalid numeric literal '"
                                : failure.form == ValueFailure::Form::integer_literal ? "invalid integer literal '"
                                                                                      : "invalid integer '";
  std::string message;
  message.reserve(head.size() + failure.value.size() + 6 + tag.size());
  message.append(head).append(failure.value).append("' for ").append(tag);
  return message;
}

}  // namespace quarn::detail
