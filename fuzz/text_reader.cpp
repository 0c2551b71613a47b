// The text reader harness: any bytes give a Structure or a ReaderError without a fault, the same
// whole and in pieces, and atoms_required changes nothing but the refusal of a text without atoms.
#include <string>
#include <vector>

#include "harness.hpp"
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
