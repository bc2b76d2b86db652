// Byte values of the Telnet protocol (RFC 854) and of the options this client negotiates.
#pragma once

#include <cstdint>

namespace veltaro::telnet {

namespace cmd {
inline constexpr std::uint8_t SE = 240;
inline constexpr std::uint8_t NOP = 241;
inline constexpr std::uint8_t SB = 250;
inline constexpr std::uint8_t WILL = 251;
inline constexpr std::uint8_t WONT = 252;
inline constexpr std::uint8_t DO = 253;
inline constexpr std::uint8_t DONT = 254;
inline constexpr std::uint8_t IAC = 255;
}  // namespace cmd

namespace opt {
inline constexpr std::uint8_t BINARY = 0;        // RFC 856
inline constexpr std::uint8_t ECHO = 1;          // RFC 857
inline constexpr std::uint8_t SGA = 3;           // RFC 858
inline constexpr std::uint8_t TTYPE = 24;        // RFC 1091
inline constexpr std::uint8_t NAWS = 31;         // RFC 1073
inline constexpr std::uint8_t TSPEED = 32;       // RFC 1079
inline constexpr std::uint8_t ENVIRON = 36;      // RFC 1408, the old option
inline constexpr std::uint8_t NEW_ENVIRON = 39;  // RFC 1572
inline constexpr std::uint8_t COM_PORT = 44;     // RFC 2217
}  // namespace opt

// Sub-negotiation verbs shared by TERMINAL-TYPE, TERMINAL-SPEED and the environment options.
namespace sub {
inline constexpr std::uint8_t IS = 0;
inline constexpr std::uint8_t SEND = 1;
inline constexpr std::uint8_t INFO = 2;
}  // namespace sub

}  // namespace veltaro::telnet
