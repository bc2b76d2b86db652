#include "paths.h"

#include <dlfcn.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <string>

namespace veltaro::common {

std::filesystem::path home_dir() {
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') return home;
  passwd pw{};
  passwd* found = nullptr;
  char buf[4096];
  if (::getpwuid_r(::getuid(), &pw, buf, sizeof buf, &found) == 0 && found != nullptr) {
    return found->pw_dir;
  }
  return {};
}

std::filesystem::path app_data_dir() {
  std::filesystem::path base;
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg == '/') {
    base = xdg;
  } else {
    const std::filesystem::path home = home_dir();
    base = (home.empty() ? std::filesystem::path("/tmp") : home) / ".local" / "share";
  }
  return base / "quillmoor" / "Veltaro";
}

void create_private_directory(const std::filesystem::path& dir) {
  std::filesystem::create_directories(dir);
  std::filesystem::permissions(dir, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::replace);
}

std::filesystem::path file_of_symbol(const void* symbol) noexcept {
  try {
    Dl_info info{};
    if (::dladdr(symbol, &info) == 0 || info.dli_fname == nullptr) return {};
    std::filesystem::path file = info.dli_fname;
    if (file.is_relative() || file.filename() == file) {
      // The main program is reported under the name it was started with.
      file = std::filesystem::read_symlink("/proc/self/exe");
    }
    return std::filesystem::weakly_canonical(file);
  } catch (...) {
    return {};
  }
}

std::filesystem::path find_on_path(const std::string& name) {
  const char* path = std::getenv("PATH");
  if (!path || name.empty() || name.find('/') != std::string::npos) return {};
  std::stringstream parts(path);
  std::string dir;
  while (std::getline(parts, dir, ':')) {
    if (dir.empty()) dir = ".";
    const std::filesystem::path candidate = std::filesystem::path(dir) / name;
    std::error_code ec;
    if (std::filesystem::is_regular_file(candidate, ec) && ::access(candidate.c_str(), X_OK) == 0) {
      return std::filesystem::absolute(candidate, ec);
    }
  }
  return {};
}

}  // namespace veltaro::common
