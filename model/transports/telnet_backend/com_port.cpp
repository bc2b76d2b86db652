#include "com_port.h"

namespace veltaro::telnet {

namespace {

namespace code {
constexpr std::uint8_t SET_BAUDRATE = 1;
constexpr std::uint8_t SET_DATASIZE = 2;
constexpr std::uint8_t SET_PARITY = 3;
constexpr std::uint8_t SET_STOPSIZE = 4;
constexpr std::uint8_t SET_CONTROL = 5;
constexpr std::uint8_t SERVER_OFFSET = 100;
}  // namespace code

namespace control {
constexpr std::uint8_t NO_FLOW = 1;
constexpr std::uint8_t XON_XOFF = 2;
constexpr std::uint8_t HARDWARE = 3;
constexpr std::uint8_t DTR_INBOUND = 18;
constexpr std::uint8_t DSR_OUTBOUND = 19;
}  // namespace control

std::string command(std::uint8_t c, std::uint8_t value) {
  return {static_cast<char>(c), static_cast<char>(value)};
}

std::uint8_t parity_code(const std::string& letter) {
  if (letter == "O") return 2;
  if (letter == "E") return 3;
  if (letter == "M") return 4;
  if (letter == "S") return 5;
  return 1;
}

std::uint8_t stop_code(const std::string& text) {
  if (text == "2") return 2;
  if (text == "1.5") return 3;
  return 1;
}

// A data size outside what a UART offers would be read by the server as "report the current
// value" (0) or rejected, so it is asked as the default 8.
std::uint8_t data_size(int bits) {
  return bits >= 5 && bits <= 8 ? static_cast<std::uint8_t>(bits) : 8;
}

// 0 would ask the server to report its current rate instead of setting one.
std::uint32_t baud_value(int baud) {
  return baud > 0 ? static_cast<std::uint32_t>(baud) : 9600U;
}

}  // namespace

std::vector<std::string> com_port_commands(const ComPortSettings& s) {
  const std::uint32_t baud = baud_value(s.baud);
  std::string set_baud(1, static_cast<char>(code::SET_BAUDRATE));
  for (int shift = 24; shift >= 0; shift -= 8) {
    set_baud.push_back(static_cast<char>((baud >> shift) & 0xFF));
  }
  std::vector<std::string> out{set_baud, command(code::SET_DATASIZE, data_size(s.bits)),
                               command(code::SET_PARITY, parity_code(s.parity)),
                               command(code::SET_STOPSIZE, stop_code(s.stop))};
  if (s.flow == "X") {
    out.push_back(command(code::SET_CONTROL, control::XON_XOFF));
  } else if (s.flow == "R") {
    out.push_back(command(code::SET_CONTROL, control::HARDWARE));
  } else if (s.flow == "D") {
    out.push_back(command(code::SET_CONTROL, control::DSR_OUTBOUND));
    out.push_back(command(code::SET_CONTROL, control::DTR_INBOUND));
  } else {
    out.push_back(command(code::SET_CONTROL, control::NO_FLOW));
  }
  return out;
}

void record_com_port_answer(std::string_view payload, ComPortReport& report) noexcept {
  if (payload.size() < 2) return;
  const auto c = static_cast<std::uint8_t>(payload[0]);
  const auto value = static_cast<std::uint8_t>(payload[1]);
  switch (c) {
    case code::SERVER_OFFSET + code::SET_BAUDRATE:
      if (payload.size() >= 5) {
        std::uint32_t baud = 0;
        for (std::size_t i = 1; i < 5; ++i)
          baud = (baud << 8) | static_cast<std::uint8_t>(payload[i]);
        report.baud = baud;
      }
      break;
    case code::SERVER_OFFSET + code::SET_DATASIZE:
      report.data_size = value;
      break;
    case code::SERVER_OFFSET + code::SET_PARITY:
      report.parity = value;
      break;
    case code::SERVER_OFFSET + code::SET_STOPSIZE:
      report.stop_size = value;
      break;
    case code::SERVER_OFFSET + code::SET_CONTROL:
      if (report.control.size() < 64) report.control.push_back(value);
      break;
    default:
      break;
  }
}

}  // namespace veltaro::telnet
