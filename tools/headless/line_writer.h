// One JSON line at a time on the protocol stream, whichever thread writes it.
#pragma once

#include "common/values.h"

#include <mutex>

namespace veltaro::headless {

class LineWriter {
 public:
  explicit LineWriter(int fd) : fd_(fd) {}
  // Writes the value and a newline; a reader that went away is ignored. Never throws.
  void write(const common::Json& value) noexcept;

 private:
  int fd_;
  std::mutex mutex_;
};

}  // namespace veltaro::headless
