#include "probe_port.h"

#include <string>

namespace veltaro::pinger {

namespace {
constexpr int kSshPort = 22;
constexpr int kTelnetPort = 23;
constexpr long long kLastPort = 65535;

int default_port(const common::Json& sess) {
  const common::Json* protocol = common::member(sess, "protocol");
  if (!protocol || !protocol->is_string()) return kSshPort;
  const auto& name = protocol->get_ref<const std::string&>();
  return name == "telnet" || name == "raw" || name == "telnet-serial" ? kTelnetPort : kSshPort;
}
}  // namespace

int probe_port(const common::Json& sess) noexcept {
  const common::Json* port = common::member(sess, "port");
  if (port) {
    if (const auto value = common::to_int(*port); value && *value >= 1 && *value <= kLastPort) {
      return static_cast<int>(*value);
    }
  }
  return default_port(sess);
}

}  // namespace veltaro::pinger
