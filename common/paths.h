// Where the application keeps its files on this platform.
#pragma once

#include <filesystem>

namespace veltaro::common {

// $HOME, else the password database's home directory; empty when neither is known. Never throws
// but std::bad_alloc.
std::filesystem::path home_dir();

// $XDG_DATA_HOME (default ~/.local/share) + "/quillmoor/Veltaro". Never throws; falls back to the
// password database's home when HOME is unset.
std::filesystem::path app_data_dir();

// Creates `dir` with its missing parents; the last component is made (again)
// readable by the user alone, since it holds passwords and keys.
// An existing directory is no error. Throws std::filesystem::filesystem_error.
void create_private_directory(const std::filesystem::path& dir);

// The file of the shared library or program that contains `symbol`, or empty when unknown.
std::filesystem::path file_of_symbol(const void* symbol) noexcept;

// The first executable regular file called `name` on PATH, or empty.
std::filesystem::path find_on_path(const std::string& name);

}  // namespace veltaro::common
