// A private data directory per test and a window that records what the back end shows.
#pragma once

#include "model/gui/veltaro_app.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace veltaro::gui::testing {

class RecordingWindow final : public Window {
 public:
  void evaluate_script(const std::string& script) override {
    const std::lock_guard lock(mutex_);
    scripts_.push_back(script);
  }
  void show() override {}
  void hide() override { hidden_ = true; }
  void destroy() override {}

  std::vector<std::string> scripts() const {
    const std::lock_guard lock(mutex_);
    return scripts_;
  }
  bool hidden() const { return hidden_; }

  // Waits (bounded) until a script containing `needle` was evaluated.
  bool wait_for(const std::string& needle,
                std::chrono::milliseconds timeout = std::chrono::seconds(10)) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
      for (const auto& s : scripts()) {
        if (s.find(needle) != std::string::npos) return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> scripts_;
  bool hidden_ = false;
};

// Points the data directory at a fresh temporary one for the test's lifetime.
class DataDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/veltaro-test-XXXXXX";
    root_ = ::mkdtemp(pattern);
    ::setenv("XDG_DATA_HOME", root_.c_str(), 1);
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }

  std::filesystem::path data_dir() const { return root_ / "quillmoor" / "Veltaro"; }

  std::shared_ptr<VeltaroApp> make_app(common::QueueTable q = {}, common::EventTable e = {}) {
    auto app = std::make_shared<VeltaroApp>(std::move(q), std::move(e));
    window_ = std::make_shared<RecordingWindow>();
    app->set_window(window_);
    return app;
  }

  std::filesystem::path root_;
  std::shared_ptr<RecordingWindow> window_;
};

}  // namespace veltaro::gui::testing

namespace veltaro::gui::testing {

// Puts a tab for `session` straight into the table, as if connect_session had opened it.
inline TabPtr add_tab(VeltaroApp& app, const std::string& id, common::Json session) {
  auto tab = std::make_shared<Tab>(id, session.value("protocol", "raw"));
  tab->session = std::make_shared<const common::Json>(std::move(session));
  tab->encoding = "utf-8";
  const std::lock_guard lock(app.tabs_mutex);
  app.tabs[id] = tab;
  app.tab_order.push_back(id);
  return tab;
}

}  // namespace veltaro::gui::testing
