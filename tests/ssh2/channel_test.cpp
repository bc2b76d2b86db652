// Channels over a real OpenSSH server: the shell with its PTY, end of stream, close, keep-alive,
// and both kinds of forwarding carrying bulk data.
#include "test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>

namespace veltaro::ssh2::testing {
namespace {

class OpenSshChannels : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    keys_ = new TempDir;
    key_ = new KeyPair(make_key(*keys_ / "key", "ed25519"));
    sshd_ = new Sshd(SshdKind::kModern, {key_->public_line});
  }
  static void TearDownTestSuite() {
    delete sshd_;
    delete key_;
    delete keys_;
  }

  void SetUp() override {
    auto o = options_for(sshd_->port());
    o.key_filename = key_->private_key;
    client_ = connect_client(o);
    transport_ = client_->get_transport();
  }

  std::shared_ptr<Channel> shell() {
    auto channel = transport_->open_session();
    channel->get_pty("xterm", 80, 24);
    channel->invoke_shell();
    return channel;
  }

  IsolatedHome home_;
  std::unique_ptr<Client> client_;
  std::shared_ptr<Transport> transport_;
  static TempDir* keys_;
  static KeyPair* key_;
  static Sshd* sshd_;
};

TempDir* OpenSshChannels::keys_ = nullptr;
KeyPair* OpenSshChannels::key_ = nullptr;
Sshd* OpenSshChannels::sshd_ = nullptr;

TEST_F(OpenSshChannels, shell_sees_pty_size_and_window_change_then_ends) {
  auto channel = shell();
  channel->connect();  // already open: nothing to do
  channel->send("stty size\n");
  EXPECT_NE(read_until(*channel, "24 80").find("24 80"), std::string::npos);
  channel->resize(40, 100);
  channel->send("stty size\n");
  EXPECT_NE(read_until(*channel, "40 100").find("40 100"), std::string::npos);

  // Between the prompt and the end the channel often has nothing to read; only the server's
  // end of stream may end it.
  channel->send("sleep 1; exit\n");
  EXPECT_TRUE(read_to_end(*channel));
  EXPECT_TRUE(channel->is_closed());
}

TEST_F(OpenSshChannels, close_wakes_a_blocked_recv_and_is_idempotent) {
  auto channel = shell();
  read_until(*channel, "$");
  auto blocked = std::async(std::launch::async, [&] { return channel->recv(4096); });
  channel->close();
  ASSERT_EQ(blocked.wait_for(kEventWait), std::future_status::ready);
  EXPECT_EQ(blocked.get(), "");
  channel->close();
  EXPECT_TRUE(channel->is_closed());
  EXPECT_THROW(channel->connect(), std::runtime_error);
}

TEST_F(OpenSshChannels, closing_the_client_ends_its_channels) {
  auto channel = shell();
  client_->close();
  client_->close();
  EXPECT_EQ(client_->get_transport(), nullptr);
  EXPECT_FALSE(client_->set_keepalive(std::chrono::seconds(5)));
  EXPECT_FALSE(transport_->is_active());
  EXPECT_TRUE(read_to_end(*channel));
  EXPECT_TRUE(channel->is_closed());
  EXPECT_THROW(channel->send("x"), std::runtime_error);
  EXPECT_THROW(transport_->open_session(), std::runtime_error);
}

TEST_F(OpenSshChannels, keepalive_reaches_the_server_and_can_be_changed_while_connected) {
  auto channel = shell();
  const auto from = sshd_->log_size();
  ASSERT_TRUE(client_->set_keepalive(std::chrono::seconds(1)));
  EXPECT_TRUE(sshd_->wait_for_log("rtype keepalive@openssh.com", from)) << sshd_->log_text();
  // The answers to keep-alives must not confuse the requests that follow them.
  const auto more = sshd_->log_size();
  EXPECT_TRUE(sshd_->wait_for_log("rtype keepalive@openssh.com", more)) << sshd_->log_text();
  EXPECT_NO_THROW(transport_->request_port_forward(
      "", peers::refused_port(), [](auto incoming, auto, auto) { incoming->close(); }));
  ASSERT_TRUE(client_->set_keepalive(std::chrono::seconds(0)));
  channel->send("echo still-here\n");
  EXPECT_NE(read_until(*channel, "still-here\r\n").find("still-here\r\n"), std::string::npos);
}

