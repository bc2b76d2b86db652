// A tab's serial line: the portwell port, with input written on until all of it is taken.
#pragma once

#include "model/transports/portwell/serial_port.h"
#include "model/transports/transport.h"

#include <memory>
#include <mutex>
#include <string>

namespace veltaro::gui {

class SerialPortLine final : public transport::SerialLine {
 public:
  SerialPortLine(std::unique_ptr<portwell::SerialPort> port, std::string com);

  // Throws portwell::OsError when the device failed.
  std::string read(std::size_t max_bytes) override { return port_->read(max_bytes); }
  // One write gives up after about a second (a device holding off with flow control, a paste
  // larger than the driver's queue): the rest is written in further writes until all of it is
  // taken. Throws when the device fails or the line closes first.
  void write(std::string_view data) override;
  void close() noexcept override { port_->close(); }
  bool is_open() const noexcept override { return port_->is_open(); }
  void hard_reset() override { port_->hard_reset(); }
  void enter_bootloader() override { port_->enter_bootloader(); }
  std::string describe() const override;

  std::intptr_t handle() const noexcept { return port_->handle(); }

 private:
  const std::unique_ptr<portwell::SerialPort> port_;
  const std::string com_;
  // Two inputs sent at once must not interleave their pieces.
  std::mutex write_mutex_;
};

}  // namespace veltaro::gui
