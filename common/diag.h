// Diagnostic lines: a bracketed tag, a blank, the text. There are no levels and no log file.
// The serial, board-reset and modem-line paths write to standard error (flushed at once, since
// they report while a device misbehaves); everything else to standard output.
#pragma once

#include <string_view>

namespace veltaro::common {

// Writes "<tag> <text>\n" to the stream the tag belongs to. Safe from any thread; never throws.
void diag(std::string_view tag, std::string_view text) noexcept;

// Whether lines with this tag go to standard error.
bool diag_goes_to_stderr(std::string_view tag) noexcept;

}  // namespace veltaro::common
