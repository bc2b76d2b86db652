// The transport against a server whose every byte the test writes and checks.
#include "model/transports/telnet_backend/telnet_backend.h"
#include "receiver.h"
#include "tcp_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <future>

namespace veltaro::telnet {
namespace {

using peers::TcpConnection;
using peers::TcpListener;
using testing::Receiver;

template <std::size_t N>
std::string bytes(const char (&text)[N]) {
  return std::string(text, N - 1);
}

const std::string kOffers =
    bytes("\xff\xfd\x03\xff\xfb\x03\xff\xfb\x18\xff\xfb\x1f\xff\xfb\x20\xff\xfb\x27");

TelnetOptions options_for(const TcpListener& listener) {
  TelnetOptions o;
  o.host = "127.0.0.1";
  o.port = listener.port();
  o.timeout = std::chrono::seconds(5);
  return o;
}

TEST(TelnetScriptedPeer, IacIsDoubledBothWaysAndCommandsSplitAcrossReadsAreAnswered) {
  TcpListener listener;
  TelnetBackend telnet(options_for(listener));
  telnet.connect();
  TcpConnection server = listener.accept();
  EXPECT_EQ(server.read_until_contains(kOffers).data, kOffers);

  Receiver received(telnet);
  server.send_segments({"a\xff",
                        "\xff"
                        "b\xff",
                        "\xfd",
                        "\x05"
                        "c\r",
                        bytes("\0d")});
  EXPECT_TRUE(
      received.wait_for_text("a\xff"
                             "bc\rd"))
      << received.text();
  EXPECT_EQ(server.read_until_contains("\xff\xfc\x05").data, "\xff\xfc\x05");

  telnet.send("x\xffy\r\n");
  EXPECT_EQ(server.read_until_contains("y\r\n").data, "x\xff\xffy\r\n");
}

TEST(TelnetScriptedPeer, EnvironmentAndWindowSizeGoOutAsAskedWithEscapes) {
  TcpListener listener;
  TelnetOptions o = options_for(listener);
  o.username = "amy";
  o.environment = {{"LANG", "C\xff"}};
  TelnetBackend telnet(o);
  telnet.connect();
  TcpConnection server = listener.accept();
  server.read_until_contains(kOffers);
  Receiver received(telnet);

  server.send(bytes("\xff\xfd\x27\xff\xfd\x1f\xff\xfa\x27\x01\xff\xf0"));
  const std::string naws = bytes("\xff\xfa\x1f\0\x50\0\x18\xff\xf0");
  const std::string env = bytes(
      "\xff\xfa\x27\0\0USER\x01"
      "amy\x03LANG\x01"
      "C\xff\xff\xff\xf0");
  EXPECT_EQ(server.read_until_contains(env).data, naws + env);

  telnet.resize(255, 132);
  const std::string resized = bytes("\xff\xfa\x1f\0\x84\0\xff\xff\xff\xf0");
  EXPECT_EQ(server.read_until_contains(resized).data, resized);
}

TEST(TelnetScriptedPeer, PassiveClientWaitsForTheServerThenOffersTheRest) {
  TcpListener listener;
  TelnetOptions o = options_for(listener);
  o.passive = true;
  {
    TelnetBackend telnet(o);
    auto connecting = std::async(std::launch::async, [&] { telnet.connect(); });
    TcpConnection server = listener.accept();
    EXPECT_EQ(server.read_all(std::chrono::milliseconds(700)).data, "");
    server.send("\xff\xfd\x1f");
    connecting.get();
    const std::string expected = bytes(
        "\xff\xfb\x1f\xff\xfa\x1f\0\x50\0\x18\xff\xf0\xff\xfd\x03\xff\xfb"
        "\x03\xff\xfb\x18\xff\xfb\x20\xff\xfb\x27");
    EXPECT_EQ(server.read_until_contains(expected).data, expected);
  }
  TelnetBackend silent(o);
  auto connecting = std::async(std::launch::async, [&] { silent.connect(); });
  TcpConnection server = listener.accept();
  const auto first = server.read_until([](const std::string& s) { return !s.empty(); },
                                       std::chrono::milliseconds(1500));
  EXPECT_EQ(first.data, "");
  EXPECT_EQ(server.read_until_contains(kOffers).data, kOffers);
  connecting.get();
}

TEST(TelnetScriptedPeer, ComPortControlFailsReadablyWhenRefusedOrUnanswered) {
  TcpListener listener;
  TelnetOptions o = options_for(listener);
  o.com_port_control = true;
  o.timeout = std::chrono::seconds(2);
  {
    TelnetBackend telnet(o);
    auto connecting = std::async(std::launch::async, [&] { telnet.connect(); });
    TcpConnection server = listener.accept();
    server.read_until_contains("\xff\xfb\x2c");
    server.send("\xff\xfe\x2c");
    try {
      connecting.get();
      ADD_FAILURE() << "connect succeeded against a refusal";
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find("refused"), std::string::npos) << e.what();
    }
    EXPECT_TRUE(telnet.is_closed());
  }
  TelnetBackend telnet(o);
  auto connecting = std::async(std::launch::async, [&] { telnet.connect(); });
  TcpConnection server = listener.accept();
  EXPECT_THROW(connecting.get(), std::runtime_error);
}

TEST(TelnetScriptedPeer, CloseWakesABlockedRecvWhileOtherThreadsSendAndResize) {
  TcpListener listener;
  auto telnet = std::make_shared<TelnetBackend>(options_for(listener));
  telnet->connect();
  TcpConnection server = listener.accept();
  server.send("\xff\xfd\x1f");
  server.start_echo();
  auto recv_result = std::async(std::launch::async, [&] {
    std::string all;
    for (std::string got; !(got = telnet->recv(4096)).empty();) all += got;
    return all;
  });
  std::thread sender([&] {
    for (int i = 0; i < 200; ++i) {
      try {
        telnet->send("k");
        telnet->resize(24 + i % 5, 80);
      } catch (const std::runtime_error&) {
        return;
      }
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  telnet->close();
  telnet->close();
  sender.join();
  ASSERT_EQ(recv_result.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_TRUE(telnet->is_closed());
  EXPECT_THROW(telnet->send("late"), std::runtime_error);
  // The server echoed our negotiation too; none of it may reach the terminal.
  EXPECT_EQ(recv_result.get().find_first_not_of('k'), std::string::npos);
}

TEST(TelnetScriptedPeer, PeerClosingEndsRecvWithEmptyBytes) {
  TcpListener listener;
  TelnetBackend telnet(options_for(listener));
  telnet.connect();
  TcpConnection server = listener.accept();
  server.send("bye");
  server.close();
  Receiver received(telnet);
  EXPECT_TRUE(received.wait_for_end());
  EXPECT_EQ(received.text(), "bye");
}

// This process's descriptor of a TCP connection to 127.0.0.1:port, or -1.
int client_socket_to(std::uint16_t port) {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
    const int fd = std::stoi(entry.path().filename().string());
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) == 0 &&
        peer.sin_family == AF_INET && ntohs(peer.sin_port) == port) {
      return fd;
    }
  }
  return -1;
}

int socket_option(int fd, int level, int name) {
  int value = -1;
  socklen_t len = sizeof value;
  EXPECT_EQ(::getsockopt(fd, level, name, &value, &len), 0);
  return value;
}

// A server that vanishes without a word (cable pulled, host off) must end the tab within about a
// minute, as a raw tab does.
TEST(TelnetScriptedPeer, ConnectionProbesAnIdleServerWithTcpKeepAlive) {
  TcpListener listener;
  TelnetBackend telnet(options_for(listener));
  telnet.connect();
  TcpConnection server = listener.accept();
  const int fd = client_socket_to(listener.port());
  ASSERT_GE(fd, 0);
  EXPECT_EQ(socket_option(fd, SOL_SOCKET, SO_KEEPALIVE), 1);
  EXPECT_EQ(socket_option(fd, IPPROTO_TCP, TCP_KEEPIDLE), 30);
  EXPECT_EQ(socket_option(fd, IPPROTO_TCP, TCP_KEEPINTVL), 10);
  EXPECT_EQ(socket_option(fd, IPPROTO_TCP, TCP_KEEPCNT), 3);
}

}  // namespace
}  // namespace veltaro::telnet
