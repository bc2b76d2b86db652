// What the benchmarks share: a throw-away data directory, a window that notes status lines, and
// the sample texts.
#pragma once

#include "model/gui/veltaro_app.h"

#include <atomic>
#include <memory>
#include <string>

namespace veltaro::bench {

// Points the data directory at a new temporary directory (removed at exit is not worth it: /tmp).
void use_temporary_data_dir();

class NotingWindow final : public gui::Window {
 public:
  void evaluate_script(const std::string& script) override;
  void show() override {}
  void hide() override {}
  void destroy() override {}
  std::atomic<int> connected{0};
  std::atomic<int> ended{0};
};

// `bytes` bytes of terminal-like text: lines of printable ASCII, of Chinese in UTF-8, or of
// Chinese in Big5, each line ending in LF.
std::string ascii_text(std::size_t bytes);
std::string chinese_utf8_text(std::size_t bytes);
std::string chinese_big5_text(std::size_t bytes);

}  // namespace veltaro::bench
