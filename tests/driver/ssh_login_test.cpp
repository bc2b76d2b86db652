// Logging in to SSH tabs by what the user types into the terminal: the user name, passwords and
// a server's keyboard-interactive questions, through veltaro-headless against a real sshd and a
// keyboard-interactive libssh server.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "driver_fixture.h"
#include "kbdint_peer.h"
#include "ssh_peers.h"

namespace veltaro::driver {
namespace {

namespace st = ssh2::testing;

constexpr Ms kLoginWait{30'000};
constexpr const char* kDenied = "Permission denied, please try again.\r\n";

std::string password_prompt(const std::string& user) {
  return user + "@127.0.0.1's password: ";
}

class SshLoginTest : public DriverTest {
 protected:
  static void SetUpTestSuite() { sshd_ = new st::Sshd(st::SshdKind::kModern, {}); }
  static void TearDownTestSuite() { delete sshd_; }
  void SetUp() override {
    DriverTest::SetUp();
    ::unsetenv("SSH_AUTH_SOCK");
  }

  std::string open_ssh(const Json& extra, int port = sshd_->port()) {
    Json rec = {{"name", "login"}, {"protocol", "ssh"}, {"host", "127.0.0.1"}, {"port", port}};
    for (const auto& [key, value] : extra.items()) rec[key] = value;
    return open_tab(save(rec));
  }

  void type(const std::string& tab, const std::string& keys) {
    EXPECT_EQ(app().call("send_input", Json::array({tab, keys})), true);
  }

  // Everything the terminal shows until `needle` has appeared `count` times in it.
  std::string screen_until(const std::string& tab, const std::string& needle, int count = 1) {
    screen_ += app().drain_until(
        tab,
        [&](const std::string& more) {
          const std::string all = screen_ + more;
          int seen = 0;
          for (auto at = all.find(needle); at != std::string::npos; at = all.find(needle, at + 1)) {
            ++seen;
          }
          return seen >= count;
        },
        kLoginWait);
    return screen_;
  }

  bool connected(const std::string& tab) {
    return app().wait_for_script(connected_for(tab), kLoginWait).has_value();
  }

  std::string error_line(const std::string& tab) {
    const auto found = app().wait_for_script(
        [&](const Script& s) { return info_for(tab)(s) && s.is_error(); }, kLoginWait);
    return found ? found->message() : std::string();
  }

  std::string screen_;
  static st::Sshd* sshd_;
};

st::Sshd* SshLoginTest::sshd_ = nullptr;

TEST_F(SshLoginTest,
       user_name_and_password_are_asked_in_the_terminal_and_the_password_never_shown) {
  const std::string tab = open_ssh(Json::object());
  screen_until(tab, "login as: ");
  // Typed one key at a time, as the page sends them, with a mistake corrected.
  for (const char c : std::string(st::kTestUser) + "x\x7f\r") type(tab, std::string(1, c));
  screen_until(tab, password_prompt(st::kTestUser));
  type(tab, "wrong-password\r");
  screen_until(tab, password_prompt(st::kTestUser), 2);
  type(tab, std::string(st::kTestPassword) + "\r");
  ASSERT_TRUE(connected(tab)) << screen_;
  // The shell gets the keys now.
  type(tab, "echo END-$((40+2))\r");
  const std::string shown = screen_until(tab, "END-42");

  EXPECT_EQ(shown.rfind(std::string("login as: ") + st::kTestUser + "x\b \b\r\n" +
                            password_prompt(st::kTestUser) + "\r\n" + kDenied +
                            password_prompt(st::kTestUser) + "\r\n",
                        0),
            0u)
      << shown;
  EXPECT_EQ(shown.find("wrong-password"), std::string::npos);
  EXPECT_EQ(shown.find(st::kTestPassword), std::string::npos);
  // The status lines are those of any login: connecting, the remembered key, connected.
  std::vector<std::string> lines;
  for (const auto& s : app().scripts()) {
    if (s.tab() == tab)
      lines.push_back(s.function == "setTerminalInfo" ? s.message() : "connected");
  }
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "正在連線到 127.0.0.1:" + std::to_string(sshd_->port()) + "...");
  EXPECT_EQ(lines[1].rfind("─── 已記住主機金鑰：", 0), 0u) << lines[1];
  EXPECT_EQ(lines[2], "connected");
}

TEST_F(SshLoginTest, a_refused_stored_password_is_asked_for_three_times_then_the_tab_ends) {
  const std::string tab = open_ssh({{"username", st::kTestUser}, {"password", "stored-but-wrong"}});
  for (int i = 1; i <= 3; ++i) {
    screen_until(tab, password_prompt(st::kTestUser), i);
    type(tab, "typed-wrong-" + std::to_string(i) + "\r");
  }
  screen_until(tab, password_prompt(st::kTestUser) + "\r\n", 3);
  const std::string line = error_line(tab);
  EXPECT_EQ(line.rfind("驗證失敗：", 0), 0u) << line;
  EXPECT_TRUE(wait_until_dead(tab));
  const std::string prompt = std::string(kDenied) + password_prompt(st::kTestUser) + "\r\n";
  EXPECT_EQ(screen_, prompt + prompt + prompt) << "each refusal is said once, no fourth try";
}

TEST_F(SshLoginTest, ctrl_c_gives_up_and_closing_the_tab_ends_a_waiting_prompt_at_once) {
  const std::string given_up = open_ssh({{"username", st::kTestUser}});
  screen_until(given_up, password_prompt(st::kTestUser));
  type(given_up, "half a passw\x03");
  EXPECT_EQ(error_line(given_up), "驗證失敗：已取消登入");
  EXPECT_TRUE(wait_until_dead(given_up));

  screen_.clear();
  const std::string closed = open_ssh({{"name", "closed"}});
  screen_until(closed, "login as: ");
  app().call("close_tab", Json::array({closed}));
  EXPECT_TRUE(tab_summary(closed).is_null());
  // The connection ends long before the prompt would have timed out: the server's processes for
  // it are gone.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!sshd_->session_processes().empty() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_TRUE(sshd_->session_processes().empty()) << sshd_->log_text();
}

TEST_F(SshLoginTest, keyboard_interactive_questions_are_shown_and_answered_as_the_server_asks) {
  const peers::KbdintServer server;
  const std::string tab = open_ssh({{"username", "anyone"}}, server.port());
  screen_until(tab, "Password: ");
  type(tab, "not-it\r");
  screen_until(tab, "Verification code: ");
  type(tab, "111111\r");
  screen_until(tab, "Password: ", 2);
  type(tab, std::string(peers::kKbdintPassword) + "\r");
  screen_until(tab, "Verification code: ", 2);
  type(tab, std::string(peers::kKbdintCode) + "\r");
  ASSERT_TRUE(connected(tab)) << screen_;
  const std::string shown = screen_until(tab, peers::kKbdintWelcome);

  const std::string round =
      "Two-step login\r\nEnter your password, then the code.\r\nPassword: \r\n";
  EXPECT_EQ(shown.rfind(round + "Verification code: 111111\r\n" + kDenied + round +
                            "Verification code: " + peers::kKbdintCode + "\r\n",
                        0),
            0u)
      << shown;
  EXPECT_EQ(shown.find(peers::kKbdintPassword), std::string::npos);
  EXPECT_EQ(server.answers(),
            (std::vector<std::string>{
                "not-it|111111", std::string(peers::kKbdintPassword) + "|" + peers::kKbdintCode}));
}

}  // namespace
}  // namespace veltaro::driver
