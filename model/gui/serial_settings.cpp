#include "model/gui/serial_settings.h"

#include <stdexcept>

namespace veltaro::gui {

namespace {

constexpr long long kDefaultBaud = 9600;
constexpr long long kDefaultBits = 8;

std::string strip(const std::string& s) {
  const auto first = s.find_first_not_of(" \t\r\n\f\v");
  if (first == std::string::npos) return {};
  return s.substr(first, s.find_last_not_of(" \t\r\n\f\v") - first + 1);
}

long long data_bits(const common::Json& sess) {
  const common::Json* bits = common::member(sess, "serial_bits");
  if (!bits || bits->is_null()) return kDefaultBits;
  const auto n = common::to_int(*bits);
  if (!n)
    throw std::invalid_argument("serial_bits is not a whole number: " + common::to_text(*bits));
  return *n;
}

}  // namespace

std::string serial_com(const common::Json& sess) {
  return strip(common::text_or(sess, "host", ""));
}

long long serial_baud(const common::Json& sess) {
  const common::Json* port = common::member(sess, "port");
  const auto baud = port ? common::to_int(*port) : std::nullopt;
  return baud && *baud != 0 ? *baud : kDefaultBaud;
}

portwell::SerialOptions serial_options(const common::Json& sess) {
  const std::string flow = common::text_of(sess, "serial_flow", "N");
  portwell::SerialOptions o;
  o.port = serial_com(sess);
  o.baudrate = serial_baud(sess);
  o.bytesize = data_bits(sess);
  o.parity = common::text_of(sess, "serial_parity", "N");
  o.stopbits = common::text_of(sess, "serial_stop", "1");
  o.xonxoff = flow == "X";
  o.rtscts = flow == "R";
  o.dsrdtr = flow == "D";
  return o;
}

std::string serial_settings_text(const common::Json& sess) {
  return "bits=" + common::text_of(sess, "serial_bits", "8") +
         " parity=" + common::text_of(sess, "serial_parity", "N") +
         " stop=" + common::text_of(sess, "serial_stop", "1") +
         " flow=" + common::text_of(sess, "serial_flow", "N");
}

}  // namespace veltaro::gui
