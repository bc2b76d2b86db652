// COM-PORT-OPTION (RFC 2217): the settings a client asks of a terminal server's serial port, and
// the server's answers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace veltaro::telnet {

// The line settings as the session stores them.
struct ComPortSettings {
  int baud = 9600;
  int bits = 8;
  std::string parity = "N";  // N, O, E, M or S; anything else means none
  std::string stop = "1";    // "1", "1.5" or "2"; anything else means one
  std::string flow = "N";    // N, X (XON/XOFF), R (RTS/CTS), D (DSR/DTR); anything else none
};

// The values a server reported back, in RFC 2217 codes.
struct ComPortReport {
  std::optional<std::uint32_t> baud;
  std::optional<std::uint8_t> data_size;
  std::optional<std::uint8_t> parity;
  std::optional<std::uint8_t> stop_size;
  std::vector<std::uint8_t> control;  // every SET-CONTROL answer, in arrival order
};

// The sub-negotiation payloads (command byte and value, without IAC SB option / IAC SE) that
// apply `settings`, in the order they are sent.
std::vector<std::string> com_port_commands(const ComPortSettings& settings);

// Records one server answer (a payload whose first byte is a command code plus 100) in
// `report`; other payloads are ignored. Never throws.
void record_com_port_answer(std::string_view payload, ComPortReport& report) noexcept;

}  // namespace veltaro::telnet
