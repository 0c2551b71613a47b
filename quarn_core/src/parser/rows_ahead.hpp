// A long atom-site loop parsed in two parts at once: the later part on the loading thread's helper.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "categories.hpp"
#include "helper_thread.hpp"
#include "quarn/atom_list.hpp"
#include "quarn/structure.hpp"
#include "quarn/text.hpp"
#include "scanner.hpp"

namespace quarn::detail {

// The parse walks the text from its start; the helper meanwhile scans from a line start in the
// middle of the atom loop (the split) and fills rows as if a row began there, into lists of its own.
// The walk stops at the split (a scanner fence) and keeps the helper's rows only when it arrives
// there between tokens, still in the same loop and at the start of a row: then both scans agree from
// the split on (a scan's state between tokens is its position), and the rows are the ones the walk
// would have made itself. Otherwise it drops them and walks on, so the outcome never depends on the
// split; only the time does.
//
// Whatever the helper meets that the walk would report (a tokenizer error, a value that does not
// convert, a failure to allocate) makes it give up: the walk then gets there itself, and reports it.
// Less loop than this is parsed by the walk alone: handing over and joining would cost more.
constexpr std::size_t kMinSplitBytes = 64 * 1024;

// Where to split the atom loop whose next row's line begins at `row_line` (rows of `width` values):
// a line start a little past the middle of what remains of the loop, guessed from the shape of its
// lines; 0 when the loop looks too short or its rows do not keep to one line each. Never throws.
std::size_t choose_split(std::string_view text, std::size_t row_line, std::size_t width) noexcept;

// Splits whose rows a parse kept, in this process: lets tests tell that a text took the split path.
std::uint64_t splits_joined() noexcept;
void note_split_joined() noexcept;

class RowsAhead {
 public:
  enum class Outcome : std::uint8_t {
    kDone,     // the rows up to end() are filled
    kGaveUp,   // nothing to keep: the walk parses the later part itself
  };

  // Starts on `helper` the parse of `text` (all of which has been produced; bytes past what the walk
  // was handed may be unchecked) from the line start `split` on, with the columns of the loop.
  // `row_line` is where the line of the walk's next row begins and `rows_before` the atoms before
  // that row: the helper counts the lines up to the split to guess the walk's atom count there, so
  // that its rows can join the walk's list without a copy (a wrong guess costs a copy, nothing more).
  // May throw std::bad_alloc (copying the columns), before anything starts.
  RowsAhead(HelperThread& helper, std::string_view text, std::size_t split, std::vector<Column> columns,
            std::size_t row_line, std::size_t rows_before);
  // Asks the helper to stop, and waits for it.
  ~RowsAhead();
  RowsAhead(const RowsAhead&) = delete;
  RowsAhead& operator=(const RowsAhead&) = delete;

  // Waits for the helper to finish, asking the calling thread's interrupt check meanwhile (throws
  // Interrupted once it says stop; the destructor then waits).
  Outcome wait();

  std::size_t split() const noexcept { return split_; }

  // After kDone. The rows: elements from gap() on of atoms(), their long texts in arena().
  BlockList<AtomSite>& atoms() noexcept { return atoms_; }
  std::size_t gap() const noexcept { return gap_; }
  const TextArena& arena() const noexcept { return arena_; }
  // The loop values taken (also the tokens), and the position in the row of the next one (not 0
  // only when the text ended inside a row).
  std::uint64_t values() const noexcept { return values_; }
  std::size_t column() const noexcept { return column_; }
  // Where the walk goes on: before the token that ends the loop, or at the end of the text.
  Scanner::Position end() const noexcept { return end_; }

 private:
  static void run(void* self) noexcept;
  Outcome parse();

  HelperThread& helper_;
  const std::string_view text_;
  const std::size_t split_;
  const std::vector<Column> columns_;
  const std::size_t row_line_;
  const std::size_t rows_before_;
  std::atomic<bool> stop_{false};
  HelperThread::Ticket ticket_ = 0;

  // Written by the helper, read after wait().
  Outcome outcome_ = Outcome::kGaveUp;
  BlockList<AtomSite> atoms_;
  TextArena arena_;
  std::size_t gap_ = 0;
  std::uint64_t values_ = 0;
  std::size_t column_ = 0;
  Scanner::Position end_{0, false};
};

}  // namespace quarn::detail
