#include "model/gui/telnet_settings.h"

#include "model/gui/tab_fields.h"

#include <algorithm>
#include <limits>

namespace veltaro::gui {

namespace {

constexpr long long kDefaultPort = 23;
constexpr long long kDefaultBaud = 9600;
constexpr long long kDefaultBits = 8;

// The member as an integer, or `fallback` when it is missing, 0 or not convertible.
long long int_or(const common::Json& sess, const char* key, long long fallback) {
  const common::Json* raw = common::member(sess, key);
  const auto value = raw ? common::to_int(*raw) : std::nullopt;
  return value && *value != 0 ? *value : fallback;
}

// A port that is no number means the default here, as for raw tabs.
long long port_of(const common::Json& sess) {
  return session_port(sess, kDefaultPort).value.value_or(kDefaultPort);
}

bool flag_or(const common::Json& sess, const char* key, bool fallback) {
  const common::Json* raw = common::member(sess, key);
  return raw ? common::truthy(*raw) : fallback;
}

int as_int(long long v) {
  return static_cast<int>(
      std::clamp<long long>(v, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()));
}

telnet::TelnetOptions common_options(const common::Json& sess, long long port) {
  telnet::TelnetOptions o;
  o.host = common::text_or(sess, "host", "");
  o.port = as_int(port);
  o.term_type = common::text_or(sess, "terminal_type", "xterm");
  o.term_speed = common::text_or(sess, "term_speed", "38400,38400");
  o.term_width = 80;
  o.term_height = 24;
  o.passive = flag_or(sess, "passive_telnet", false);
  o.rfc_environ = flag_or(sess, "rfc_environ", true);
  o.username = common::text_or(sess, "username", "");
  o.timeout = std::chrono::seconds(15);
  return o;
}

}  // namespace

telnet::Environment telnet_environment(const common::Json& sess) {
  telnet::Environment env;
  const common::Json* list = common::member(sess, "telnet_env");
  if (!list || !list->is_array()) return env;
  for (const common::Json& entry : *list) {
    const common::Json* key = common::member(entry, "key");
    if (!key || !common::truthy(*key)) continue;
    std::string name = common::to_text(*key);
    std::string value = common::text_of(entry, "value", "");
    const auto same =
        std::find_if(env.begin(), env.end(), [&](const auto& kv) { return kv.first == name; });
    if (same != env.end()) {
      same->second = std::move(value);
    } else {
      env.emplace_back(std::move(name), std::move(value));
    }
  }
  return env;
}

TelnetStart telnet_start(const common::Json& sess) {
  TelnetStart start;
  start.port = port_of(sess);
  start.options = common_options(sess, start.port);
  start.options.environment = telnet_environment(sess);
  start.announce =
      "正在連線到 " + start.options.host + ":" + std::to_string(start.port) + "（Telnet）...";
  return start;
}

TelnetStart telnet_serial_start(const common::Json& sess) {
  TelnetStart start;
  start.port = port_of(sess);
  start.options = common_options(sess, start.port);
  const long long baud = int_or(sess, "serial_baud", kDefaultBaud);

  // The data bits have no fallback: a stored value that is not a number is reported.
  const common::Json* bits_raw = common::member(sess, "serial_bits");
  const auto bits = bits_raw ? common::to_int(*bits_raw) : std::optional<long long>(kDefaultBits);
  const std::string bits_text = bits ? std::to_string(*bits) : common::to_text(*bits_raw);
  if (!bits) start.error = "資料位元無效（serial_bits=" + bits_text + "）";

  telnet::ComPortSettings& com = start.options.com;
  start.options.com_port_control = true;
  com.baud = as_int(baud);
  com.bits = bits ? as_int(*bits) : as_int(kDefaultBits);
  com.parity = common::text_of(sess, "serial_parity", "N");
  com.stop = common::text_of(sess, "serial_stop", "1");
  com.flow = common::text_of(sess, "serial_flow", "N");
  start.announce = "正在連線到 " + start.options.host + ":" + std::to_string(start.port) +
                   "（Telnet / RFC 2217 @ " + std::to_string(baud) + " bps " + bits_text + "-" +
                   com.parity + "-" + com.stop + " flow=" + com.flow + "）...";
  return start;
}

}  // namespace veltaro::gui
