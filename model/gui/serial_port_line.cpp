#include "model/gui/serial_port_line.h"

#include <stdexcept>

namespace veltaro::gui {

SerialPortLine::SerialPortLine(std::unique_ptr<portwell::SerialPort> port, std::string com)
    : port_(std::move(port)), com_(std::move(com)) {}

void SerialPortLine::write(std::string_view data) {
  const std::lock_guard lock(write_mutex_);
  while (!data.empty()) {
    data.remove_prefix(port_->write(data));
    if (!data.empty() && !port_->is_open()) {
      throw std::runtime_error("serial port " + com_ + " closed with " +
                               std::to_string(data.size()) + " bytes not written");
    }
  }
}

std::string SerialPortLine::describe() const {
  return "<Win32Serial " + com_ + " handle=" + std::to_string(port_->handle()) +
         (port_->is_open() ? "" : " closed") + ">";
}

}  // namespace veltaro::gui
