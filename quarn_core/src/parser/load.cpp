#include "load.hpp"

#include <string>
#include <utility>

#include "helper_thread.hpp"
#include "parse.hpp"
#include "quarn/utf8.hpp"
#include "text_feed.hpp"

namespace quarn {

namespace detail {

Expected<Structure, ReaderError> load_with(SourceText& source, std::string_view path) {
  const ActiveParse active;  // from the start: opening decides whether the helper inflates
  if (auto failure = source.open(path)) return unexpected(std::move(*failure));
  auto parsed = parse_feed(source, /*atoms_required=*/true);
  // The source's failures come first, as if the whole file had been read and checked before parsing.
  if (auto failure = source.finish()) return unexpected(std::move(*failure));
  if (source.feed_was_cut()) {
    WholeText whole({source.data(), source.ready()});
    parsed = parse_feed(whole, /*atoms_required=*/true);
  }
  if (parsed && !parsed->entry_id) {
    const std::string_view stem = file_stem(path);
    if (is_valid_utf8(stem)) parsed->entry_id = std::string(stem);
  }
  return parsed;
}

}  // namespace detail

Expected<Structure, ReaderError> load_structure(std::string_view path) {
  detail::SourceText source;
  return detail::load_with(source, path);
}

}  // namespace quarn
