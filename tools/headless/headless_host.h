// The application without a window: page calls arrive as JSON lines on standard input, answers
// and the scripts the back end evaluates in the page leave as JSON lines.
#pragma once

#include "model/gui/window.h"
#include "tools/headless/line_writer.h"

#include <condition_variable>
#include <istream>
#include <memory>
#include <mutex>

namespace veltaro::headless {

class HeadlessHost final : public gui::WindowHost {
 public:
  HeadlessHost(std::istream& in, std::shared_ptr<LineWriter> out) : in_(in), out_(std::move(out)) {}

  std::shared_ptr<gui::Window> create_window(const gui::WindowOptions& options,
                                             gui::VeltaroApp& app) override;
  std::shared_ptr<gui::TrayIcon> setup_tray(gui::VeltaroApp&) override { return nullptr; }
  void apply_dark_titlebar() override {}
  // No clipboard, dialog or browser without a desktop: those calls give their neutral results.
  std::shared_ptr<gui::Desktop> desktop() override { return nullptr; }
  // Answers requests until standard input ends, then waits (bounded) for calls still running.
  void run_loop(const gui::LoopOptions& options) override;

 private:
  void handle_line(const std::string& line);

  std::istream& in_;
  std::shared_ptr<LineWriter> out_;
  std::shared_ptr<gui::VeltaroApp> app_;

  struct InFlight {
    std::mutex mutex;
    std::condition_variable idle;
    int count = 0;
  };
  std::shared_ptr<InFlight> in_flight_ = std::make_shared<InFlight>();
};

}  // namespace veltaro::headless
