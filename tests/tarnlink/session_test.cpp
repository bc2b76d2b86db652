// A logged-in session against the test server: what the opening sends, output in and out of
// recv's queue, input in order, window sizes, and every way a session ends.
#include <gtest/gtest.h>

#include <future>

#include "client_support.h"

namespace tarnlink {
namespace {

using namespace std::chrono_literals;
using testing::recv_to_end;
using testing::recv_until;
using testing::Watchdog;
using veltaro::peers::ssh1_shell;
using veltaro::peers::Ssh1Server;
using veltaro::peers::Ssh1ServerOptions;

class SessionTest : public ::testing::Test {
 protected:
  // An echo-mode session, logged in and past the server's "ready" line.
  std::shared_ptr<SSH1Backend> open(SSH1Options o) {
    auto client = std::make_shared<SSH1Backend>(std::move(o));
    client->connect();
    EXPECT_EQ(recv_until(*client, "ready\r\n"), "ready\r\n");
    return client;
  }
  std::shared_ptr<SSH1Backend> open() { return open(testing::options_for(server)); }

  Ssh1Server server;
};

TEST_F(SessionTest, OpeningSendsVersionWrappedKeyLoginAndPtyWithTheLatestSize) {
  SSH1Options o = testing::options_for(server);
  o.term_type = "vt100";
  auto client = std::make_shared<SSH1Backend>(std::move(o));
  client->resize(30, 100);  // before connect: the PTY request carries it
  const Watchdog guard(client);
  client->connect();
  EXPECT_EQ(client->server_version_line(), "SSH-1.5-TestServer_1.0");

  const auto version = server.events("version");
  ASSERT_EQ(version.size(), 1u);
  EXPECT_EQ(version[0]["line"], "SSH-1.5-Veltaro_2026");
  const auto key = server.events("session_key");
  ASSERT_EQ(key.size(), 1u);
  EXPECT_EQ(key[0]["ok"], true) << "wrapped with the 768-bit key inside the 1024-bit one";
  EXPECT_EQ(key[0]["bits"], 1024) << "bit count of the larger key's byte length";
  EXPECT_EQ(key[0]["cipher"], 3);
  ASSERT_EQ(server.events("password").size(), 1u);
  EXPECT_EQ(server.events("password")[0]["ok"], true);
  const auto pty = server.events("pty");
  ASSERT_EQ(pty.size(), 1u);
  EXPECT_EQ(pty[0]["term"], "vt100");
  EXPECT_EQ(pty[0]["rows"], 30);
  EXPECT_EQ(pty[0]["cols"], 100);
  EXPECT_EQ(pty[0]["modes"], "00");
  EXPECT_EQ(recv_until(*client, "ready\r\n"), "ready\r\n");
  EXPECT_FALSE(client->is_closed());
}

TEST_F(SessionTest, LargePacketComesOutInBufsizePiecesAndIgnoredPacketsAreSkipped) {
  auto client = open();
  const Watchdog guard(client);
  client->send("big\r");
  EXPECT_EQ(client->recv(4096), "big\r");  // the echo, a packet of its own
  std::string big;
  for (const std::size_t expected : {4096u, 4096u, 1808u}) {
    const std::string part = client->recv(4096);
    EXPECT_EQ(part.size(), expected);
    big += part;
  }
  for (std::size_t i = 0; i < big.size(); ++i) {
    ASSERT_EQ(static_cast<unsigned char>(big[i]), i % 251) << i;
  }

  client->send("ignore\r");
  EXPECT_EQ(client->recv(4096), "ignore\r");
  EXPECT_EQ(client->recv(4096), "ok") << "MSG_IGNORE before it is passed over";
  client->send("stderr\r");
  EXPECT_EQ(recv_until(*client, "ERR"), "stderr\rERR") << "error output joins the stream";
  EXPECT_FALSE(client->is_closed());
}

TEST_F(SessionTest, LargeInputArrivesInOrderIn16KiBPackets) {
  auto client = open();
  const Watchdog guard(client);
  std::string paste;
  for (int i = 0; i < 40000 - 4; ++i) paste += static_cast<char>('a' + i % 26);
  paste += "#END";
  client->send(paste);
  const std::string echoed = recv_until(*client, "#END");
  EXPECT_EQ(echoed.size(), paste.size());
  EXPECT_TRUE(echoed == paste) << "the echo differs from what was sent";
  std::vector<int> lengths;
  for (const auto& e : server.events("stdin")) lengths.push_back(e["length"].get<int>());
  EXPECT_EQ(lengths, (std::vector<int>{16384, 16384, 7232}));
}

TEST_F(SessionTest, ResizeReachesTheServerOnlyOnceTheShellRuns) {
  auto client = open();
  client->resize(50, 132);
  ASSERT_TRUE(server.wait_for("window_size"));
  const auto sizes = server.events("window_size");
  EXPECT_EQ(sizes[0]["rows"], 50);
  EXPECT_EQ(sizes[0]["cols"], 132);
  EXPECT_EQ(sizes[0]["xpix"], 0);

  client->send("");
  client->close();
  client->resize(10, 40);
  client->send("after close");
  EXPECT_EQ(server.events("window_size").size(), 1u);
  EXPECT_TRUE(server.events("stdin").empty()) << "empty input and input after close send nothing";
}

TEST_F(SessionTest, ExitStatusEndsTheSessionAfterItsOutputAndIsConfirmedOnce) {
  auto client = open();
  const Watchdog guard(client);
  client->send("exit 7\r");
  EXPECT_EQ(recv_to_end(*client), "exit 7\rbye\r\n");
  EXPECT_TRUE(client->is_closed());
  EXPECT_EQ(client->exit_status(), 7u);
  EXPECT_EQ(client->recv(4096), "");
  ASSERT_TRUE(server.wait_for("exit_confirmation"));
  client->close();
  ASSERT_TRUE(server.wait_for("closed"));
  EXPECT_EQ(server.events("exit_confirmation").size(), 1u);
}

TEST_F(SessionTest, ServerDisconnectEndsTheSessionWithoutExitStatus) {
  auto client = open();
  const Watchdog guard(client);
  client->send("disconnect\r");
  EXPECT_EQ(recv_to_end(*client), "disconnect\r");
  EXPECT_TRUE(client->is_closed());
  EXPECT_FALSE(client->exit_status().has_value());
}

TEST_F(SessionTest, CloseFromAnotherThreadWakesABlockedRecvAndSaysGoodbye) {
  auto client = open();
  const Watchdog guard(client);
  auto reader = std::async(std::launch::async, [&] { return client->recv(4096); });
  EXPECT_EQ(reader.wait_for(300ms), std::future_status::timeout) << "nothing to read yet";
  client->close();
  ASSERT_EQ(reader.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(reader.get(), "");
  EXPECT_TRUE(client->is_closed());
  ASSERT_TRUE(server.wait_for("disconnect")) << "MSG_DISCONNECT went out enciphered";
  client->close();  // again: nothing happens
}

TEST_F(SessionTest, CloseDoesNotWaitBehindASendToAPeerThatStoppedReading) {
  auto client = open();
  client->send("stall\r");
  ASSERT_TRUE(server.wait_for("stalled"));
  auto sender = std::async(std::launch::async, [&] {
    const std::string chunk(64 * 1024, 'x');
    for (int i = 0; i < 256 && !client->is_closed(); ++i) client->send(chunk);
  });
  EXPECT_EQ(sender.wait_for(1s), std::future_status::timeout) << "the socket should be full";
  auto closer = std::async(std::launch::async, [&] { client->close(); });
  EXPECT_EQ(closer.wait_for(10s), std::future_status::ready) << "close hung behind the send";
  EXPECT_EQ(sender.wait_for(10s), std::future_status::ready) << "the stuck send was not woken";
  EXPECT_TRUE(client->is_closed());
}

TEST(ShellSession, RealShellOnThePtyRunsCommandsAndReportsItsExitStatus) {
  Ssh1Server server(ssh1_shell());
  auto client = std::make_shared<SSH1Backend>(testing::options_for(server));
  const Watchdog guard(client);
  client->connect();
  client->send("echo \"term=$TERM\"; stty size; exit 3\r");
  const std::string out = recv_to_end(*client);
  EXPECT_NE(out.find("term=xterm"), std::string::npos) << out;
  EXPECT_NE(out.find("24 80"), std::string::npos) << out;
  EXPECT_EQ(client->exit_status(), 3u) << out;
  EXPECT_TRUE(client->is_closed());
}

}  // namespace
}  // namespace tarnlink
