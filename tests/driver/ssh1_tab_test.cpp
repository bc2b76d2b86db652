// SSH-1 tabs end to end through veltaro-headless against the SSH-1.5 test server: the connecting
// line, a real shell's output, typed input, the terminal size, the end line, output that waits
// for a slow page instead of being lost, and the ways an SSH-1 tab refuses or fails to start.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "driver_fixture.h"
#include "numbered_stream.h"
#include "ssh1_peer.h"
#include "tcp_peer.h"

namespace veltaro::driver {
namespace {

using peers::Ssh1Server;

// Key exchange and login in a sanitized build on a loaded machine.
constexpr Ms kLoginWait{30'000};

std::string connecting_line(const std::string& port) {
  return "正在連線到 127.0.0.1:" + port + "（SSH-1）...";
}

class Ssh1TabTest : public DriverTest {
 protected:
  Json ssh1_record(int port, const Json& extra = Json::object()) {
    Json rec = {{"name", "old router"},
                {"protocol", "ssh"},
                {"ssh_version", "1"},
                {"host", "127.0.0.1"},
                {"port", port},
                {"username", peers::kSsh1User},
                {"password", peers::kSsh1Password}};
    for (const auto& [key, value] : extra.items()) rec[key] = value;
    return rec;
  }

  std::string open_record(const Json& rec) { return open_tab(save(rec)); }
};

TEST_F(Ssh1TabTest, ShellTabShowsOutputTakesInputFollowsResizeAndEnds) {
  Ssh1Server server(peers::ssh1_shell());
  start();
  const std::string tab = open_record(ssh1_record(server.port(), {{"terminal_type", ""}}));
  ASSERT_TRUE(app().wait_for_script(connected_for(tab), kLoginWait)) << server.log();
  const auto scripts = app().scripts();
  ASSERT_GE(scripts.size(), 2u);
  EXPECT_TRUE(
      is_info_script(scripts[0], tab, connecting_line(std::to_string(server.port())), false))
      << scripts[0].text;
  EXPECT_EQ(scripts[1].text, connected_script(tab));
  const auto pty = server.events("pty");
  ASSERT_EQ(pty.size(), 1u);
  EXPECT_EQ(pty[0]["term"], "xterm") << "an empty terminal type is xterm for SSH-1 tabs";
  EXPECT_EQ(pty[0]["rows"], 24);
  EXPECT_EQ(pty[0]["cols"], 80);

  EXPECT_EQ(app().call("send_input", Json::array({tab, "echo \"你好 $((6*7))\"\r"})), true);
  EXPECT_NE(app().drain_until_contains(tab, "你好 42", kLoginWait).find("你好 42"),
            std::string::npos);

  app().call("resize_pty", Json::array({tab, 30, 100}));
  ASSERT_TRUE(server.wait_for("window_size"));
  app().call("send_input", Json::array({tab, "stty size\r"}));
  EXPECT_NE(app().drain_until_contains(tab, "30 100", kLoginWait).find("30 100"),
            std::string::npos);

  const std::size_t from = app().scripts().size();
  app().call("send_input", Json::array({tab, "exit 5\r"}));
  EXPECT_TRUE(saw_info(tab, kConnectionEnded, false, from, kLoginWait));
  EXPECT_TRUE(wait_until_dead(tab));
  EXPECT_TRUE(server.wait_for("exit_confirmation"));
}

TEST_F(Ssh1TabTest, OutputBeyondTheBufferLimitWaitsForTheSlowPageAndArrivesWhole) {
  // The tab's limit of undrained text (ASCII here, so characters are bytes), which a reader may
  // overshoot by the one read it had in hand, and a stream two and a half times that long.
  constexpr std::size_t kBufferLimit = 2'000'000;
  constexpr std::size_t kOneRead = 256 << 10;
  constexpr unsigned long kLines = 500'000;
  constexpr std::size_t kStreamBytes = kLines * kLineBytes;
  // Long enough for the limit to be reached on a loaded sanitized build (about 0.6 MB/s).
  constexpr Ms kPageAway{8'000};
  constexpr Ms kStreamWait{180'000};
  constexpr std::size_t kHeadMost = 64 * 1024;  // far more than a prompt and the command line
  Ssh1Server server(peers::ssh1_shell());
  start();
  const std::string tab = open_record(ssh1_record(server.port()));
  ASSERT_TRUE(app().wait_for_script(connected_for(tab), kLoginWait)) << server.log();
  // The numbers are computed by the shell, so the echoed command line holds none of the lines.
  const std::string first = std::to_string(kFirstNumber);
  app().call("send_input", Json::array({tab, "stty -onlcr; seq $((" + first + ")) $((" + first +
                                                 "+" + std::to_string(kLines - 1) + "))\r"}));
  // The page stays away while the shell writes far more than the tab may hold.
  std::this_thread::sleep_for(kPageAway);

  const std::string start_line = first + "\n";
  std::string head;  // text before the stream's first line: prompt and echoed command
  bool in_stream = false;
  NumberedChecker checker;
  const auto deadline = std::chrono::steady_clock::now() + kStreamWait;
  while (checker.ok() && checker.received() < kStreamBytes &&
         std::chrono::steady_clock::now() < deadline) {
    std::string piece = app().call("drain_terminal", Json::array({tab, 1000})).get<std::string>();
    EXPECT_LE(piece.size(), kBufferLimit + kOneRead) << "the tab held more than its limit";
    if (!in_stream) {
      head += piece;
      const std::size_t at = head.find(start_line);
      if (at == std::string::npos) {
        ASSERT_LT(head.size(), kHeadMost) << "the stream's first line never came";
        continue;
      }
      piece = head.substr(at);
      in_stream = true;
    }
    piece.resize(std::min(piece.size(), kStreamBytes - checker.received()));
    checker.feed(piece);
  }
  EXPECT_TRUE(checker.ok()) << "the stream broke at byte " << checker.bad_offset();
  EXPECT_EQ(checker.received(), kStreamBytes);
}

TEST_F(Ssh1TabTest, ClosingAConnectedTabSaysGoodbyeToTheServer) {
  Ssh1Server server;
  start();
  const std::string tab = open_record(ssh1_record(server.port()));
  ASSERT_TRUE(app().wait_for_script(connected_for(tab), kLoginWait)) << server.log();
  app().call("close_tab", Json::array({tab}));
  EXPECT_TRUE(server.wait_for("disconnect")) << server.log();
  EXPECT_TRUE(tab_summary(tab).is_null());
}

TEST_F(Ssh1TabTest, WithoutAStoredUserAndPasswordTheyAreAskedInTheTerminalUntilRight) {
  Ssh1Server server;
  start();
  Json rec = ssh1_record(server.port(), {{"ssh_version", 1}});
  rec.erase("password");
  rec.erase("username");
  const std::string tab = open_record(rec);
  app().drain_until_contains(tab, "login as: ", kLoginWait);
  app().call("send_input", Json::array({tab, std::string(peers::kSsh1User) + "\r"}));
  const std::string prompt = std::string(peers::kSsh1User) + "@127.0.0.1's password: ";
  app().drain_until_contains(tab, prompt, kLoginWait);
  app().call("send_input", Json::array({tab, "wrong\r"}));
  const std::string again = app().drain_until_contains(tab, prompt, kLoginWait);
  EXPECT_NE(again.find("Permission denied, please try again."), std::string::npos) << again;
  app().call("send_input", Json::array({tab, std::string(peers::kSsh1Password) + "\r"}));
  ASSERT_TRUE(app().wait_for_script(connected_for(tab), kLoginWait)) << server.log();
  EXPECT_EQ(server.events("password").size(), 2u);
}

TEST_F(Ssh1TabTest, FailedLoginShowsTheReasonAndEndsTheTab) {
  Ssh1Server server;
  start();
  const std::string tab = open_record(ssh1_record(server.port(), {{"password", "wrong"}}));
  const std::string prompt = std::string(peers::kSsh1User) + "@127.0.0.1's password: ";
  for (int i = 0; i < 3; ++i) {
    app().drain_until_contains(tab, prompt, kLoginWait);
    app().call("send_input", Json::array({tab, "still wrong\r"}));
  }
  EXPECT_TRUE(saw_info(tab, "SSH-1 連線失敗：password 認證失敗", true, 0, kLoginWait));
  EXPECT_TRUE(wait_until_dead(tab));
  EXPECT_TRUE(server.wait_for("closed"));
  EXPECT_EQ(server.events("password").size(), 4u) << "the stored one and three typed";
}

TEST_F(Ssh1TabTest, UnreadablePortMeans22) {
  start();
  const std::string tab = open_record(ssh1_record(0, {{"port", "abc"}}));
  EXPECT_TRUE(saw_info(tab, connecting_line("22"), false));
  // Whatever answers on port 22 here (nothing, or an SSH-2 server), it is no SSH-1 login.
  const auto failed = app().wait_for_script(
      [&](const Script& s) {
        return s.function == "setTerminalInfo" && s.tab() == tab && s.is_error() &&
               s.message().rfind("SSH-1 連線失敗：", 0) == 0;
      },
      kLoginWait);
  EXPECT_TRUE(failed.has_value());
}

}  // namespace
}  // namespace veltaro::driver
