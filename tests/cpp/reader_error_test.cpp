// Reader errors: the kind texts, the display text with invalid UTF-8 in a path replaced, and the line
// where a failure lies.
#include <gtest/gtest.h>

#include "quarn/reader.hpp"

namespace quarn {
namespace {

ReaderError error(ReaderErrorKind kind, std::string message, std::optional<std::string> detail = std::nullopt) {
  ReaderError e;
  e.kind = kind;
  e.message = std::move(message);
  e.detail = std::move(detail);
  return e;
}

TEST(ReaderError, KindTexts) {
  EXPECT_EQ(reader_error_kind_text(ReaderErrorKind::IoError), "I/O error");
  EXPECT_EQ(reader_error_kind_text(ReaderErrorKind::InvalidUtf8), "input was not valid UTF-8");
  EXPECT_EQ(reader_error_kind_text(ReaderErrorKind::InvalidTokenStream), "token stream is invalid");
  EXPECT_EQ(reader_error_kind_text(ReaderErrorKind::LoopMismatch), "loop tag/value mismatch");
  EXPECT_EQ(reader_error_kind_text(ReaderErrorKind::MissingNumeric), "numeric value missing");
  EXPECT_EQ(reader_error_kind_text(ReaderErrorKind::InvalidNumeric), "invalid numeric literal");
  EXPECT_EQ(reader_error_kind_text(ReaderErrorKind::MissingAtomSite), "_atom_site loop missing");
  EXPECT_EQ(reader_error_kind_text(ReaderErrorKind::Unsupported), "unsupported feature");
}

TEST(ReaderError, DisplayTextWithAndWithoutDetail) {
  EXPECT_EQ(error(ReaderErrorKind::MissingAtomSite, "_atom_site loop missing").display(),
            "_atom_site loop missing: _atom_site loop missing");
  EXPECT_EQ(error(ReaderErrorKind::InvalidNumeric, "invalid numeric literal '1.2.3' for _atom_site.Cartn_x").display(),
            "invalid numeric literal: invalid numeric literal '1.2.3' for _atom_site.Cartn_x");
  EXPECT_EQ(error(ReaderErrorKind::IoError, "No such file or directory (os error 2)", "/tmp/x.cif").display(),
            "I/O error: No such file or directory (os error 2) (/tmp/x.cif)");
  EXPECT_EQ(error(ReaderErrorKind::IoError, "m", "").display(), "I/O error: m ()");
  // Only the detail is cleaned; a message is shown as it is.
  EXPECT_EQ(error(ReaderErrorKind::IoError, "\xFF").display(), "I/O error: \xFF");
}

TEST(ReaderError, InvalidUtf8InTheDetailBecomesOneReplacementPerMaximalSubpart) {
  const auto shown = [](std::string detail) {
    const std::string d = error(ReaderErrorKind::IoError, "m", std::move(detail)).display();
    return d.substr(std::string("I/O error: m (").size(), d.size() - std::string("I/O error: m (").size() - 1);
  };
  const std::string r = "\xEF\xBF\xBD";
  EXPECT_EQ(shown("caf\xC3\xA9/\xF0\x9F\x98\x80.cif"), "caf\xC3\xA9/\xF0\x9F\x98\x80.cif");  // valid stays
  // The example of the Unicode standard: a truncated four-byte form, a truncated three-byte form,
  // a lead before an ASCII byte, and lone continuation bytes.
  EXPECT_EQ(shown("\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64"), "a" + r + r + r + "b" + r + "c" + r + r + "d");
  EXPECT_EQ(shown("\xC0\xAF"), r + r);          // overlong: C0 is never a lead
  EXPECT_EQ(shown("\xE0\x80\xAF"), r + r + r);  // overlong three-byte form
  EXPECT_EQ(shown("\xED\xA0\x80"), r + r + r);  // surrogate
  EXPECT_EQ(shown("\xF4\x90\x80\x80"), r + r + r + r);  // above U+10FFFF
  EXPECT_EQ(shown("\xF5\xFF"), r + r);
  EXPECT_EQ(shown("x\xE2\x82"), "x" + r);       // truncated at the end
  EXPECT_EQ(shown("\xE2\x82\xAC\xE2\x82"), "\xE2\x82\xAC" + r);
}

TEST(ReaderError, LineOfTheFailureNeverInTheText) {
  const std::string atoms = "loop_\n_atom_site.id\n_atom_site.Cartn_x\n";
  const auto line = [](const std::string& text) {
    const auto parsed = parse_text(text, true);
    return parsed ? std::optional<std::uint64_t>(999) : parsed.error().line;
  };
  EXPECT_EQ(line("data_x\n" + atoms + "1 2.0\n2 1.2.3\n3 4.0\n"), 6u);  // the bad value, not the loop end
  EXPECT_EQ(line("data_x\r\n_cell.length_a\rabc\n" + atoms + "1 2\n"), 3u);  // CR LF and a lone CR
  EXPECT_EQ(line("data_x\n\n" + atoms + "1 2\n3\n"), 3u);                // the loop_ of a short row
  EXPECT_EQ(line("data_x\n" + atoms + "1 2\nloop_\n"), 6u);              // loop_ without tags
  EXPECT_EQ(line("data_x\n" + atoms + "1 'two\n2 3\n"), 5u);             // where the quote opens
  EXPECT_EQ(line("data_x\n" + atoms + ";\nnever\nclosed\n"), 5u);        // where the text field opens
  // Failures without a place, and the display text, carry none.
  EXPECT_EQ(line("data_x\n_cell.length_a 1\n" + atoms + "1 2\n"), std::nullopt);  // partial cell
  EXPECT_EQ(line("data_x\n_title\n"), std::nullopt);
  const auto bad = parse_text("data_x\n" + atoms + "1 1.2.3\n", true);
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().display(), "invalid numeric literal: invalid numeric literal '1.2.3' for _atom_site.Cartn_x");
}

}  // namespace
}  // namespace quarn
