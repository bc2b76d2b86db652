#include "diag.h"

#include <cstdio>
#include <mutex>
#include <string>

namespace veltaro::common {

namespace {
std::mutex& diag_mutex() {
  static std::mutex m;
  return m;
}
}  // namespace

bool diag_goes_to_stderr(std::string_view tag) noexcept {
  return tag.starts_with("[serial]") || tag.starts_with("[esp_reset:") ||
         tag.starts_with("[serial.modem]");
}

void diag(std::string_view tag, std::string_view text) noexcept {
  try {
    std::string line;
    line.reserve(tag.size() + text.size() + 2);
    line.append(tag).append(" ").append(text).append("\n");
    std::FILE* stream = diag_goes_to_stderr(tag) ? stderr : stdout;
    const std::lock_guard lock(diag_mutex());
    std::fwrite(line.data(), 1, line.size(), stream);
    std::fflush(stream);
  } catch (...) {
    // Reporting must never take the caller down.
  }
}

}  // namespace veltaro::common
