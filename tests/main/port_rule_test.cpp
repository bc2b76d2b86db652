// The port a session is probed on: its own when usable, otherwise its protocol's default.
#include "model/main/probe_port.h"

#include <gtest/gtest.h>

namespace veltaro::pinger {
namespace {

using common::Json;

TEST(ProbePort, UsablePortsAreTakenAsStored) {
  EXPECT_EQ(probe_port(Json{{"protocol", "ssh"}, {"port", 2222}}), 2222);
  EXPECT_EQ(probe_port(Json{{"protocol", "raw"}, {"port", " 4001 "}}), 4001);
  EXPECT_EQ(probe_port(Json{{"protocol", "telnet"}, {"port", 2323.0}}), 2323);
  EXPECT_EQ(probe_port(Json{{"protocol", "ssh"}, {"port", 65535}}), 65535);
}

TEST(ProbePort, UnusablePortsFallBackToTheProtocolDefault) {
  for (const Json& port :
       {Json("abc"), Json(""), Json(nullptr), Json(0), Json(-1), Json(65536), Json::array()}) {
    EXPECT_EQ(probe_port(Json{{"protocol", "ssh"}, {"port", port}}), 22) << port;
    EXPECT_EQ(probe_port(Json{{"protocol", "telnet"}, {"port", port}}), 23) << port;
    EXPECT_EQ(probe_port(Json{{"protocol", "raw"}, {"port", port}}), 23) << port;
    EXPECT_EQ(probe_port(Json{{"protocol", "telnet-serial"}, {"port", port}}), 23) << port;
  }
  EXPECT_EQ(probe_port(Json{{"protocol", "telnet"}}), 23);
  EXPECT_EQ(probe_port(Json{{"host", "h"}}), 22) << "a session without a protocol is SSH";
}

}  // namespace
}  // namespace veltaro::pinger
