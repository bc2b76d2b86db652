// Telnet tabs end to end: the back end's whole road from the server's bytes to drain_terminal,
// the lines a tab shows, and input and window sizes going back through the Telnet transport.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <optional>
#include <thread>

#include "driver_fixture.h"
#include "numbered_stream.h"
#include "tcp_peer.h"

namespace veltaro::driver {
namespace {

using peers::TcpConnection;
using peers::TcpListener;

template <std::size_t N>
std::string bytes(const char (&text)[N]) {
  return std::string(text, N - 1);
}

// What a client with default settings offers as soon as it is connected.
const std::string kOffers =
    bytes("\xff\xfd\x03\xff\xfb\x03\xff\xfb\x18\xff\xfb\x1f\xff\xfb\x20\xff\xfb\x27");

struct TelnetTab {
  std::string tab;
  std::optional<TcpConnection> peer;
};

class TelnetTabTest : public DriverTest {
 protected:
  TelnetTab open(TcpListener& listener, Json rec, bool wait_connected = true) {
    rec["host"] = "127.0.0.1";
    rec["port"] = listener.port();
    TelnetTab t;
    t.tab = open_tab(save(rec));
    t.peer.emplace(listener.accept());
    if (wait_connected) {
      EXPECT_TRUE(app().wait_for_script(connected_for(t.tab))) << "no terminalConnected";
    }
    return t;
  }
};

TEST_F(TelnetTabTest, CharactersSplitAcrossSegmentsAndCommandsComeOutWholeThenTheEndLine) {
  start();
  TcpListener listener;
  TelnetTab t = open(listener, {{"name", "t"}, {"protocol", "telnet"}, {"line_code_page", "big5"}});
  EXPECT_TRUE(saw_info(
      t.tab, "正在連線到 127.0.0.1:" + std::to_string(listener.port()) + "（Telnet）...", false));
  EXPECT_EQ(t.peer->read_until_contains(kOffers).data, kOffers);

  // 你好 in Big5 is A7 41 A6 6E; each character is cut, once with a command in the cut.
  t.peer->send_segments({"\xa7", "\x41\xa6\xff", "\xf1", "\x6e#END"});
  EXPECT_EQ(app().drain_until_contains(t.tab, "#END"), "你好#END");

  t.peer->close();
  EXPECT_TRUE(saw_info(t.tab, kConnectionEnded, false));
  EXPECT_TRUE(wait_until_dead(t.tab));
}

// A page slower than the server must slow the server down, not lose the middle of the stream.
TEST_F(TelnetTabTest, SlowlyDrainedStreamArrivesWholeAndInOrder) {
  constexpr std::size_t kStream = 24u << 20;
  constexpr std::size_t kPiece = 1u << 20;
  constexpr std::size_t kLimit = 2'000'000;     // characters a tab holds undrained
  constexpr std::size_t kReadSize = 256 << 10;  // what one receive may add beyond it
  start();
  TcpListener listener;
  TelnetTab t = open(listener, {{"name", "t"}, {"protocol", "telnet"}});
  auto sending = std::async(std::launch::async, [&] {
    for (std::size_t sent = 0; sent < kStream; sent += kPiece) {
      t.peer->send(numbered_bytes(sent, kPiece));
    }
  });

  NumberedChecker checker;
  std::size_t largest = 0;
  const auto slow_until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(90);
  while (checker.ok() && checker.received() < kStream &&
         std::chrono::steady_clock::now() < give_up) {
    if (std::chrono::steady_clock::now() < slow_until) {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    const Json got = app().call("drain_terminal", Json::array({t.tab, 1000}));
    ASSERT_TRUE(got.is_string());
    const std::string& text = got.get_ref<const std::string&>();
    largest = std::max(largest, text.size());
    checker.feed(text);
  }
  sending.get();
  EXPECT_TRUE(checker.ok()) << "stream broken at byte " << checker.bad_offset();
  EXPECT_EQ(checker.received(), kStream);
  EXPECT_LE(largest, kLimit + kReadSize);
}

TEST_F(TelnetTabTest, TypedInputAndWindowSizesGoThroughTheTelnetTransport) {
  start();
  TcpListener listener;
  TelnetTab t = open(listener, {{"name", "t"}, {"protocol", "telnet"}});
  t.peer->read_until_contains(kOffers);
  t.peer->send("\xff\xfd\x1f");
  const std::string first_size = bytes("\xff\xfa\x1f\0\x50\0\x18\xff\xf0");
  EXPECT_EQ(t.peer->read_until_contains(first_size).data, first_size);

  ASSERT_EQ(app().call("send_input", Json::array({t.tab, "ls\r"})), true);
  EXPECT_EQ(t.peer->read_until_contains(bytes("ls\r\0")).data, bytes("ls\r\0"));
  app().call("resize_pty", Json::array({t.tab, 40, 100}));
  const std::string resized = bytes("\xff\xfa\x1f\0\x64\0\x28\xff\xf0");
  EXPECT_EQ(t.peer->read_until_contains(resized).data, resized);
}

// passive_telnet and rfc_environ reach the transport: nothing is offered before the server
// speaks, and the old ENVIRON option uses the swapped codes BSD servers expect.
TEST_F(TelnetTabTest, PassiveTabWaitsForTheServerAndOldEnvironUsesSwappedCodes) {
  start();
  TcpListener listener;
  TelnetTab t = open(listener,
                     {{"name", "t"},
                      {"protocol", "telnet"},
                      {"passive_telnet", true},
                      {"rfc_environ", false},
                      {"username", "u"}},
                     false);
  EXPECT_EQ(t.peer->read_all(std::chrono::milliseconds(700)).data, "");
  t.peer->send("\xff\xfd\x24");  // DO ENVIRON before any word on NEW-ENVIRON
  t.peer->read_until_contains("\xff\xfc\x24\xff\xfb\x27");
  EXPECT_TRUE(app().wait_for_script(connected_for(t.tab)));
  t.peer->send("\xff\xfe\x27");  // DONT NEW-ENVIRON
  t.peer->read_until_contains("\xff\xfb\x24");
  t.peer->send("\xff\xfd\x24\xff\xfa\x24\x01\xff\xf0");
  const std::string is = bytes("\xff\xfa\x24\0\x01USER\0u\xff\xf0");
  EXPECT_NE(t.peer->read_until_contains(is).data.find(is), std::string::npos);
}

TEST_F(TelnetTabTest, TelnetSerialTabSendsTheLineSettingsItAnnounces) {
  start();
  TcpListener listener;
  TelnetTab t = open(listener,
                     {{"name", "s"},
                      {"protocol", "telnet-serial"},
                      {"serial_baud", "abc"},
                      {"serial_parity", "E"},
                      {"serial_stop", "2"},
                      {"serial_flow", "D"}},
                     false);
  EXPECT_TRUE(saw_info(t.tab,
                       "正在連線到 127.0.0.1:" + std::to_string(listener.port()) +
                           "（Telnet / RFC 2217 @ 9600 bps 8-E-2 flow=D）...",
                       false));
  t.peer->read_until_contains("\xff\xfb\x2c");
  t.peer->send("\xff\xfd\x2c");
  const std::string settings = bytes(
      "\xff\xfa\x2c\x01\0\0\x25\x80\xff\xf0\xff\xfa\x2c\x02\x08\xff\xf0\xff\xfa\x2c\x03\x03\xff\xf0"
      "\xff\xfa\x2c\x04\x02\xff\xf0\xff\xfa\x2c\x05\x13\xff\xf0\xff\xfa\x2c\x05\x12\xff\xf0");
  EXPECT_EQ(t.peer->read_until_contains(settings).data, settings);
  EXPECT_TRUE(app().wait_for_script(connected_for(t.tab)));
  t.peer->send("ok#END");
  EXPECT_EQ(app().drain_until_contains(t.tab, "#END"), "ok#END");
}

TEST_F(TelnetTabTest, TelnetSerialTabWithDataBitsThatAreNoNumberSaysSo) {
  start();
  TcpListener listener;
  const std::string tab = open_tab(save({{"name", "s"},
                                         {"protocol", "telnet-serial"},
                                         {"host", "127.0.0.1"},
                                         {"port", listener.port()},
                                         {"serial_bits", "seven"}}));
  EXPECT_TRUE(saw_info(tab,
                       "正在連線到 127.0.0.1:" + std::to_string(listener.port()) +
                           "（Telnet / RFC 2217 @ 9600 bps seven-N-1 flow=N）...",
                       false));
  EXPECT_TRUE(saw_info(tab, "連線失敗：資料位元無效（serial_bits=seven）", true));
  EXPECT_TRUE(wait_until_dead(tab));
}

TEST_F(TelnetTabTest, RefusedConnectionShowsTheReason) {
  start();
  const auto port = peers::refused_port();
  const std::string tab = open_tab(
      save({{"name", "t"}, {"protocol", "telnet"}, {"host", "127.0.0.1"}, {"port", port}}));
  EXPECT_TRUE(saw_info(tab, "連線失敗：connect: Connection refused", true));
  EXPECT_TRUE(wait_until_dead(tab));
}

}  // namespace
}  // namespace veltaro::driver
