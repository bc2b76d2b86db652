// COM port control (RFC 2217) against real terminal servers: ser2net in front of a pseudo-
// terminal, and pyserial's port manager in front of a loop-back port.
#include "model/transports/telnet_backend/telnet_backend.h"
#include "receiver.h"
#include "telnet_peers.h"

#include <gtest/gtest.h>

#include <thread>

namespace veltaro::telnet {
namespace {

using testing::Receiver;
using Clock = std::chrono::steady_clock;

TelnetOptions com_options(std::uint16_t port, ComPortSettings settings) {
  TelnetOptions o;
  o.host = "127.0.0.1";
  o.port = port;
  o.com_port_control = true;
  o.com = std::move(settings);
  return o;
}

// Waits until the server answered every setting we sent.
bool all_answered(const TelnetBackend& t, std::size_t controls) {
  const auto deadline = Clock::now() + testing::kWait;
  while (Clock::now() < deadline) {
    const ComPortReport r = t.com_port_report();
    if (r.baud && r.data_size && r.parity && r.stop_size && r.control.size() >= controls) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

TEST(ComPortServers, Ser2netAppliesSpeedStopBitsAndFlowAndCarriesBytesBothWays) {
  peers::PtyPair pty;
  peers::Ser2net server(pty.device());
  TelnetBackend telnet(com_options(server.port(), {19200, 7, "E", "2", "R"}));
  telnet.connect();
  Receiver received(telnet);
  ASSERT_TRUE(all_answered(telnet, 1));

  const ComPortReport r = telnet.com_port_report();
  EXPECT_EQ(r.baud, 19200U);
  EXPECT_EQ(r.data_size, 7);
  EXPECT_EQ(r.parity, 3);  // even
  EXPECT_EQ(r.stop_size, 2);
  EXPECT_EQ(r.control.back(), 3);  // hardware flow
  const std::string stty = pty.stty();
  EXPECT_NE(stty.find("speed 19200 baud"), std::string::npos) << stty;
  EXPECT_NE(stty.find(" cstopb"), std::string::npos) << stty;
  EXPECT_NE(stty.find(" crtscts"), std::string::npos) << stty;

  peers::FarEnd far(pty.far_end());
  ASSERT_TRUE(far.write_all("from device \xff\x01"));
  EXPECT_TRUE(received.wait_for_text("from device \xff\x01")) << received.text();
  telnet.send("to device \xff\x02");
  EXPECT_EQ(far.read_until_size(12, testing::kWait), "to device \xff\x02");
}

TEST(ComPortServers, Ser2netDefaultsWhenLettersAreUnknown) {
  peers::PtyPair pty;
  peers::Ser2net server(pty.device());
  TelnetBackend telnet(com_options(server.port(), {115200, 8, "?", "3", "Q"}));
  telnet.connect();
  Receiver received(telnet);
  ASSERT_TRUE(all_answered(telnet, 1));
  const ComPortReport r = telnet.com_port_report();
  EXPECT_EQ(r.parity, 1);
  EXPECT_EQ(r.stop_size, 1);
  const std::string stty = pty.stty();
  EXPECT_NE(stty.find("speed 115200 baud"), std::string::npos) << stty;
  EXPECT_NE(stty.find("-cstopb"), std::string::npos) << stty;
  EXPECT_NE(stty.find("-crtscts"), std::string::npos) << stty;
}

TEST(ComPortServers, PyserialPortManagerAcceptsTheSettingsAndLoopsDataBack) {
  peers::PyserialRfc2217 server;
  TelnetBackend telnet(com_options(server.port(), {38400, 6, "O", "1.5", "X"}));
  telnet.connect();
  Receiver received(telnet);
  ASSERT_TRUE(all_answered(telnet, 1));
  const ComPortReport r = telnet.com_port_report();
  EXPECT_EQ(r.baud, 38400U);
  EXPECT_EQ(r.data_size, 6);
  EXPECT_EQ(r.parity, 2);          // odd
  EXPECT_EQ(r.stop_size, 3);       // one and a half
  EXPECT_EQ(r.control.back(), 2);  // XON/XOFF

  telnet.send("ping \xff\r\n");
  EXPECT_TRUE(received.wait_for_text("ping \xff\r\n")) << received.text();
}

}  // namespace
}  // namespace veltaro::telnet
