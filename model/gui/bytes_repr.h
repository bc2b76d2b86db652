// Bytes as a log line shows them: b'...' with escapes, the way the serial log has always
// printed them.
#pragma once

#include <string>
#include <string_view>

namespace veltaro::gui {

// \t \n \r \\ and the quote escaped, other bytes outside 0x20-0x7E as \xNN; single quotes
// unless the bytes hold a single quote and no double quote.
std::string bytes_repr(std::string_view bytes);

}  // namespace veltaro::gui
