#include "parse.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <memory>
#include <string>
#include <vector>

#include "atom_site.hpp"
#include "categories.hpp"
#include "loop_values.hpp"
#include "helper_thread.hpp"
#include "quarn/interrupt.hpp"
#include "rows_ahead.hpp"
#include "scanner.hpp"
#include "values.hpp"

namespace quarn {

namespace {

using detail::Column;
using detail::LoopKind;
using detail::ends_loop;
using detail::is_data_header;
using detail::is_loop_keyword;
using detail::reader_error;

// Where the line holding offset `at` of `text` begins.
std::size_t line_start(const char* text, std::size_t at) noexcept {
  while (at > 0 && text[at - 1] != '\n') --at;
  return at;
}

std::string decimal(std::uint64_t n) {
  char buffer[24];
  const auto r = std::to_chars(buffer, buffer + sizeof buffer, n);
  return std::string(buffer, r.ptr);
}

// A loop value that did not convert, and where: its message, which needs the column's tag (found
// again by rescanning), is built only if the failure stands when the loop ends.
struct RowFailure {
  detail::ValueFailure failure;
  std::size_t column;  // position of the tag in the loop header
};

class Parser {
 public:
  Parser(detail::TextFeed& feed, bool atoms_required) : feed_(feed), atoms_required_(atoms_required) {}

  Expected<Structure, ReaderError> run();

 private:
  enum class State : std::uint8_t { statement, item_value, loop_tags, loop_values, failed };

  void consume(const std::string_view* t, std::size_t n);
  std::size_t statements(const std::string_view* t, std::size_t i, std::size_t n);
  std::size_t loop_tags(const std::string_view* t, std::size_t i, std::size_t n);
  template <class RowStep>
  std::size_t loop_values(const std::string_view* t, std::size_t i, std::size_t n, RowStep& step);
  std::size_t atom_values(const std::string_view* t, std::size_t i, std::size_t n);
  std::size_t bond_values(const std::string_view* t, std::size_t i, std::size_t n);
  std::size_t ignored_values(const std::string_view* t, std::size_t i, std::size_t n);
  void begin_values();
  void finish_loop();
  void end_of_tokens();
  // The split of a long atom loop (see RowsAhead): started once the whole text is there, joined at
  // the scanner's fence.
  void try_split(std::string_view next);
  // Room in the atom list for the rows of its loop, guessed at the loop's first value.
  void reserve_atoms(std::string_view first);
  void join_split();

  // Records the first error; `at`, when given, points into the text where the failure lies.
  void fail(ReaderError error, const char* at = nullptr);
  void fail_at_loop(ReaderError error) { fail(std::move(error), token_at(loop_ordinal_).data()); }
  std::uint64_t line_at(const char* at) const noexcept;
  std::string_view token_at(std::uint64_t ordinal) const;
  std::string_view loop_tag(std::size_t column) const { return token_at(loop_ordinal_ + 1 + column); }

  detail::TextFeed& feed_;
  const bool atoms_required_;
  Structure s_;
  State state_ = State::statement;
  std::optional<ReaderError> error_;  // the first error of the walk; the scan goes on after it

  detail::SingleItems items_;   // views into the text (it outlives the parse), copied at the end
  std::string_view item_tag_;  // a tag waiting for its value

  std::uint64_t batch_ordinal_ = 0;  // ordinal of the first token of the current batch

  // The current loop.
  std::uint64_t loop_ordinal_ = 0;  // ordinal of its loop_ token; tag k is token loop_ordinal_ + 1 + k
  std::vector<Column> columns_;     // one per tag, mapped once per loop
  bool all_atom_site_ = true, any_struct_conn_ = false, any_chem_comp_bond_ = false;
  LoopKind kind_ = LoopKind::ignored;
  std::uint64_t values_ = 0;
  std::size_t column_ = 0;          // position of the next value within its row
  std::size_t bonds_before_ = 0;    // bond count when the loop began, to drop a mismatched loop
  AtomSite* atom_ = nullptr;        // the row being filled, in place in s_.atoms
  BondRecord bond_;                 // the row being filled
  std::optional<RowFailure> row_failure_;

