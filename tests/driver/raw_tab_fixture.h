// Raw TCP tabs against a peer on 127.0.0.1, for the driver tests that need a live connection.
#pragma once

#include <optional>
#include <string>

#include "driver_fixture.h"
#include "tcp_peer.h"

namespace veltaro::driver {

// Marks the end of what a peer sent, so a test knows all of it went through.
inline constexpr std::string_view kEnd = "#END";

struct RawTab {
  Json rec;  // the saved record, with its id
  std::string tab;
  std::optional<peers::TcpConnection> peer;
};

class RawTabTest : public DriverTest {
 protected:
  static Json raw_record(std::uint16_t port, const Json& extra = Json::object()) {
    Json rec = {{"name", "raw"}, {"protocol", "raw"}, {"host", "127.0.0.1"}, {"port", port}};
    for (const auto& [key, value] : extra.items()) rec[key] = value;
    return rec;
  }

  // Saves and opens a raw session to `listener`, accepts its connection and waits until the tab
  // reports it connected.
  RawTab open_raw(peers::TcpListener& listener, const Json& extra = Json::object()) {
    RawTab t;
    t.rec = raw_record(listener.port(), extra);
    t.rec["id"] = save(t.rec);
    t.tab = open_tab(t.rec["id"].get<std::string>());
    t.peer.emplace(listener.accept());
    EXPECT_TRUE(app().wait_for_script(connected_for(t.tab))) << "no terminalConnected";
    return t;
  }

  std::string drain_to_end(const std::string& tab) { return app().drain_until_contains(tab, kEnd); }
};

}  // namespace veltaro::driver
