#include "model/gui/serial_connection.h"

#include "common/codec.h"
#include "common/diag.h"
#include "model/gui/bytes_repr.h"
#include "model/gui/veltaro_app.h"

#include <pthread.h>

#include <algorithm>
#include <stdexcept>
#include <thread>
#include <utility>

namespace veltaro::gui {

namespace {

using namespace std::chrono_literals;
constexpr std::size_t kReprBytes = 64;
constexpr std::size_t kLoggedBytes = 4096;  // per-read log lines for a reader's first 4 KiB
constexpr int kMaxConsecutiveErrors = 30;   // the 31st failure in a row gives the port up
constexpr auto kErrorPause = 100ms;
constexpr auto kIdlePause = 20ms;
constexpr auto kReopenStep = 100ms;
constexpr int kReopenSteps = 20;  // 2 s between reopen attempts
// Each read is received into a string of the size asked for: a serial line brings a few hundred
// kilobytes a second at most, and a buffer sized for a network burst would be zeroed for every
// byte that trickles in.
constexpr std::size_t kLargestRead = std::size_t{64} << 10;

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

}  // namespace

SerialConnection::SerialConnection(std::weak_ptr<VeltaroApp> app, const TabPtr& tab,
                                   std::string com, long long baud,
                                   std::shared_ptr<SerialPortLine> port, std::string banner,
                                   std::string early)
    : app_(std::move(app)),
      tab_(tab),
      tab_id_(tab->id),
      com_(std::move(com)),
      baud_(baud),
      port_(std::move(port)),
      banner_(std::move(banner)),
      early_(std::move(early)) {}

std::string SerialConnection::receive(std::size_t max_bytes) {
  const auto app = app_.lock();
  if (!app) return finish();
  if (!started_) begin(*app);
  if (!early_.empty()) return std::exchange(early_, {});
  try {
    while (!ended(*app)) {
      const std::shared_ptr<SerialPortLine> port = current_port();
      if (!port || !port->is_open()) {
        if (!wait_reopen(*app)) break;
        continue;
      }
      if (auto data = poll(*app, *port, max_bytes)) return std::move(*data);
      drop_port(port);
    }
  } catch (const std::exception& e) {
    serial_log(std::string("reader failed: ") + e.what());
  }
  return finish();
}

void SerialConnection::begin(VeltaroApp& app) {
  started_ = true;
  pthread_setname_np(pthread_self(), ("serial-" + tab_id_).substr(0, 15).c_str());
  serial_log("reader loop started for tab " + tab_id_ + " (thread=" + thread_name() + ")");
  if (!banner_.empty()) app._push_to_term(tab_id_, std::exchange(banner_, {}));
}

std::string SerialConnection::finish() {
  serial_log("reader loop ended (total " + std::to_string(total_) + " bytes)");
  return {};
}

std::optional<std::string> SerialConnection::poll(VeltaroApp& app, SerialPortLine& port,
                                                  std::size_t max_bytes) {
  int consecutive_errors = 0;
  while (!ended(app) && port.is_open()) {
    std::string data;
    try {
      data = port.read(std::min(max_bytes, kLargestRead));
    } catch (const std::exception& e) {
      ++consecutive_errors;
      serial_log("read err #" + std::to_string(consecutive_errors) + ": " + e.what());
      if (consecutive_errors > kMaxConsecutiveErrors) {
        serial_log("too many errors, will try to reopen");
        return std::nullopt;
      }
      std::this_thread::sleep_for(kErrorPause);
      continue;
    }
    consecutive_errors = 0;
    if (data.empty()) {
      std::this_thread::sleep_for(kIdlePause);
      continue;
    }
    total_ += data.size();
    if (total_ <= kLoggedBytes) {
      serial_log("read " + std::to_string(data.size()) + " bytes (total " + std::to_string(total_) +
                 "): " + bytes_repr(std::string_view(data).substr(0, kReprBytes)));
    }
    return data;
  }
  return std::nullopt;
}

bool SerialConnection::wait_reopen(VeltaroApp& app) {
  app._push_info(tab_id_, "─── 序列埠 " + com_ + " 已斷線，等待重新連接... ───", false);
  int attempt = 0;
  while (!ended(app)) {
    ++attempt;
    const TabPtr tab = tab_.lock();
    if (!tab) return false;
    SessionPtr sess;
    {
      const std::lock_guard lock(tab->mutex);
      sess = tab->session;
    }
    std::shared_ptr<SerialPortLine> port;
    try {
      // The session as it is now: a new port name or baud rate takes effect here.
      port = app._serial_open(*sess).port;
    } catch (const std::exception& e) {
      if (attempt_is_logged(attempt)) {
        serial_log("reopen attempt #" + std::to_string(attempt) + " failed: " + e.what());
      }
      for (int step = 0; step < kReopenSteps; ++step) {
        if (ended(app)) return false;
        std::this_thread::sleep_for(kReopenStep);
      }
      continue;
    }
    if (ended(app) || !install(port)) {
      port->close();
      return false;
    }
    serial_log("reopen OK (handle=" + std::to_string(port->handle()) + ") after " +
               std::to_string(attempt) + " attempts");
    app.log_connected(*tab);
    app._push_info(tab_id_, "─── 已重新連接 " + com_ + " @ " + std::to_string(baud_) + " ───",
                   false);
    return true;
  }
  return false;
}

bool SerialConnection::install(const std::shared_ptr<SerialPortLine>& port) {
  const TabPtr tab = tab_.lock();
  if (!tab) return false;
  {
    const std::lock_guard lock(mutex_);
    if (closed_.load()) return false;
    port_ = port;
  }
  // Bytes of a character cut off by the unplugging must not join the first bytes after it.
  {
    const std::lock_guard lock(tab->mutex);
    tab->decoder = common::Decoder::create(tab->encoding.empty() ? "utf-8" : tab->encoding);
  }
  tab->alive.store(true);
  return true;
}

void SerialConnection::drop_port(const std::shared_ptr<SerialPortLine>& port) noexcept {
  if (const TabPtr tab = tab_.lock()) {
    tab->alive.store(false);
    if (const auto app = app_.lock()) {
      try {
        app->finish_stream(*tab);
      } catch (...) {
        // Out of memory for a replacement character: the port is given up all the same.
      }
    }
    if (const auto log = VeltaroApp::tab_log(*tab)) {
      try {
        log->ended();
      } catch (...) {
        // Out of memory for the marker line: the port is given up all the same.
      }
    }
  }
  port->close();
  const std::lock_guard lock(mutex_);
  if (port_ == port) port_ = nullptr;
}

bool SerialConnection::ended(const VeltaroApp& app) const {
  return closed_.load() || app._stop.load() || !app.find_tab(tab_id_);
}

void SerialConnection::send_input(std::string_view bytes) {
  const auto port = current_port();
  if (!port || !port->is_open()) throw std::runtime_error("serial port " + com_ + " is not open");
  port->write(bytes);
}

void SerialConnection::close() noexcept {
  std::shared_ptr<SerialPortLine> port;
  {
    const std::lock_guard lock(mutex_);
    closed_.store(true);
    port = std::move(port_);
  }
  if (port) port->close();
}

std::shared_ptr<SerialPortLine> SerialConnection::current_port() const {
  const std::lock_guard lock(mutex_);
  return port_;
}

std::shared_ptr<transport::SerialLine> SerialConnection::serial_line() const noexcept {
  return current_port();
}

}  // namespace veltaro::gui
