// Replacing a file so that readers (the pinger process among them) see the old content or the new,
// never a truncated mix, and a crash or a full disk never destroys the old one.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace veltaro::common {

// Writes `content` to a new file beside `target` (mode 0600), flushes it to disk, renames it over
// `target` and flushes the directory. On failure the old file is untouched and the temporary file
// is removed. Throws std::system_error naming the step that failed.
void replace_file_atomically(const std::filesystem::path& target, std::string_view content);

// Reads a whole file. Throws std::system_error when it cannot be opened or read.
std::string read_file(const std::filesystem::path& path);

// Copies `source` to `dest` with mode 0600, flushed to disk. Throws std::system_error.
void copy_file_private(const std::filesystem::path& source, const std::filesystem::path& dest);

// Removes a file if it is there; a failure is ignored (for clean-up on the way out).
void remove_quietly(const std::filesystem::path& path) noexcept;

}  // namespace veltaro::common