TEST_F(OpenSshChannels, direct_tcpip_carries_ten_megabytes_intact_both_ways) {
  const EchoService echo;
  auto channel = transport_->open_direct_tcpip({"127.0.0.1", echo.port()}, {"127.0.0.1", 5555});
  const std::string data = random_bytes(kBulkBytes);
  const std::string back = echo_through(*channel, data);
  EXPECT_EQ(back.size(), data.size());
  EXPECT_TRUE(back == data);
}

TEST_F(OpenSshChannels, direct_tcpip_to_a_closed_port_is_refused) {
  EXPECT_THROW(
      transport_->open_direct_tcpip({"127.0.0.1", peers::refused_port()}, {"127.0.0.1", 5555}),
      std::runtime_error);
  // The connection survives the refusal.
  EXPECT_NO_THROW(transport_->open_session()->close());
}

// A target whose accept queue is full holds up the server's connect to it, and with that the
// channel's confirmation, until after the open was given up.
TEST_F(OpenSshChannels, an_open_given_up_is_closed_when_its_confirmation_comes_late) {
  peers::TcpListener target(0);
  auto queued = target.connect_to_self();
  EXPECT_THROW(transport_->open_direct_tcpip({"127.0.0.1", target.port()}, {"127.0.0.1", 5555},
                                             std::chrono::milliseconds(300)),
               std::runtime_error);
  auto first = target.accept();
  auto from_server = target.accept(kEventWait);
  EXPECT_TRUE(from_server.read_all(kEventWait).eof) << "the abandoned channel is still open";
  EXPECT_NO_THROW(transport_->open_session()->close());
}

TEST_F(OpenSshChannels, remote_forward_carries_ten_megabytes_intact_both_ways) {
  const EchoService echo;
  const int echo_port = echo.port();
  const int server_port = peers::refused_port();
  ASSERT_EQ(transport_->request_port_forward(
                "", server_port,
                [echo_port](std::shared_ptr<Channel> channel, Endpoint, Endpoint) {
                  splice_to_port(*channel, echo_port);
                }),
            server_port);
  auto shell_channel = shell();  // the session keeps serving its shell meanwhile
  const std::string data = random_bytes(kBulkBytes);
  const std::string back = echo_through_tcp(server_port, data);
  EXPECT_EQ(back.size(), data.size());
  EXPECT_TRUE(back == data);
  shell_channel->send("echo after-forward\n");
  EXPECT_NE(read_until(*shell_channel, "after-forward\r\n").find("after-forward\r\n"),
            std::string::npos);
}

TEST_F(OpenSshChannels, each_remote_forward_receives_its_own_connections) {
  std::atomic<int> calls{0};
  const auto answer_with = [&](std::string tag) {
    return [&calls, tag](std::shared_ptr<Channel> channel, Endpoint origin, Endpoint server) {
      ++calls;
      channel->send(tag + ":" + std::to_string(server.port) + ":" + origin.host);
      channel->close();
    };
  };
  const int a = peers::refused_port();
  const int b = peers::refused_port();
  transport_->request_port_forward("", a, answer_with("A"));
  transport_->request_port_forward("", b, answer_with("B"));
  const auto read_tag = [](int port) { return connect_tcp(port).read_all().data; };
  EXPECT_EQ(read_tag(b).substr(0, 2 + std::to_string(b).size()), "B:" + std::to_string(b));
  EXPECT_EQ(read_tag(a).substr(0, 2 + std::to_string(a).size()), "A:" + std::to_string(a));
  EXPECT_EQ(calls.load(), 2);
}

}  // namespace
}  // namespace veltaro::ssh2::testing
