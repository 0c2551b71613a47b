// The value forms: null texts and trimming, the 32-bit integer grammar, the decimal grammar and its
// correctly rounded conversion, and the compact storage of short texts.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>

#include "parser/values.hpp"

namespace quarn {
namespace {

using detail::parse_decimal;
using detail::parse_int32;
using detail::text_value;

std::optional<std::int32_t> integer(std::string_view s) {
  std::int32_t v = 12345;
  if (!parse_int32(s, &v)) return std::nullopt;
  return v;
}

std::optional<double> decimal(std::string_view s) {
  double v = 12345;
  if (!parse_decimal(s, &v)) return std::nullopt;
  return v;
}

TEST(TextValue, TrimsUnicodeWhiteSpaceAndKnowsTheNullForms) {
  EXPECT_EQ(text_value("ALA"), "ALA");
  EXPECT_EQ(text_value(" fe "), "fe");
  EXPECT_EQ(text_value("\xC2\xA0" "CA" "\xE3\x80\x80"), "CA");  // no-break space, ideographic space
  EXPECT_EQ(text_value("\v\fx y\r"), "x y");
  EXPECT_EQ(text_value("\xE2\x80\x8B" "x"), "\xE2\x80\x8B" "x");  // zero-width space is not White_Space
  EXPECT_FALSE(text_value(""));
  EXPECT_FALSE(text_value("."));
  EXPECT_FALSE(text_value("?"));
  EXPECT_FALSE(text_value("  ?  "));
  EXPECT_FALSE(text_value("\xE2\x80\xA8"));  // line separator only
  EXPECT_EQ(text_value(".."), "..");
  EXPECT_EQ(text_value("?."), "?.");
}

TEST(Integer, ExactThirtyTwoBitGrammar) {
  EXPECT_EQ(integer("0"), 0);
  EXPECT_EQ(integer("+12"), 12);
  EXPECT_EQ(integer("-1"), -1);
  EXPECT_EQ(integer("007"), 7);
  EXPECT_EQ(integer("2147483647"), 2147483647);
  EXPECT_EQ(integer("-2147483648"), std::numeric_limits<std::int32_t>::min());
  EXPECT_EQ(integer("000000000000000000000000000042"), 42);
  for (const char* bad : {"", "+", "-", "2147483648", "-2147483649", "99999999999999999999", "12.0", "1e3", "12A",
                          " 1", "1 ", "1 2", "--1", "+-1", "0x10", "١"}) {
    EXPECT_FALSE(integer(bad)) << bad;
  }
}

TEST(Decimal, AcceptsTheGrammarAndCutsAtTheParenthesis) {
  EXPECT_EQ(decimal("12.345(6)"), 12.345);
  EXPECT_EQ(decimal("10.5(2)"), 10.5);
  EXPECT_EQ(decimal("-11.980"), -11.98);
  EXPECT_EQ(decimal("1.0e0"), 1.0);
  EXPECT_EQ(decimal("1E0"), 1.0);
  EXPECT_EQ(decimal("+1."), 1.0);
  EXPECT_EQ(decimal(".5"), 0.5);
  EXPECT_EQ(decimal("5."), 5.0);
  EXPECT_EQ(decimal("1e-2"), 0.01);
  EXPECT_EQ(decimal("2.5E+3"), 2500.0);
  EXPECT_EQ(decimal("000123.4500"), 123.45);
  EXPECT_TRUE(std::signbit(*decimal("-0")));
  EXPECT_TRUE(std::signbit(*decimal("-0.0e5")));
  EXPECT_FALSE(std::signbit(*decimal("0.000")));
  EXPECT_EQ(decimal("inf"), std::numeric_limits<double>::infinity());
  EXPECT_EQ(decimal("-Infinity"), -std::numeric_limits<double>::infinity());
  EXPECT_EQ(decimal("+INF(3)"), std::numeric_limits<double>::infinity());
  EXPECT_TRUE(std::isnan(*decimal("nan")));
  EXPECT_TRUE(std::isnan(*decimal("NaN")));
  for (const char* bad : {"", "(6)", "+", "-", ".", "e5", "1e", "1e+", "1.0.0", "1,0", "abc", "1 ", " 1", "1.5 (3)",
                          "infin", "infinityx", "nana", "in", "0x1p3", "1e5.0", "1d5", "--1", "(", "1e(2)"}) {
    EXPECT_FALSE(decimal(bad)) << bad;
  }
  // Cutting at "(" keeps an accepted prefix only: what follows the cut is never read.
  EXPECT_EQ(decimal("1(abc"), 1.0);
  EXPECT_EQ(decimal("1("), 1.0);
  EXPECT_EQ(detail::cut_at_parenthesis("12.345(6)"), "12.345");
  EXPECT_EQ(detail::cut_at_parenthesis("(6)"), "");
  EXPECT_EQ(detail::cut_at_parenthesis("abc"), "abc");
}

TEST(Decimal, OverflowAndUnderflowGiveTheNearestDouble) {
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(decimal("1e400"), inf);
  EXPECT_EQ(decimal("-1e400"), -inf);
  EXPECT_EQ(decimal("1e99999999999999999999999"), inf);
  EXPECT_EQ(decimal("0.000000001e309"), 1e300);
  EXPECT_EQ(decimal("1.7976931348623157e308"), std::numeric_limits<double>::max());
  EXPECT_EQ(decimal("1.7976931348623159e308"), inf);  // beyond the halfway point to the next power
  EXPECT_EQ(decimal("1e-400"), 0.0);
  EXPECT_TRUE(std::signbit(*decimal("-1e-400")));
  EXPECT_EQ(decimal("4.9e-324"), std::numeric_limits<double>::denorm_min());
  EXPECT_EQ(decimal("2.4e-324"), 0.0);
  EXPECT_EQ(decimal("2.5e-324"), std::numeric_limits<double>::denorm_min());
  EXPECT_EQ(decimal("100000000000000000000000000000e-10"), 1e19);
  std::string tiny = "0.";
  tiny.append(5000, '0').append("1e5010");
  EXPECT_EQ(decimal(tiny), 1e9);
  EXPECT_EQ(decimal(std::string(400, '9')), inf);
}

// Random literals of every shape against the C library's correctly rounded strtod.
TEST(Decimal, EqualsTheNearestDoubleOnRandomLiterals) {
  std::mt19937_64 rng(99);
  const auto digits = [&](int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += static_cast<char>('0' + rng() % 10);
    return s;
  };
  for (int round = 0; round < 200000; ++round) {
    std::string s;
    if (rng() % 3 == 0) s += "-";
    const int shape = static_cast<int>(rng() % 4);
    const int width = static_cast<int>(rng() % (round % 10 == 0 ? 40 : 17)) + 1;
    if (shape == 0) s += digits(width);
    if (shape == 1) s.append(digits(width)).append(".").append(digits(static_cast<int>(rng() % 20)));
    if (shape == 2) s.append(".").append(digits(width));
    if (shape == 3) {
      s.append(digits(1)).append(".").append(digits(width)).append("e");
      s.append(std::to_string(static_cast<int>(rng() % 700) - 350));
    }
    const double expected = std::strtod(s.c_str(), nullptr);
    const auto got = decimal(s);
    ASSERT_TRUE(got.has_value()) << s;
    ASSERT_EQ(std::memcmp(&*got, &expected, sizeof expected), 0) << s << " gave " << *got << " not " << expected;
  }
}

TEST(StoreText, BuildsTheSameTextAsTheArena) {
  TextArena arena;
  const std::string source = "ABCDEFGHIJKL";
  for (std::size_t n = 0; n <= source.size(); ++n) {
    const std::string_view s(source.data(), n);
    const Text fast = detail::store_text(arena, s);
    const Text reference = arena.store(s);
    EXPECT_EQ(fast, reference) << n;
    EXPECT_EQ(fast.view(), s);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(fast) == std::bit_cast<std::uint64_t>(reference), n <= 7) << n;
  }
}

}  // namespace
}  // namespace quarn
