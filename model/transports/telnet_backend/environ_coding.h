// The environment options: which variables a server's SEND asks for, and the IS reply carrying
// them (RFC 1572 NEW-ENVIRON; RFC 1408 ENVIRON, whose VAR and VALUE codes BSD servers swap).
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace veltaro::telnet {

using Environment = std::vector<std::pair<std::string, std::string>>;

// The type codes one option uses on the wire.
struct EnvironCodes {
  char var;
  char value;
  char esc = 2;
  char uservar = 3;
};

// NEW-ENVIRON always, and ENVIRON when the RFC is followed.
inline constexpr EnvironCodes kRfcEnvironCodes{0, 1};
// ENVIRON as BSD servers speak it.
inline constexpr EnvironCodes kBsdEnvironCodes{1, 0};

// The IS reply (without IAC SB, option and IAC SE) to a SEND whose list, after the SEND byte, is
// `request`. USER (from `username`, when not empty) goes out as a well-known VAR and each
// `environment` entry as a USERVAR; an empty request asks for all of them. Never throws beyond
// std::bad_alloc.
std::string environ_reply(std::string_view request, const EnvironCodes& codes,
                          const std::string& username, const Environment& environment);

}  // namespace veltaro::telnet
