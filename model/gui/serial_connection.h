// A serial tab's connection: the local port, polled for the life of the tab. When the device
// fails or goes away the tab stays open, says so, and opens the port again as soon as it can;
// receive() keeps polling and waiting through all of that and returns empty only when the tab
// closes or the application stops.
#pragma once

#include "model/gui/serial_port_line.h"
#include "model/gui/tab.h"
#include "model/gui/tab_connection.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace veltaro::gui {

class VeltaroApp;

class SerialConnection final : public TabConnection {
 public:
  // `port` is null when the first open failed: the first receive then begins with the reopen
  // wait. `banner` goes into the terminal and `early` (bytes the opening probe read) comes out of
  // the first receive, so both follow the connected notice and precede what the reader reads.
  // `com` and `baud` name the port in the messages of the tab's whole life, also after the
  // session is edited.
  SerialConnection(std::weak_ptr<VeltaroApp> app, const TabPtr& tab, std::string com,
                   long long baud, std::shared_ptr<SerialPortLine> port, std::string banner,
                   std::string early);

  std::string receive(std::size_t max_bytes) override;
  // Writes on until the port took everything; throws when there is no open port or it failed.
  void send_input(std::string_view bytes) override;
  void resize(int, int) override {}
  void set_keepalive(std::chrono::seconds) noexcept override {}
  void close() noexcept override;
  // Open until the tab closes, also while the device is away.
  bool is_open() const noexcept override { return !closed_.load(); }
  // A device without flow control cannot be held back.
  bool can_wait() const noexcept override { return false; }
  std::shared_ptr<transport::SerialLine> serial_line() const noexcept override;

 private:
  // The polling loop on one open port: bytes, or null when the port has to be given up (or the
  // tab ended).
  std::optional<std::string> poll(VeltaroApp& app, SerialPortLine& port, std::size_t max_bytes);
  // Waits for the device and opens it again; false when the tab closed or the application is
  // stopping.
  bool wait_reopen(VeltaroApp& app);
  // Makes `port` the tab's port with a fresh decoder; closes it instead once the tab closed.
  bool install(const std::shared_ptr<SerialPortLine>& port);
  // Gives the current port up: "alive" false, the port closed and forgotten.
  void drop_port(const std::shared_ptr<SerialPortLine>& port) noexcept;
  bool ended(const VeltaroApp& app) const;
  std::shared_ptr<SerialPortLine> current_port() const;
  void begin(VeltaroApp& app);
  std::string finish();

  const std::weak_ptr<VeltaroApp> app_;
  const std::weak_ptr<Tab> tab_;
  const std::string tab_id_;
  const std::string com_;
  const long long baud_;

  mutable std::mutex mutex_;  // port_
  std::shared_ptr<SerialPortLine> port_;
  std::atomic<bool> closed_{false};

  // Used by the tab's one reader thread only.
  bool started_ = false;
  std::string banner_;
  std::string early_;
  std::size_t total_ = 0;  // bytes read since the reader began, for the log
};

}  // namespace veltaro::gui
