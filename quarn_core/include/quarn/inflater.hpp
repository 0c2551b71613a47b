// Which library inflates gzip input in this build: something a bug report can quote.
#pragma once

#include <string_view>

namespace quarn {

// "isa-l 2.30.0" (the version of the headers the build used) or, in a build without it, "zlib 1.2.13"
// (the version zlib reports at run time). zlib also gives the message of every gzip file that the
// faster library refuses. Static storage; never throws; may be called from any thread.
std::string_view inflater_name() noexcept;

}  // namespace quarn
