#include <string>

#include "quarn/reader.hpp"

namespace quarn {

std::string_view reader_error_kind_text(ReaderErrorKind kind) noexcept {
  switch (kind) {
    case ReaderErrorKind::IoError: return "I/O error";
    case ReaderErrorKind::InvalidUtf8: return "input was not valid UTF-8";
    case ReaderErrorKind::InvalidTokenStream: return "token stream is invalid";
    case ReaderErrorKind::LoopMismatch: return "loop tag/value mismatch";
    case ReaderErrorKind::MissingNumeric: return "numeric value missing";
    case ReaderErrorKind::InvalidNumeric: return "invalid numeric literal";
    case ReaderErrorKind::MissingAtomSite: return "_atom_site loop missing";
    case ReaderErrorKind::Unsupported: return "unsupported feature";
  }
  return "unknown reader error";
}

namespace {

// Appends `s`, each maximal ill-formed subpart replaced by one U+FFFD (the substitution practice of
// the Unicode standard, so one bad byte never swallows the good bytes after it).
void append_replacing_invalid_utf8(std::string& out, std::string_view s) {
  constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  std::size_t i = 0;
  while (i < s.size()) {
    const unsigned char lead = static_cast<unsigned char>(s[i]);
    if (lead < 0x80) {
      out += static_cast<char>(lead);
      ++i;
      continue;
    }
    std::size_t need;                         // continuation bytes after the lead
    unsigned char low = 0x80, high = 0xBF;    // allowed range of the first continuation byte
    if (lead >= 0xC2 && lead <= 0xDF) {
      need = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      need = 2;
      if (lead == 0xE0) low = 0xA0;           // no overlong forms
      if (lead == 0xED) high = 0x9F;          // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      need = 3;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;          // nothing above U+10FFFF
    } else {
      out += kReplacement;
      ++i;
      continue;
    }
    std::size_t length = 1;
    while (length <= need && i + length < s.size()) {
      const unsigned char c = static_cast<unsigned char>(s[i + length]);
      const bool first = length == 1;
      if (c < (first ? low : 0x80) || c > (first ? high : 0xBF)) break;
      ++length;
    }
    if (length == need + 1) {
      out.append(s.substr(i, length));
    } else {
      out += kReplacement;
    }
    i += length;
  }
}

}  // namespace

std::string ReaderError::display() const {
  const std::string_view kind_text = reader_error_kind_text(kind);
  std::string out;
  out.reserve(kind_text.size() + 2 + message.size() + (detail ? detail->size() + 3 : 0));
  out.append(kind_text).append(": ").append(message);
  if (detail) {
    out += " (";
    append_replacing_invalid_utf8(out, *detail);
    out += ')';
  }
  return out;
}

}  // namespace quarn
