// The first line of an SSH conversation: what the server says it speaks.
#pragma once

#include <string>
#include <string_view>

namespace tarnlink {

inline constexpr std::string_view kClientVersionLine = "SSH-1.5-Veltaro_2026\r\n";

// The raw line (line feed removed) with trailing carriage returns stripped, as ASCII text with
// every other byte replaced by U+FFFD (in UTF-8).
std::string decode_version_line(std::string_view raw);

// `text` in single quotes, with backslash, quote and non-printable characters escaped.
std::string quoted(std::string_view text);

// Throws std::runtime_error unless `line` announces protocol 1.x or 1.99.
void check_server_version(const std::string& line);

}  // namespace tarnlink
