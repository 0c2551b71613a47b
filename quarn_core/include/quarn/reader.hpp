// The mmCIF reader: a path or a text becomes a Structure, or the first ReaderError met.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "quarn/expected.hpp"
#include "quarn/structure.hpp"

namespace quarn {

enum class ReaderErrorKind : std::uint8_t {
  IoError = 0,
  InvalidUtf8 = 1,          // in the vocabulary, produced by no step (bad UTF-8 is an IoError)
  InvalidTokenStream = 2,
  LoopMismatch = 3,
  MissingNumeric = 4,
  InvalidNumeric = 5,
  MissingAtomSite = 6,
  Unsupported = 7,          // in the vocabulary, produced by no step
};

// "I/O error", "input was not valid UTF-8", ... Never allocates.
std::string_view reader_error_kind_text(ReaderErrorKind kind) noexcept;

// The operating-system or decoder failure behind an IoError; never part of the display text.
struct IoSource {
  int os_error = 0;      // errno, or 0 when the failure is not the operating system's
  std::string text;      // the failing component's own text
};

struct ReaderError {
  std::string message;                 // the specific text of the failure
  std::optional<std::string> detail;   // the path, only when the file could not be opened
  std::optional<IoSource> source;      // cause of an IoError
  ReaderErrorKind kind = ReaderErrorKind::IoError;
  // 1-based line of the text where the failure lies, for the failures that have a place: an
  // unterminated quoted value or text field (where it opens), a loop_ without tags or with values
  // that do not fill its rows (the loop_ keyword), a value that does not convert. Never displayed.
  std::optional<std::uint64_t> line;

  // "<kind text>: <message>", then " (<detail>)" when there is a detail; invalid UTF-8 in the
  // detail shows as U+FFFD per invalid sequence.
  std::string display() const;
};

// Opens `path` (the file-system path as raw bytes), inflates it when its extension is gz in any
// case, checks UTF-8, parses it, and takes the file stem as entry id when the file names none.
// Holds the whole (inflated) text and the model; linear in the text. Failures are values; throws only
// std::bad_alloc (MemoryShortage), and Interrupted when the caller's interrupt check says stop
// (quarn/interrupt.hpp), also while it waits for a FIFO or a slow device. Shares nothing between
// calls, so loads may run at once on any number of threads; a gzip file is inflated on a thread of its
// own, whose failures come back as values.
Expected<Structure, ReaderError> load_structure(std::string_view path);

// Parses a whole decoded text. With atoms_required, a text without any _atom_site row is refused.
Expected<Structure, ReaderError> parse_text(std::string_view text, bool atoms_required);

}  // namespace quarn
