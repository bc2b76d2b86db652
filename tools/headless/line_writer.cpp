#include "tools/headless/line_writer.h"

#include <unistd.h>

#include <cerrno>
#include <string>

namespace veltaro::headless {

void LineWriter::write(const common::Json& value) noexcept {
  try {
    std::string line = common::dump_utf8(value);
    line += '\n';
    const std::lock_guard lock(mutex_);
    std::string_view rest = line;
    while (!rest.empty()) {
      const ssize_t n = ::write(fd_, rest.data(), rest.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;
      rest.remove_prefix(static_cast<std::size_t>(n));
    }
  } catch (...) {
    // Out of memory while formatting a reply: nothing sensible is left to report it to.
  }
}

}  // namespace veltaro::headless
