// The text parser behind parse_text and load_structure: a CIF text becomes a Structure.
#pragma once

#include "quarn/reader.hpp"
#include "text_feed.hpp"

namespace quarn {

// Parses the text of `feed` into a Structure (entry_id absent when the text names none), or returns
// the first ReaderError in the reader's order: a tokenizer error anywhere in the text before any
// other error; then the first error of the statement walk; then the unit cell; then, with
// atoms_required, a text without atom-site rows.
// Calls feed.more() whenever the scan reaches feed.ready() and takes false as the end of the text.
// Returns before the end of the text only on a tokenizer error; otherwise every byte is scanned.
// Keeps no pointer into the feed after returning. Throws only std::bad_alloc.
Expected<Structure, ReaderError> parse_feed(detail::TextFeed& feed, bool atoms_required);

}  // namespace quarn
