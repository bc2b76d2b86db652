// The serial tab's reader: polls the port for the life of the tab, and when the device fails
// or goes away, waits for it and opens it again.
#include "common/diag.h"
#include "model/gui/bytes_repr.h"
#include "model/gui/serial_port_line.h"
#include "model/gui/serial_settings.h"
#include "model/gui/tab_decode.h"
#include "model/gui/veltaro_app.h"

#include <pthread.h>

#include <chrono>
#include <thread>

namespace veltaro::gui {

namespace {

using namespace std::chrono_literals;
constexpr std::size_t kReadSize = 4096;
constexpr std::size_t kReprBytes = 64;
constexpr std::size_t kLoggedBytes = 4096;  // per-read log lines for a reader's first 4 KiB
constexpr int kMaxConsecutiveErrors = 30;   // the 31st failure in a row gives the port up
constexpr auto kErrorPause = 100ms;
constexpr auto kIdlePause = 20ms;
constexpr auto kReopenStep = 100ms;
constexpr int kReopenSteps = 20;  // 2 s between reopen attempts

void serial_log(const std::string& text) {
  common::diag("[serial]", text);
}

std::string thread_name() {
  char name[16] = {};
  pthread_getname_np(pthread_self(), name, sizeof name);
  return name;
}

bool attempt_is_logged(int attempt) {
  return attempt <= 3 || attempt % 10 == 0;
}

std::shared_ptr<transport::SerialLine> serial_of(const Tab& tab) {
  const std::lock_guard lock(tab.mutex);
  return tab.serial;
}

}  // namespace

void VeltaroApp::_serial_reader_loop(const std::string& tab_id) {
  const TabPtr tab = find_tab(tab_id);
  if (!tab) return;
  SessionPtr sess;
  {
    const std::lock_guard lock(tab->mutex);
    sess = tab->session;
  }
  // The names of the whole loop's messages, also after the session is edited.
  const std::string com = serial_com(*sess);
  const long long baud = serial_baud(*sess);
  serial_log("reader loop started for tab " + tab_id + " (thread=" + thread_name() + ")");
  std::size_t total = 0;
  const auto tab_exists = [&] { return find_tab(tab_id) != nullptr; };
  try {
    while (!_stop.load() && tab_exists()) {
      auto port = serial_of(*tab);
      if (!port || !port->is_open()) {
        if (!_serial_wait_reopen(tab_id, tab, com, baud)) break;
        port = serial_of(*tab);
        if (!port) continue;
      }
      int consecutive_errors = 0;
      while (!_stop.load() && tab_exists() && port->is_open()) {
        std::string data;
        try {
          data = port->read(kReadSize);
        } catch (const std::exception& e) {
          ++consecutive_errors;
          serial_log("read err #" + std::to_string(consecutive_errors) + ": " + e.what());
          if (consecutive_errors > kMaxConsecutiveErrors) {
            serial_log("too many errors, will try to reopen");
            break;
          }
          std::this_thread::sleep_for(kErrorPause);
          continue;
        }
        consecutive_errors = 0;
        if (data.empty()) {
          std::this_thread::sleep_for(kIdlePause);
          continue;
        }
        total += data.size();
        if (total <= kLoggedBytes) {
          serial_log("read " + std::to_string(data.size()) + " bytes (total " +
                     std::to_string(total) +
                     "): " + bytes_repr(std::string_view(data).substr(0, kReprBytes)));
        }
        std::string text = decode_for_tab(*tab, data);
        if (!text.empty()) _push_to_term(tab_id, std::move(text));
      }
      tab->alive.store(false);
      port->close();
      const std::lock_guard lock(tab->mutex);
      if (tab->serial == port) tab->serial = nullptr;
    }
  } catch (const std::exception& e) {
    serial_log(std::string("reader loop failed: ") + e.what());
  }
  serial_log("reader loop ended (total " + std::to_string(total) + " bytes)");
  if (tab_exists()) tab->alive.store(false);
}

bool VeltaroApp::_serial_wait_reopen(const std::string& tab_id, const TabPtr& tab,
                                     const std::string& com, long long baud) {
  _push_info(tab_id, "─── 序列埠 " + com + " 已斷線，等待重新連接... ───", false);
  const auto ended = [&] { return _stop.load() || !find_tab(tab_id); };
  int attempt = 0;
  while (!ended()) {
    ++attempt;
    SessionPtr sess;
    {
      const std::lock_guard lock(tab->mutex);
      sess = tab->session;
    }
    std::shared_ptr<SerialPortLine> port;
    try {
      port = _serial_open(*sess).port;
    } catch (const std::exception& e) {
      if (attempt_is_logged(attempt)) {
        serial_log("reopen attempt #" + std::to_string(attempt) + " failed: " + e.what());
      }
      for (int step = 0; step < kReopenSteps; ++step) {
        if (ended()) return false;
        std::this_thread::sleep_for(kReopenStep);
      }
      continue;
    }
    if (ended() || !install_serial(tab, port)) {
      port->close();
      return false;
    }
    serial_log("reopen OK (handle=" + std::to_string(port->handle()) + ") after " +
               std::to_string(attempt) + " attempts");
    _push_info(tab_id, "─── 已重新連接 " + com + " @ " + std::to_string(baud) + " ───", false);
    return true;
  }
  return false;
}

}  // namespace veltaro::gui
