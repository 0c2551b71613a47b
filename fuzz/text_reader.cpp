// The text reader harness: the UTF-8 check agrees with a plain decoder on any bytes; any bytes give
// a Structure or a ReaderError without a fault, the same whole and in pieces; and atoms_required
// changes nothing but the refusal of a text without atoms.
#include <cstdint>
#include <string>
#include <vector>

#include "harness.hpp"
#include "quarn/utf8.hpp"
#include "reader_support.hpp"

namespace quarn::fuzz {

namespace {

bool is_parser_kind(ReaderErrorKind kind) noexcept {
  switch (kind) {
    case ReaderErrorKind::InvalidTokenStream:
    case ReaderErrorKind::LoopMismatch:
    case ReaderErrorKind::MissingNumeric:
    case ReaderErrorKind::InvalidNumeric:
    case ReaderErrorKind::MissingAtomSite:
      return true;
    case ReaderErrorKind::IoError:
    case ReaderErrorKind::InvalidUtf8:
    case ReaderErrorKind::Unsupported:
      return false;
  }
  return false;
}

// The code point of the well-formed sequence of `length` bytes at p, or -1: decoded bit by bit and
// judged by its value, the way the standard defines it, not by a table of byte ranges.
long decode(const unsigned char* p, std::size_t length) {
  static constexpr unsigned kLeadBits[] = {0, 0x7f, 0x1f, 0x0f, 0x07};
  static constexpr long kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
  const std::size_t expected = p[0] < 0x80 ? 1 : (p[0] >> 5) == 0x6 ? 2 : (p[0] >> 4) == 0xe ? 3 : (p[0] >> 3) == 0x1e ? 4 : 0;
  if (expected != length) return -1;
  long cp = p[0] & kLeadBits[length];
  for (std::size_t k = 1; k < length; ++k) {
    if ((p[k] & 0xc0) != 0x80) return -1;
    cp = (cp << 6) | (p[k] & 0x3f);
  }
  if (cp < kSmallest[length] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return -1;
  return cp;
}

// The longest prefix of whole sequences, and whether what follows it can never become one.
Utf8Scan reference_scan(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t length = 1;
    while (length <= 4 && (i + length > text.size() || decode(p + i, length) < 0)) ++length;
    if (length > 4) break;
    i += length;
  }
  if (i == text.size()) return {i, false};
  // Cut short rather than broken when some completion of the remaining bytes is a sequence: try every
  // second byte (the only one whose range depends on the lead), the others as 0x80.
  const std::size_t left = text.size() - i;
  for (std::size_t length = left + 1; length <= 4 && left < 4; ++length) {
    for (unsigned second = 0x80; second <= 0xbf; ++second) {
      unsigned char trial[4] = {0x80, 0x80, 0x80, 0x80};
      for (std::size_t k = 0; k < left; ++k) trial[k] = p[i + k];
      if (left < 2) trial[1] = static_cast<unsigned char>(second);
      if (decode(trial, length) >= 0) return {i, false};
    }
  }
  return {i, true};
}

void check_utf8(std::string_view text) {
  const Utf8Scan scan = scan_utf8(text.data(), text.size());
  const Utf8Scan reference = reference_scan(text);
  check(scan.valid == reference.valid, "the UTF-8 scan finds the longest valid prefix");
  check(scan.broken == reference.broken, "the UTF-8 scan tells a broken sequence from one cut short");
  check(is_valid_utf8(text) == (reference.valid == text.size()), "is_valid_utf8 agrees with the scan");
}

void check_error_shape(const ReaderError& e) {
  check(is_parser_kind(e.kind), "the text parser reports only syntax, loop, numeric and missing-atom errors");
  check(!e.detail && !e.source, "a text parser error carries no detail and no source");
  std::string expected(reader_error_kind_text(e.kind));
  expected.append(": ").append(e.message);
  check(e.display() == expected, "display text is the kind text, a colon and the message");
}

}  // namespace

void text_reader(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return;
  // The first byte chooses how the text arrives in pieces.
  const std::size_t piece = 1 + (data[0] & 0x3f);
  const std::vector<std::size_t> pieces = (data[0] & 0x40) ? testing::random_pieces(size - 1, piece, data[0])
                                                            : std::vector<std::size_t>{piece};
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  // load_structure checks the text before parsing it; the parser must still cope with any bytes.
  check_utf8(text);

  const auto required = parse_text(text, true);
  const auto optional = parse_text(text, false);
  const std::string required_outcome = testing::outcome(required);
  const std::string optional_outcome = testing::outcome(optional);
  check(testing::parse_in_pieces(text, pieces, true) == required_outcome, "same outcome whole and in pieces");
  check(testing::parse_in_pieces(text, pieces, false) == optional_outcome,
        "same outcome whole and in pieces without atoms required");

  if (required) {
    check(required->atom_count() > 0, "a text accepted with atoms required has atoms");
    check(optional_outcome == required_outcome, "atoms_required changes nothing when there are atoms");
    return;
  }
  check_error_shape(required.error());
  if (required.error().kind == ReaderErrorKind::MissingAtomSite) {
    check(optional && optional->atom_count() == 0, "a text refused only for lack of atoms parses without them");
  } else {
    check(optional_outcome == required_outcome, "atoms_required changes no other error");
  }
}

}  // namespace quarn::fuzz
