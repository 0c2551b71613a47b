// Loading a file into a Structure: the file source, the parser and the entry-id fallback together.
#pragma once

#include <string_view>

#include "quarn/reader.hpp"
#include "source.hpp"

namespace quarn::detail {

// load_structure over a source that has not been opened yet (tests cap its parallel buffer). Opens
// `path` with it, parses while the text arrives, and returns the first failure in the reader's order:
// opening, then reading, decoding and UTF-8 anywhere in the file, then the parse. Throws only
// std::bad_alloc.
Expected<Structure, ReaderError> load_with(SourceText& source, std::string_view path);

}  // namespace quarn::detail
