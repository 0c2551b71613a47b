// The values of a loop, walked row by row: where a loop ends, and the walk every row step shares.
#pragma once

#include <cstddef>
#include <string_view>

#include "categories.hpp"
#include "scanner.hpp"
#include "values.hpp"

namespace quarn::detail {

inline bool is_loop_keyword(std::string_view t) noexcept {
  return t.size() == 5 && ascii_lower(t[0]) == 'l' && ascii_lower(t[1]) == 'o' && ascii_lower(t[2]) == 'o' &&
         ascii_lower(t[3]) == 'p' && t[4] == '_';
}

inline bool is_data_header(std::string_view t) noexcept { return t.size() >= 5 && t.substr(0, 5) == "data_"; }

// A token that closes the values of a loop: a tag, loop_ in any case, or a data block header.
inline bool ends_loop(std::string_view t) noexcept {
  if (!may_end_loop(t)) return false;
  const char c = t[0];
  if (c == '_') return true;
  if ((c | 0x20) == 'l') return is_loop_keyword(t);
  return is_data_header(t);
}

constexpr std::size_t kNoFailure = ~std::size_t{0};

// Hands the values t[i..n) to step(column code, token, position in row, failure) until the first
// token that ends the loop, and returns where it stopped. No token before t[plain] ends a loop
// (Scanner::plain_tokens), so only the later ones are checked. `column` is the position in the row
// of the next value, carried from batch to batch. Once a step fails, `failed_at` is its position in the
// row (kNoFailure before) and only the count goes on: it decides whether the loop fails or is
// dropped.
// Why a template over the row step: the value loop is the hot path of the whole reader; each
// category gets its own copy with its row step inlined, one switch per value on a column code that
// was mapped once per loop. Locals, not the caller's fields, in the loop: the row step stores through
// pointers the compiler cannot tell apart from them, and would otherwise reload them after every value.
template <class RowStep>
[[gnu::always_inline]] inline std::size_t take_values(const std::string_view* t, std::size_t i, std::size_t n,
                                                      std::size_t plain, const Column* columns, std::size_t width,
                                                      std::size_t& column, std::size_t& failed_at,
                                                      ValueFailure& failure, RowStep& step) {
  std::size_t c = column;
  bool failed = failed_at != kNoFailure;
  for (; i < n; ++i) {
    const std::string_view token = t[i];
    if (i >= plain && ends_loop(token)) break;
    if (!failed && !step(columns[c], token, c, failure)) {
      failed = true;
      failed_at = c;
    }
    if (++c == width) c = 0;
  }
  column = c;
  return i;
}

}  // namespace quarn::detail
