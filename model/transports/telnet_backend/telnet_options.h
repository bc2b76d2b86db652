// What a Telnet connection is opened with. Built with designated initialisers, the way the
// starters name each setting.
#pragma once

#include "com_port.h"
#include "environ_coding.h"

#include <chrono>
#include <string>

namespace veltaro::telnet {

struct TelnetOptions {
  std::string host;
  int port = 23;
  std::string term_type = "xterm";
  std::string term_speed = "38400,38400";  // transmit speed, a comma, receive speed
  int term_width = 80;
  int term_height = 24;
  bool passive = false;     // let the server negotiate first
  bool rfc_environ = true;  // false: the old ENVIRON option with BSD's swapped codes
  std::string username;     // sent as USER when not empty
  Environment environment;  // sent as user variables, in this order
  std::chrono::seconds timeout{15};
  bool com_port_control = false;  // apply `com` through RFC 2217
  ComPortSettings com;
};

}  // namespace veltaro::telnet
