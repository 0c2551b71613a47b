// The tokenizer: token bounds, quotes, text fields, comments, and its two failures, read whole and
// in pieces.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "parser/scanner.hpp"
#include "reader_support.hpp"

namespace quarn {
namespace {

using testing::PieceFeed;

struct Scan {
  std::vector<std::string> tokens;
  detail::ScanError error = detail::ScanError::none;
  friend bool operator==(const Scan&, const Scan&) = default;
};

Scan scan_feed(detail::TextFeed& feed) {
  detail::Scanner scanner(feed);
  std::string_view batch[detail::Scanner::kBatch];
  Scan out;
  while (const std::size_t n = scanner.next_batch(batch)) {
    // The leading tokens that cannot end a loop: exactly those before the first that may.
    std::size_t plain = 0;
    while (plain < n && (batch[plain].empty() || std::string_view("_lLd").find(batch[plain][0]) == std::string_view::npos)) {
      ++plain;
    }
    EXPECT_EQ(scanner.plain_tokens(), plain);
    for (std::size_t i = 0; i < n; ++i) out.tokens.emplace_back(batch[i]);
  }
  out.error = scanner.error();
  return out;
}

Scan scan(std::string_view text) {
  detail::WholeText feed(text);
  return scan_feed(feed);
}

// The rules transcribed byte by byte, with none of the scanner's shortcuts: the oracle for it.
Scan reference_scan(const std::string& s) {
  Scan out;
  bool line_start = true;
  std::size_t i = 0;
  while (i < s.size()) {
    const char c = s[i];
    if (c == ' ' || c == '\t' || c == '\r') {
      ++i;
    } else if (c == '\n') {
      ++i;
      line_start = true;
    } else if (c == '#') {
      while (i < s.size() && s[i] != '\n') ++i;
    } else if (c == '\'' || c == '"') {
      const std::size_t close = s.find(c, i + 1);
      if (close == std::string::npos) {
        out.error = detail::ScanError::unterminated_quote;
        return out;
      }
      out.tokens.push_back(s.substr(i + 1, close - i - 1));
      i = close + 1;
      line_start = false;
    } else if (c == ';' && line_start) {
      const std::size_t close = s.find("\n;", i + 1);
      if (close == std::string::npos) {
        out.error = detail::ScanError::unterminated_text_field;
        return out;
      }
      std::string token = s.substr(i + 1, close - i - 1);
      while (!token.empty() && (token.back() == '\r' || token.back() == '\n')) token.pop_back();
      out.tokens.push_back(token);
      const std::size_t lf = s.find('\n', close + 2);
      i = lf == std::string::npos ? s.size() : lf;
      line_start = true;
    } else {
      const std::size_t start = i;
      while (i < s.size() && s[i] != ' ' && s[i] != '\t' && s[i] != '\r' && s[i] != '\n' && s[i] != '#') ++i;
      out.tokens.push_back(s.substr(start, i - start));
      line_start = false;
    }
  }
  return out;
}

std::vector<std::string> tokens(std::string_view text) {
  Scan s = scan(text);
  EXPECT_EQ(s.error, detail::ScanError::none) << text;
  return s.tokens;
}

using V = std::vector<std::string>;

TEST(Tokenizer, BareTokensEndAtBlanksLineFeedsAndHash) {
  EXPECT_EQ(tokens(""), V{});
  EXPECT_EQ(tokens("  \t\r\n "), V{});
  EXPECT_EQ(tokens("a bb\tccc\r\ndddd"), (V{"a", "bb", "ccc", "dddd"}));
  EXPECT_EQ(tokens("1.5#note\nx"), (V{"1.5", "x"}));
  EXPECT_EQ(tokens("O5' it's"), (V{"O5'", "it's"}));  // quotes inside a bare token are plain bytes
  EXPECT_EQ(tokens("x;y ;z"), (V{"x;y", ";z"}));     // ";" not at a line start is a bare token
  // Form feed, vertical tab, NUL and non-ASCII bytes are token bytes.
  EXPECT_EQ(tokens(std::string("a\fb\vc\0d \xC2\xA0 e", 12)), (V{std::string("a\fb\vc\0d", 7), "\xC2\xA0", "e"}));
  // A byte-order mark is glued to the first token.
  EXPECT_EQ(tokens("\xEF\xBB\xBF" "data_1ABC x"), (V{"\xEF\xBB\xBF" "data_1ABC", "x"}));
}

TEST(Tokenizer, QuotedValuesHaveNoEscapes) {
  EXPECT_EQ(tokens("'it's'"), (V{"it", "s'"}));
  EXPECT_EQ(tokens("\"a 'b' c\" 'x\"y'"), (V{"a 'b' c", "x\"y"}));
  EXPECT_EQ(tokens("'' \"\""), (V{"", ""}));
  EXPECT_EQ(tokens("'a\nb'x"), (V{"a\nb", "x"}));     // line feeds belong to the value; no blank needed after it
  EXPECT_EQ(tokens("'1.5#note'"), (V{"1.5#note"}));
  EXPECT_EQ(tokens("'a''b'"), (V{"a", "b"}));
  EXPECT_EQ(scan("'abc").error, detail::ScanError::unterminated_quote);
  EXPECT_EQ(scan("x '").error, detail::ScanError::unterminated_quote);
  EXPECT_EQ(scan("\"abc'").error, detail::ScanError::unterminated_quote);
}

TEST(Tokenizer, TextFields) {
  EXPECT_EQ(tokens(";abc\n;"), (V{"abc"}));
  EXPECT_EQ(tokens(";\nline one\nline two\n;\nafter"), (V{"\nline one\nline two", "after"}));
  EXPECT_EQ(tokens(";\n;"), (V{""}));
  EXPECT_EQ(tokens("x\n  ;opened after blanks\n;"), (V{"x", "opened after blanks"}));
  // Only a ";" that starts its line closes the field; the rest of the closing line is dropped.
  EXPECT_EQ(tokens(";a\n ;b\n;c d\ne"), (V{"a\n ;b", "e"}));
  // Trailing carriage returns and line feeds go; the start is kept as written.
  EXPECT_EQ(tokens(";\r\nwin\r\n\r\n;\r\n"), (V{"\r\nwin"}));
  // The line-start flag survives blanks and comments, not tokens.
  EXPECT_EQ(tokens("# c\n;t\n;"), (V{"t"}));
  EXPECT_EQ(tokens("x ;y"), (V{"x", ";y"}));
  EXPECT_EQ(tokens("'q'\n;t\n;"), (V{"q", "t"}));
  EXPECT_EQ(tokens("'q' ;t"), (V{"q", ";t"}));
  EXPECT_EQ(tokens(";a\n;;b\n;c\n;"), (V{"a", "c"}));  // the line after a field can open another
  EXPECT_EQ(scan(";").error, detail::ScanError::unterminated_text_field);
  EXPECT_EQ(scan(";abc\n").error, detail::ScanError::unterminated_text_field);
  EXPECT_EQ(scan(";abc\n ;").error, detail::ScanError::unterminated_text_field);
}

TEST(Tokenizer, CommentsAndWindowsLineEnds) {
  EXPECT_EQ(tokens("# only a comment"), V{});
  EXPECT_EQ(tokens("a # b 'c\n d"), (V{"a", "d"}));   // a quote inside a comment opens nothing
  EXPECT_EQ(tokens("value\r\nnext\r\n"), (V{"value", "next"}));
  EXPECT_EQ(tokens("'x'#c\n"), (V{"x"}));
}

TEST(Tokenizer, LongTokensAndLongRunsCrossEveryWindow) {
  const std::string long_bare(1000, 'x');
  const std::string blanks(300, ' ');
  EXPECT_EQ(tokens(long_bare + blanks + "y"), (V{long_bare, "y"}));
  EXPECT_EQ(tokens("'" + long_bare + "'"), V{long_bare});
  EXPECT_EQ(tokens(";" + long_bare + "\n;"), V{long_bare});
  // A text field opened after a long stretch of plain tokens.
  std::string text;
  V expected;
  for (int i = 0; i < 200; ++i) {
    text += "tok" + std::to_string(i) + " ";
    expected.push_back("tok" + std::to_string(i));
  }
  text += "\n;field\n;\n";
  expected.push_back("field");
  EXPECT_EQ(tokens(text), expected);
}

TEST(Tokenizer, BatchesSplitManyTokensWithoutLosingAny) {
  std::string text;
  for (int i = 0; i < 5000; ++i) {
    text += i % 7 == 0 ? '\n' : ' ';
    text += static_cast<char>('0' + i % 10);
  }
  const Scan s = scan(text);
  ASSERT_EQ(s.tokens.size(), 5000u);
  for (int i = 0; i < 5000; ++i) ASSERT_EQ(s.tokens[i], std::to_string(i % 10));
}

// Random texts over the bytes that matter, compared with the transcribed rules, read whole, one byte
// at a time and in random pieces; with the wide compares and without.
TEST(Tokenizer, MatchesTheRulesOnRandomTexts) {
  const std::string alphabet = "     \t\r\n\n\n#'\";;;;abc_xyz.?dlL";
  std::mt19937 rng(1234);
  for (int round = 0; round < 3000; ++round) {
    detail::allow_wide_windows(round % 2 == 0);
    std::uniform_int_distribution<std::size_t> length(0, round < 2000 ? 200 : 700);
    std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
    std::string text(length(rng), ' ');
    // Mostly plain words, with the special bytes rarer, so both scan paths get long stretches.
    for (char& c : text) c = (rng() % 4 == 0) ? alphabet[pick(rng)] : "ab x\n"[rng() % 5];
    const Scan expected = reference_scan(text);
    ASSERT_EQ(scan(text), expected) << "text: " << text;
    PieceFeed bytes(text, {1});
    ASSERT_EQ(scan_feed(bytes), expected) << "one byte at a time: " << text;
    PieceFeed pieces(text, testing::random_pieces(text.size(), 100, round));
    ASSERT_EQ(scan_feed(pieces), expected) << "random pieces: " << text;
  }
  detail::allow_wide_windows(true);
}

// A fence at a line start either stops the scan there, and a scan started from that position then
// gives the rest, or it is dropped, and the scan goes on as without it: on random texts, for every
// line start, whole and in pieces.
TEST(Tokenizer, AFenceStopsOnlyBetweenTokensAndTheScanResumesExactly) {
  const std::string alphabet = "     \t\r\n\n\n#'\";;;;abc_xyz.?";
  std::mt19937 rng(77);
  std::size_t stopped = 0, dropped = 0;
  for (int round = 0; round < 400; ++round) {
    std::string text(rng() % 300, ' ');
    for (char& c : text) c = (rng() % 4 == 0) ? alphabet[rng() % alphabet.size()] : "ab x\n"[rng() % 5];
    const Scan expected = reference_scan(text);
    for (std::size_t fence = 1; fence < text.size(); ++fence) {
      if (text[fence - 1] != '\n') continue;
      PieceFeed feed(text, testing::random_pieces(text.size(), 40, round));
      detail::Scanner scanner(feed);
      scanner.set_fence(fence);
      std::string_view batch[detail::Scanner::kBatch];
      Scan got;
      bool met = false;
      for (;;) {
        const std::size_t n = scanner.next_batch(batch, 1 + rng() % 40);
        for (std::size_t i = 0; i < n; ++i) got.tokens.emplace_back(batch[i]);
        if (n > 0) continue;
        if (!scanner.at_fence()) break;
        ASSERT_EQ(scanner.position(), (detail::Scanner::Position{fence, true})) << text;
        ++stopped;
        met = true;
        // Half the time the rest comes from a second scan started there, as the split parse does.
        if (rng() % 2) {
          detail::WholeText whole(text);
          detail::Scanner rest(whole, scanner.position());
          while (const std::size_t m = rest.next_batch(batch)) {
            for (std::size_t i = 0; i < m; ++i) got.tokens.emplace_back(batch[i]);
          }
          got.error = rest.error();
          break;
        }
        scanner.drop_fence();
      }
      if (got.error == detail::ScanError::none) got.error = scanner.error();
      dropped += !met;
      ASSERT_EQ(got, expected) << "fence " << fence << " in: " << text;
    }
  }
  EXPECT_GT(stopped, 1000u);
  EXPECT_GT(dropped, 100u);
}

}  // namespace
}  // namespace quarn