  detail::Scanner* scanner_ = nullptr;
  std::size_t plain_ = 0;  // of the batch being consumed, the leading tokens that cannot end a loop
  std::unique_ptr<detail::RowsAhead> ahead_;  // the later part of an atom loop, parsed on the helper
  bool split_tried_ = false;                  // one split per text
  std::uint64_t split_loop_ = 0;              // loop_ordinal_ of the loop split
};

Expected<Structure, ReaderError> Parser::run() {
  detail::Scanner scanner(feed_);
  scanner_ = &scanner;
  std::array<std::string_view, detail::Scanner::kBatch> batch;
  for (;;) {
    const std::size_t n = scanner.next_batch(batch.data());
    if (n == 0) {
      if (!scanner.at_fence()) break;
      join_split();
      continue;
    }
    interruption_point();
    plain_ = scanner.plain_tokens();
    // After a walk error only the scan goes on, since a tokenizer error later in the text wins.
    if (state_ != State::failed) consume(batch.data(), n);
    batch_ordinal_ += n;
  }
  ahead_.reset();
  if (scanner.error() != detail::ScanError::none) {
    const bool quote = scanner.error() == detail::ScanError::unterminated_quote;
    ReaderError e = reader_error(ReaderErrorKind::InvalidTokenStream,
                                 quote ? "unterminated quoted value" : "unterminated text field");
    e.line = line_at(feed_.data() + scanner.error_offset());
    return unexpected(std::move(e));
  }
  if (state_ != State::failed) end_of_tokens();
  if (error_) return unexpected(std::move(*error_));
  if (auto e = items_.finish_cell(s_.cell)) return unexpected(std::move(*e));
  if (atoms_required_ && s_.atoms.empty()) {
    return unexpected(reader_error(ReaderErrorKind::MissingAtomSite, "_atom_site loop missing"));
  }
  if (items_.entry_id) s_.entry_id.emplace(*items_.entry_id);
  if (items_.title) s_.title.emplace(*items_.title);
  if (items_.space_group) s_.space_group.emplace(*items_.space_group);
  return std::move(s_);
}

void Parser::fail(ReaderError error, const char* at) {
  if (at != nullptr) error.line = line_at(at);
  error_ = std::move(error);
  state_ = State::failed;
}

// Lines end at "\n", "\r\n" or a lone "\r". Counted only on the failure path, so the walk keeps no
// line count of its own.
std::uint64_t Parser::line_at(const char* at) const noexcept {
  const char* const text = feed_.data();
  const std::size_t end = std::min(static_cast<std::size_t>(at - text), feed_.ready());
  std::uint64_t line = 1;
  for (std::size_t k = 0; k < end; ++k) {
    line += text[k] == '\n' || (text[k] == '\r' && (k + 1 >= feed_.ready() || text[k + 1] != '\n'));
  }
  return line;
}

void Parser::consume(const std::string_view* t, std::size_t n) {
  std::size_t i = 0;
  while (i < n) {
    switch (state_) {
      case State::statement:
        i = statements(t, i, n);
        break;
      case State::item_value:
        state_ = State::statement;
        if (auto e = items_.take(item_tag_, t[i])) fail(std::move(*e), t[i].data());
        ++i;
        break;
      case State::loop_tags:
        i = loop_tags(t, i, n);
        break;
      case State::loop_values:
        switch (kind_) {
          case LoopKind::atom_site: i = atom_values(t, i, n); break;
          case LoopKind::struct_conn:
          case LoopKind::chem_comp_bond: i = bond_values(t, i, n); break;
          case LoopKind::ignored: i = ignored_values(t, i, n); break;
        }
        break;
      case State::failed:
        return;
    }
  }
}

std::size_t Parser::statements(const std::string_view* t, std::size_t i, std::size_t n) {
  for (; i < n; ++i) {
    const std::string_view token = t[i];
    if (token.empty()) continue;
    if (is_loop_keyword(token)) {
      loop_ordinal_ = batch_ordinal_ + i;
      columns_.clear();
      all_atom_site_ = true;
      any_struct_conn_ = any_chem_comp_bond_ = false;
      state_ = State::loop_tags;
      return i + 1;
    }
    if (is_data_header(token)) {
      items_.entry_id = token.substr(5);
    } else if (token[0] == '_') {
      item_tag_ = token;
      state_ = State::item_value;
      return i + 1;
    }
    // Anything else (a value without a tag, save_, global_, stop_) has no effect.
  }
  return n;
}

std::size_t Parser::loop_tags(const std::string_view* t, std::size_t i, std::size_t n) {
  for (; i < n; ++i) {
    const std::string_view tag = t[i];
    if (tag.empty() || tag[0] != '_') {
      if (columns_.empty()) {
        fail_at_loop(reader_error(ReaderErrorKind::LoopMismatch, "loop_ without tags"));
        return n;
      }
      begin_values();
      return i;
    }
    const detail::TagClass c = detail::classify_tag(tag);
    all_atom_site_ = all_atom_site_ && c.atom_site;
    any_struct_conn_ = any_struct_conn_ || c.struct_conn;
    any_chem_comp_bond_ = any_chem_comp_bond_ || c.chem_comp_bond;
    columns_.push_back(c.column);
  }
  return n;
}

void Parser::begin_values() {
  kind_ = all_atom_site_       ? LoopKind::atom_site
          : any_struct_conn_   ? LoopKind::struct_conn
          : any_chem_comp_bond_ ? LoopKind::chem_comp_bond
                               : LoopKind::ignored;
  // A column of another category than the loop's is ignored (a mixed struct-conn loop, say).
  for (Column& c : columns_) {
    if (detail::column_kind(c) != kind_) c = Column::ignored;
  }
  values_ = 0;
  column_ = 0;
  bonds_before_ = s_.bonds.size();
  row_failure_.reset();
  state_ = State::loop_values;
}

template <class RowStep>
std::size_t Parser::loop_values(const std::string_view* t, std::size_t i, std::size_t n, RowStep& step) {
  std::size_t failed_at = row_failure_ ? row_failure_->column : detail::kNoFailure;
  detail::ValueFailure failure{};
  const std::size_t first = i;
  i = detail::take_values(t, i, n, plain_, columns_.data(), columns_.size(), column_, failed_at, failure, step);
  if (!row_failure_ && failed_at != detail::kNoFailure) row_failure_ = RowFailure{failure, failed_at};
  values_ += i - first;
  if (i < n) finish_loop();
  return i;
}

std::size_t Parser::atom_values(const std::string_view* t, std::size_t i, std::size_t n) {
  if (s_.atoms.empty() && column_ == 0) reserve_atoms(t[i]);
  if (!split_tried_) try_split(t[i]);
  detail::AtomRows step{s_.atoms, s_.arena, atom_};
  i = loop_values(t, i, n, step);
  atom_ = step.atom;
  return i;
}

std::size_t Parser::bond_values(const std::string_view* t, std::size_t i, std::size_t n) {
  const std::size_t last = columns_.size() - 1;
  auto step = [this, last](Column column, std::string_view token, std::size_t index,
                                           detail::ValueFailure& failure) {
    if (index == 0) {
      bond_ = BondRecord{};
      bond_.from_chem_comp = kind_ == LoopKind::chem_comp_bond;
    }
    if (const auto f = detail::fill_bond_value(bond_, column, token)) {
      failure = *f;
      return false;
    }
    if (index == last) {
      detail::finish_bond_row(bond_);
      s_.bonds.push_back(std::move(bond_));
    }
    return true;
  };
  return loop_values(t, i, n, step);
}

std::size_t Parser::ignored_values(const std::string_view* t, std::size_t i, std::size_t n) {
  for (i = std::max(i, plain_); i < n; ++i) {
    if (ends_loop(t[i])) {
      finish_loop();
      return i;
    }
  }
  return n;
}

// Why: grown by doubling from a few atoms, the list reallocates and copies itself a dozen times
// for a typical entry, and every larger array is fresh memory to fault in. The rows of the loop are
// guessed from its first line and the expected length of the text (which the loop cannot outrun by
// much: the categories after it make the guess high rather than low), at most one full block.
void Parser::reserve_atoms(std::string_view first) {
  const std::size_t hint = feed_.size_hint();
  const char* const text = feed_.data();
  const std::size_t at = static_cast<std::size_t>(first.data() - text);
  if (hint <= at) return;
  const std::size_t ready = feed_.ready();
  const std::size_t line = line_start(text, at);
  std::size_t end = at;
  while (end < ready && text[end] != '\n') ++end;
  if (end == ready) return;  // the first line is not all there yet
  // A row spread over lines is at least two bytes a value.
  const std::size_t rows = (hint - line) / std::max(end + 1 - line, 2 * columns_.size());
  s_.atoms.reserve(std::min(rows, BlockList<AtomSite>::kBlockSize));
}

void Parser::try_split(std::string_view next) {
  const std::size_t whole = feed_.whole_length();
  if (whole == 0) return;  // still arriving: asked again with the next batch
  split_tried_ = true;
  if (!detail::cores_to_spare()) return;
  const std::string_view text(feed_.data(), whole);
  const std::size_t at = static_cast<std::size_t>(next.data() - text.data());
  if (whole - at < detail::kMinSplitBytes) return;
  const std::size_t row_line = line_start(text.data(), at);
  const std::size_t split = detail::choose_split(text, row_line, columns_.size());
  // The scan runs up to a batch ahead of the walk; it must not have passed the split yet.
  if (split == 0 || split <= scanner_->position().offset) return;
  detail::HelperThread* const helper = detail::HelperThread::of_this_thread();
  if (helper == nullptr) return;
  ahead_ = std::make_unique<detail::RowsAhead>(*helper, text, split, columns_, row_line,
                                               s_.atoms.size() - (column_ != 0 ? 1 : 0));
  split_loop_ = loop_ordinal_;
  scanner_->set_fence(split);
}

void Parser::join_split() {
  const std::unique_ptr<detail::RowsAhead> ahead = std::move(ahead_);
  const bool joins = ahead->wait() == detail::RowsAhead::Outcome::kDone && state_ == State::loop_values &&
                     kind_ == LoopKind::atom_site && loop_ordinal_ == split_loop_ && column_ == 0 &&
                     !row_failure_;
  if (!joins) {
    scanner_->drop_fence();
    return;
  }
  // The arena first: the rows' long texts live in it.
  s_.arena.share(ahead->arena());
  s_.atoms.take_tail(std::move(ahead->atoms()), ahead->gap());
  values_ += ahead->values();
  batch_ordinal_ += ahead->values();
  column_ = ahead->column();
  if (column_ != 0) atom_ = &s_.atoms.back();
  scanner_->resume(ahead->end());
  detail::note_split_joined();
}

void Parser::finish_loop() {
  state_ = State::statement;
  const std::uint64_t width = columns_.size();
  if (kind_ == LoopKind::ignored) return;
  if (values_ % width != 0) {
    if (kind_ == LoopKind::atom_site) {
      fail_at_loop(reader_error(ReaderErrorKind::LoopMismatch,
                                "loop contains " + decimal(values_) + " values but " + decimal(width) + " tags"));
    } else {
      // A struct-conn or chem-comp-bond loop that does not divide into rows is dropped whole.
      s_.bonds.truncate(bonds_before_);
    }
    row_failure_.reset();
    return;
  }
  if (row_failure_) {
    fail(reader_error(ReaderErrorKind::InvalidNumeric,
                      detail::value_failure_message(row_failure_->failure, loop_tag(row_failure_->column))),
         row_failure_->failure.value.data());
  }
}

void Parser::end_of_tokens() {
  switch (state_) {
    case State::item_value:
      fail(reader_error(ReaderErrorKind::MissingNumeric, "expected value, found EOF"));
      break;
    case State::loop_tags:
      if (columns_.empty()) {
        fail_at_loop(reader_error(ReaderErrorKind::LoopMismatch, "loop_ without tags"));
      } else {
        begin_values();
        finish_loop();
      }
      break;
    case State::loop_values:
      finish_loop();
      break;
    case State::statement:
    case State::failed:
      break;
  }
}

// The token of the given ordinal, found by scanning the text again up to it. Only the failure path
// needs a tag's text or the place of a loop_, so a loop keeps one byte per tag instead of a view of each.
std::string_view Parser::token_at(std::uint64_t ordinal) const {
  detail::WholeText text(std::string_view(feed_.data(), feed_.ready()));
  detail::Scanner scanner(text);
  const std::uint64_t target = ordinal;
  std::array<std::string_view, detail::Scanner::kBatch> batch;
  std::uint64_t first = 0;
  while (const std::size_t n = scanner.next_batch(batch.data())) {
    if (target < first + n) return batch[target - first];
    first += n;
  }
  return {};  // not reached: the tag lies in text already scanned
}

}  // namespace

Expected<Structure, ReaderError> parse_feed(detail::TextFeed& feed, bool atoms_required) {
  const detail::ActiveParse active;
  return Parser(feed, atoms_required).run();
}

Expected<Structure, ReaderError> parse_text(std::string_view text, bool atoms_required) {
  detail::WholeText feed(text);
  return parse_feed(feed, atoms_required);
}

}  // namespace quarn
