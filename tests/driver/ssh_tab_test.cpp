// SSH-2 tabs end to end through veltaro-headless against real servers on 127.0.0.1: every way of
// logging in, host-key pinning, algorithm choices, the shell's terminal size, .ppk keys, port
// forwarding in both directions and the ways a connection fails.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>

#include <optional>
#include <random>
#include <set>
#include <thread>

#include "driver_fixture.h"
#include "numbered_stream.h"
#include "ssh_peers.h"
#include "tcp_peer.h"

namespace veltaro::driver {
namespace {

namespace st = ssh2::testing;
using peers::TcpConnection;
using peers::TcpListener;

// A login and a shell in a sanitized build on a loaded machine.
constexpr Ms kConnectWait{30'000};
constexpr Ms kBulkWait{240'000};
constexpr std::size_t kBulkBytes = std::size_t{10} << 20;
constexpr const char* kKeyPassphrase = "key-passphrase";

std::string connecting_line(const std::string& port_text) {
  return "正在連線到 127.0.0.1:" + port_text + "...";
}

std::string random_bytes(std::size_t n) {
  std::mt19937 gen(12345);
  std::string out(n, '\0');
  for (auto& c : out) c = static_cast<char>(gen());
  return out;
}

// A TCP connection to 127.0.0.1:port. Throws when nothing listens there.
TcpConnection connect_local(int port) {
  return TcpConnection(peers::connect_loopback(port));
}

bool port_refuses(int port) {
  try {
    connect_local(port);
    return false;
  } catch (const std::runtime_error&) {
    return true;
  }
}

// Writes `data` into `port` on one thread while reading the same amount back on this one.
std::string echo_through(int port, const std::string& data) {
  TcpConnection conn = connect_local(port);
  std::thread writer([&] { conn.send(data); });
  const auto back =
      conn.read_until([&](const std::string& got) { return got.size() >= data.size(); }, kBulkWait);
  writer.join();
  return back.data;
}

// Accepts one connection on 127.0.0.1 and echoes everything it receives.
class EchoPeer {
 public:
  EchoPeer() {
    acceptor_ = std::thread([this] {
      try {
        conn_.emplace(listener_.accept(kConnectWait));
        conn_->start_echo();
      } catch (const std::exception&) {
        // The test sees no echo and fails on its own terms.
      }
    });
  }
  ~EchoPeer() { acceptor_.join(); }
  EchoPeer(const EchoPeer&) = delete;
  EchoPeer& operator=(const EchoPeer&) = delete;
  int port() const { return listener_.port(); }

 private:
  TcpListener listener_;
  std::optional<TcpConnection> conn_;
  std::thread acceptor_;
};

std::size_t open_descriptors(pid_t pid) {
  const auto dir = std::filesystem::path("/proc") / std::to_string(pid) / "fd";
  return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(dir),
                                                std::filesystem::directory_iterator()));
}

std::set<std::filesystem::path> temp_key_files() {
  std::set<std::filesystem::path> found;
  for (const auto& entry :
       std::filesystem::directory_iterator(std::filesystem::temp_directory_path())) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("veltaro_", 0) == 0 && entry.path().extension() == ".pem") {
      found.insert(entry.path());
    }
  }
  return found;
}

// A stand-in for puttygen, first on PATH while it lives: it notes the descriptors it was started
// with beyond the standard three and the mode of the output file it was given, then runs the
// real puttygen and returns its exit code.
class PuttygenProbe {
 public:
  PuttygenProbe() : old_path_(std::getenv("PATH") ? std::getenv("PATH") : "") {
    std::filesystem::create_directories(dir_ / "bin");
    const auto program = dir_ / "bin" / "puttygen";
    st::write_text(program, R"(#!/usr/bin/python3
import json, os, stat, subprocess, sys
fds = []
for name in os.listdir('/proc/self/fd'):
    if int(name) > 2:
        try:
            fds.append(os.readlink('/proc/self/fd/' + name))
        except OSError:
            pass  # the listing's own descriptor, closed by now
out = sys.argv[sys.argv.index('-o') + 1]
mode = stat.S_IMODE(os.stat(out).st_mode)
rc = subprocess.call(['/usr/bin/puttygen'] + sys.argv[1:])
with open(sys.argv[0] + '.json', 'w') as report:
    json.dump({'fds': fds, 'output': out, 'mode': mode}, report)
sys.exit(rc)
)");
    std::filesystem::permissions(program, std::filesystem::perms(0755));
    ::setenv("PATH", ((dir_ / "bin").string() + ":" + old_path_).c_str(), 1);
  }
  ~PuttygenProbe() { ::setenv("PATH", old_path_.c_str(), 1); }
  PuttygenProbe(const PuttygenProbe&) = delete;
  PuttygenProbe& operator=(const PuttygenProbe&) = delete;

  Json report() const { return Json::parse(st::read_text(dir_ / "bin" / "puttygen.json")); }

 private:
  const std::string old_path_;
  st::TempDir dir_;
};

class SshTabTest : public DriverTest {
 protected:
  static void SetUpTestSuite() {
    keys_ = new st::TempDir;
    plain_ = new st::KeyPair(st::make_key(*keys_ / "plain", "ed25519"));
    encrypted_ = new st::KeyPair(st::make_key(*keys_ / "encrypted", "ecdsa", kKeyPassphrase));
    agent_key_ = new st::KeyPair(st::make_key(*keys_ / "agent", "ed25519"));
    default_key_ = new st::KeyPair(st::make_key(*keys_ / "default", "ed25519"));
    sshd_ =
        new st::Sshd(st::SshdKind::kModern, {plain_->public_line, encrypted_->public_line,
                                             agent_key_->public_line, default_key_->public_line});
  }
  static void TearDownTestSuite() {
    delete sshd_;
    delete plain_;
    delete encrypted_;
    delete agent_key_;
    delete default_key_;
    delete keys_;
  }

  void SetUp() override {
    DriverTest::SetUp();
    // Only the agent test hands the program an agent.
    ::unsetenv("SSH_AUTH_SOCK");
    // A temporary directory of this test's own: tests running beside it convert keys too, and
    // the checks on leftover key copies must see only this program's files.
    const char* old = std::getenv("TMPDIR");
    old_tmpdir_ = old ? std::optional<std::string>(old) : std::nullopt;
    tmpdir_.emplace();
    ::setenv("TMPDIR", tmpdir_->path().c_str(), 1);
  }
  void TearDown() override {
    DriverTest::TearDown();
    if (old_tmpdir_) {
      ::setenv("TMPDIR", old_tmpdir_->c_str(), 1);
    } else {
      ::unsetenv("TMPDIR");
    }
    tmpdir_.reset();
  }

  std::optional<st::TempDir> tmpdir_;
  std::optional<std::string> old_tmpdir_;

  static Json ssh_record(int port, const Json& extra) {
    Json rec = {{"name", "ssh"},
                {"protocol", "ssh"},
                {"host", "127.0.0.1"},
                {"port", port},
                {"username", st::kTestUser}};
    for (const auto& [key, value] : extra.items()) rec[key] = value;
    return rec;
  }

  std::string open_ssh(const Json& extra, int port = sshd_->port()) {
    return open_tab(save(ssh_record(port, extra)));
  }

  ::testing::AssertionResult connected(const std::string& tab) {
    if (app().wait_for_script(connected_for(tab), kConnectWait))
      return ::testing::AssertionSuccess();
    std::string lines;
    for (const auto& s : app().scripts()) lines += "\n  " + s.text;
    return ::testing::AssertionFailure() << "tab " << tab << " never connected:" << lines;
  }

  // The first error line of the tab; empty when none came.
  std::string error_line(const std::string& tab) {
    auto found = app().wait_for_script(
        [&](const Script& s) { return info_for(tab)(s) && s.is_error(); }, kConnectWait);
    return found ? found->message() : std::string();
  }

  // Runs `command` in the tab's shell and returns the output up to a marker only the shell's
  // arithmetic can produce (the echoed command line shows it unevaluated).
  std::string run_in_shell(const std::string& tab, const std::string& command) {
    EXPECT_EQ(app().call("send_input", Json::array({tab, command + "; echo END-$((40+2))\r"})),
              true);
    return app().drain_until_contains(tab, "END-42", kConnectWait);
  }

  static bool starts_with(const std::string& s, std::string_view prefix) {
    return s.rfind(prefix, 0) == 0;
  }

  static st::TempDir* keys_;
  static st::KeyPair* plain_;
  static st::KeyPair* encrypted_;
  static st::KeyPair* agent_key_;
  static st::KeyPair* default_key_;
  static st::Sshd* sshd_;
};

st::TempDir* SshTabTest::keys_ = nullptr;
st::KeyPair* SshTabTest::plain_ = nullptr;
st::KeyPair* SshTabTest::encrypted_ = nullptr;
st::KeyPair* SshTabTest::agent_key_ = nullptr;
st::KeyPair* SshTabTest::default_key_ = nullptr;
st::Sshd* SshTabTest::sshd_ = nullptr;

TEST_F(SshTabTest, password_login_runs_a_shell_that_sees_pty_size_and_window_change) {
  const std::string tab = open_ssh({{"password", st::kTestPassword}});
  ASSERT_TRUE(connected(tab));
  const auto scripts = app().scripts();
  ASSERT_GE(scripts.size(), 2u);
  ASSERT_GE(scripts.size(), 3u);
  EXPECT_TRUE(
      is_info_script(scripts[0], tab, connecting_line(std::to_string(sshd_->port())), false))
      << scripts[0].text;
  EXPECT_TRUE(starts_with(scripts[1].message(), "─── 已記住主機金鑰：ssh-ed25519 SHA256:"))
      << scripts[1].text;
  EXPECT_EQ(scripts[2].text, connected_script(tab));

  EXPECT_NE(run_in_shell(tab, "stty size").find("24 80\r\n"), std::string::npos);
  app().call("resize_pty", Json::array({tab, 30, 100}));
  EXPECT_NE(run_in_shell(tab, "stty size").find("30 100\r\n"), std::string::npos);

  const std::size_t from = app().scripts().size();
  app().call("send_input", Json::array({tab, "exit\r"}));
  EXPECT_TRUE(saw_info(tab, kConnectionEnded, false, from, kConnectWait));
  EXPECT_TRUE(wait_until_dead(tab));
}

TEST_F(SshTabTest, new_host_key_is_pinned_then_accepted_and_a_changed_one_refused) {
  const auto known = data_dir() / "known_hosts";
  const std::string id = "[127.0.0.1]:" + std::to_string(sshd_->port());
  const std::string fingerprint = st::run_tool({"/usr/bin/ssh-keygen", "-l", "-E", "sha256", "-f",
                                                sshd_->host_key_pub().string()})
                                      .substr(4, 50);  // "256 SHA256:<43 characters> ..."
  const std::string first = open_ssh({{"password", st::kTestPassword}});
  ASSERT_TRUE(connected(first));
  EXPECT_TRUE(saw_info(first, "─── 已記住主機金鑰：ssh-ed25519 " + fingerprint + " ───", false));
  const std::string pinned = read_file(known);
  EXPECT_EQ(std::count(pinned.begin(), pinned.end(), '\n'), 1) << pinned;
  EXPECT_EQ(pinned.rfind(id + " ", 0), 0u) << pinned;
  EXPECT_EQ(std::filesystem::status(known).permissions(), std::filesystem::perms(0600));
  app().call("close_tab", Json::array({first}));

  const std::string again = open_ssh({{"name", "again"}, {"password", st::kTestPassword}});
  ASSERT_TRUE(connected(again));
  EXPECT_EQ(read_file(known), pinned) << "a known key is not written again";
  for (const auto& s : app().scripts()) {
    EXPECT_FALSE(s.tab() == again && s.message().find("已記住主機金鑰") != std::string::npos);
  }
  app().call("close_tab", Json::array({again}));
}

TEST_F(SshTabTest, changed_host_key_is_refused_until_the_user_accepts_it_for_that_host_alone) {
  std::filesystem::create_directories(data_dir());
  const auto known = data_dir() / "known_hosts";
  const std::string id = "[127.0.0.1]:" + std::to_string(sshd_->port());
  const st::TempDir dir;
  const auto impostor = st::make_key(dir / "other", "ecdsa");
  const std::string impostor_line = id + " " + impostor.public_line + "\n";
  const std::string other_host = "[127.0.0.1]:1 " + impostor.public_line + "\n";
  const std::string forged = "# pinned by hand\n" + other_host + impostor_line;
  st::write_text(known, forged);
  const std::string offered = st::run_tool({"/usr/bin/ssh-keygen", "-l", "-E", "sha256", "-f",
                                            sshd_->host_key_pub().string()})
                                  .substr(4, 50);
  const std::string was = st::run_tool({"/usr/bin/ssh-keygen", "-l", "-E", "sha256", "-f",
                                        dir.path().string() + "/other.pub"})
                              .substr(4, 50);

  const std::string refused = open_ssh({{"name", "forged"}, {"password", st::kTestPassword}});
  const std::string line = error_line(refused);
  EXPECT_TRUE(starts_with(line, kConnectFailedPrefix)) << line;
  const std::vector<std::string> parts = {id,
                                          std::string("主機金鑰與記住的不同"),
                                          "ecdsa-sha2-nistp256 " + was,
                                          "ssh-ed25519 " + offered,
                                          known.string(),
                                          "接受新的主機金鑰"};
  for (const std::string& part : parts) {
    EXPECT_NE(line.find(part), std::string::npos) << part << " in " << line;
  }
  EXPECT_TRUE(wait_until_dead(refused));
  EXPECT_EQ(read_file(known), forged) << "nothing changes before the user decides";
  const Json summary = tab_summary(refused);
  EXPECT_EQ(summary["host_key"],
            (Json{{"host", id}, {"type", "ssh-ed25519"}, {"fingerprint", offered}}));

  // Only the fingerprint the user was shown is accepted.
  const Json stale = app().call("accept_host_key", Json::array({refused, was}));
  EXPECT_EQ(stale["ok"], false);
  EXPECT_EQ(read_file(known), forged);

  const Json accepted = app().call("accept_host_key", Json::array({refused, offered}));
  ASSERT_EQ(accepted["ok"], true) << accepted.dump();
  EXPECT_TRUE(tab_summary(refused).is_null()) << "the old tab gave way to the reconnect";
  const std::string reconnected = accepted["tab_id"].get<std::string>();
  ASSERT_TRUE(connected(reconnected));
  const std::string now = read_file(known);
  EXPECT_EQ(now.rfind("# pinned by hand\n" + other_host + id + " ssh-ed25519 ", 0), 0u) << now;
  EXPECT_EQ(std::count(now.begin(), now.end(), '\n'), 3) << now;
  EXPECT_EQ(std::filesystem::status(known).permissions(), std::filesystem::perms(0600));
  EXPECT_EQ(app().call("accept_host_key", Json::array({reconnected, offered}))["ok"], false)
      << "a tab that was not refused has nothing to accept";
}

TEST_F(SshTabTest, key_file_and_encrypted_key_with_the_session_password) {
  const std::string plain = open_ssh({{"private_key", plain_->private_key.string()}});
  ASSERT_TRUE(connected(plain));
  EXPECT_NE(run_in_shell(plain, "whoami").find(st::kTestUser), std::string::npos);

  // The account's password is not the passphrase, so only the key can let this one in.
  const std::string encrypted = open_ssh({{"name", "encrypted"},
                                          {"private_key", encrypted_->private_key.string()},
                                          {"password", kKeyPassphrase}});
  EXPECT_TRUE(connected(encrypted));
}

TEST_F(SshTabTest, agent_keys_are_used_only_with_agent_forwarding) {
  const st::Agent agent;
  agent.add(agent_key_->private_key);
  ::setenv("SSH_AUTH_SOCK", agent.socket().c_str(), 1);
  start();
  const std::string with_agent = open_ssh({{"agent_forwarding", true}});
  EXPECT_TRUE(connected(with_agent));
  // Without the agent the server's password prompt is the only way left.
  const std::string without = open_ssh({{"name", "no agent"}, {"agent_forwarding", false}});
  EXPECT_NE(app().drain_until_contains(without, "password: ", kConnectWait).find("password: "),
            std::string::npos);
  app().call("send_input", Json::array({without, "\x03"}));
  EXPECT_EQ(error_line(without), "驗證失敗：已取消登入");
  ::unsetenv("SSH_AUTH_SOCK");
}

TEST_F(SshTabTest, default_keys_come_from_the_home_directory) {
  const auto ssh_dir = home_dir() / ".ssh";
  std::filesystem::create_directories(ssh_dir);
  std::filesystem::copy_file(default_key_->private_key, ssh_dir / "id_ed25519");
  std::filesystem::permissions(ssh_dir / "id_ed25519", std::filesystem::perms(0600));
  EXPECT_TRUE(connected(open_ssh(Json::object())));
}

TEST_F(SshTabTest, ppk_key_copy_lives_for_the_login_only_and_the_converter_inherits_nothing) {
  const PuttygenProbe probe;
  const auto ppk = *keys_ / "plain.PPK";  // the extension is matched in any case
  st::run_tool(
      {"/usr/bin/puttygen", plain_->private_key.string(), "-O", "private", "-o", ppk.string()});
  // A tab connected before the conversion starts: its socket must not reach the converter.
  const std::string other = open_ssh({{"name", "other"}, {"password", st::kTestPassword}});
  ASSERT_TRUE(connected(other));
  const auto before = temp_key_files();
  const std::string tab = open_ssh({{"private_key", ppk.string()}});
  ASSERT_TRUE(connected(tab));
  EXPECT_EQ(temp_key_files(), before) << "the decrypted key outlived the login";
  EXPECT_NE(run_in_shell(tab, "whoami").find(st::kTestUser), std::string::npos);

  const Json seen = probe.report();
  EXPECT_EQ(seen["fds"], Json::array()) << "descriptors the converter was started with";
  const std::string name = std::filesystem::path(seen.value("output", "")).filename().string();
  EXPECT_TRUE(starts_with(name, "veltaro_") && is_lower_hex(name.substr(8, 10), 10) &&
              name.size() == std::string("veltaro_").size() + 10 + 4 &&
              std::filesystem::path(name).extension() == ".pem")
      << name;
  EXPECT_EQ(seen["mode"], 0600) << "the copy is the user's alone from the start";
}

TEST_F(SshTabTest, key_problems_are_reported_before_any_connection) {
  const std::string missing = open_ssh({{"private_key", (*keys_ / "absent.ppk").string()}});
  EXPECT_TRUE(saw_info(missing, "金鑰錯誤：找不到私鑰檔", true, 0, kConnectWait));
  EXPECT_TRUE(wait_until_dead(missing));

  // A half-written private key must not stay behind in the temporary directory.
  const auto broken = *keys_ / "broken.ppk";
  st::write_text(broken, "PuTTY-User-Key-File-3: ssh-ed25519\nnot really a key\n");
  const auto before = temp_key_files();
  const std::string bad = open_ssh({{"name", "broken"}, {"private_key", broken.string()}});
  const std::string line = error_line(bad);
  EXPECT_TRUE(starts_with(line, "金鑰錯誤：puttygen 轉換失敗：")) << line;
  EXPECT_EQ(temp_key_files(), before);
}

TEST_F(SshTabTest, compression_and_keepalive_reach_the_server_and_keepalive_changes_live) {
  const auto from = sshd_->log_size();
  Json rec =
      ssh_record(sshd_->port(),
                 {{"password", st::kTestPassword}, {"compression", true}, {"keepalive_sec", 3600}});
  rec["id"] = save(rec);
  const std::string tab = open_tab(rec["id"].get<std::string>());
  ASSERT_TRUE(connected(tab));
  EXPECT_TRUE(sshd_->wait_for_log("compression: zlib@openssh.com", from)) << sshd_->log_text();

  const auto before_edit = sshd_->log_size();
  rec["keepalive_sec"] = 1;
  save(rec);
  EXPECT_TRUE(sshd_->wait_for_log("rtype keepalive@openssh.com", before_edit));
}

// Stops every process of a server's connections (SIGSTOP) for as long as it lives: the machine
// still answers TCP, the server says nothing.
class Frozen {
 public:
  explicit Frozen(std::vector<pid_t> pids) : pids_(std::move(pids)) {
    for (const pid_t pid : pids_) ::kill(pid, SIGSTOP);
  }
  ~Frozen() {
    for (const pid_t pid : pids_) ::kill(pid, SIGCONT);
  }
  Frozen(const Frozen&) = delete;
  Frozen& operator=(const Frozen&) = delete;

 private:
  const std::vector<pid_t> pids_;
};

TEST_F(SshTabTest, a_server_that_stops_answering_ends_the_tab_after_three_keepalives) {
  const st::Sshd server(st::SshdKind::kModern, {});
  const std::string tab =
      open_ssh({{"password", st::kTestPassword}, {"keepalive_sec", 1}}, server.port());
  ASSERT_TRUE(connected(tab));
  // A server that answers keeps an idle tab open, however many keep-alives go by.
  EXPECT_FALSE(saw_info(tab, kConnectionEnded, false, 0, Ms(4'500)));

  const std::size_t from = app().scripts().size();
  const auto sessions = server.session_processes();
  ASSERT_FALSE(sessions.empty());
  const Frozen frozen(sessions);
  // Three unanswered one-second keep-alives; the rest is slack for a loaded machine.
  EXPECT_TRUE(saw_info(tab, kConnectionEnded, false, from, Ms(20'000)));
  EXPECT_TRUE(wait_until_dead(tab));
}

TEST_F(SshTabTest, legacy_server_is_reached_only_with_legacy_compatibility) {
  const st::Sshd legacy(st::SshdKind::kLegacyOnly, {});
  const std::string with =
      open_ssh({{"password", st::kTestPassword}, {"ssh_legacy_compat", true}}, legacy.port());
  ASSERT_TRUE(connected(with));
  EXPECT_NE(run_in_shell(with, "whoami").find(st::kTestUser), std::string::npos);

  const std::string without =
      open_ssh({{"name", "modern only"}, {"password", st::kTestPassword}}, legacy.port());
  EXPECT_TRUE(starts_with(error_line(without), kConnectFailedPrefix));
}

TEST_F(SshTabTest, a_list_of_unsupported_algorithms_fails_naming_them) {
  const std::string tab =
      open_ssh({{"password", st::kTestPassword}, {"ssh_macs", {"made-up-mac@example.com"}}});
  const std::string line = error_line(tab);
  EXPECT_TRUE(starts_with(line, kConnectFailedPrefix)) << line;
  EXPECT_NE(line.find("made-up-mac@example.com"), std::string::npos) << line;
}

TEST_F(SshTabTest, local_forward_carries_ten_megabytes_both_ways_and_closes_with_its_tab) {
  const EchoPeer echo;
  const int listen_port = peers::refused_port();
  const std::string spec =
      " " + std::to_string(listen_port) + ":127.0.0.1:" + std::to_string(echo.port()) + " ";
  const std::string tab = open_ssh(
      {{"password", st::kTestPassword}, {"port_forwards", {{{"type", "l"}, {"spec", spec}}}}});
  ASSERT_TRUE(connected(tab));
  const std::string data = random_bytes(kBulkBytes);
  const std::string back = echo_through(listen_port, data);
  EXPECT_EQ(back.size(), data.size());
  EXPECT_TRUE(back == data) << "forwarded bytes differ";

  app().call("close_tab", Json::array({tab}));
  const auto deadline = std::chrono::steady_clock::now() + kEventWait;
  while (!port_refuses(listen_port) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(Ms(50));
  }
  EXPECT_TRUE(port_refuses(listen_port)) << "the listener outlived its tab";
}

TEST_F(SshTabTest, shell_output_held_by_a_slow_page_arrives_whole_while_the_connection_goes_on) {
  // seq from the stream's first number prints exactly the numbered stream, 200 MB of it.
  constexpr std::size_t kStreamBytes = 200'000'000;
  constexpr Ms kHold{3'000};
  constexpr Ms kLongPoll{1'000};
  const EchoPeer echo;
  const int listen_port = peers::refused_port();
  const std::string spec =
      std::to_string(listen_port) + ":127.0.0.1:" + std::to_string(echo.port());
  const std::string tab = open_ssh({{"password", st::kTestPassword},
                                    {"keepalive_sec", 1},
                                    {"port_forwards", {{{"type", "L"}, {"spec", spec}}}}});
  ASSERT_TRUE(connected(tab));
  run_in_shell(tab, "stty -onlcr");  // the stream's LFs arrive as sent
  app().call("send_input", Json::array({tab, "seq 100000000 119999999; echo END-$((40+2))\r"}));

  // Nothing drains: the buffer fills and the shell channel waits, while keep-alives and a
  // forwarded connection go on over the same connection.
  std::this_thread::sleep_for(kHold);
  EXPECT_TRUE(sshd_->wait_for_log("rtype keepalive@openssh.com", sshd_->log_size()))
      << "keep-alives stopped while the shell waited";
  const std::string data = random_bytes(kBulkBytes);
  EXPECT_TRUE(echo_through(listen_port, data) == data) << "the forward stalled with the shell";

  std::string before;  // the echoed command line, up to the stream's first line
  std::string after;   // the end marker and the prompt
  NumberedChecker check;
  const auto give_up = std::chrono::steady_clock::now() + kBulkWait;
  while (after.find("END-42") == std::string::npos && check.ok() &&
         std::chrono::steady_clock::now() < give_up) {
    std::string text = app().call("drain_terminal", Json::array({tab, kLongPoll.count()}));
    if (check.received() == 0 && before.find(numbered_bytes(0, kLineBytes)) == std::string::npos) {
      before += text;
      const std::size_t start = before.find(numbered_bytes(0, kLineBytes));
      if (start == std::string::npos) continue;
      text = before.substr(start);
    }
    const std::size_t take = std::min(text.size(), kStreamBytes - check.received());
    check.feed(std::string_view(text).substr(0, take));
    after += text.substr(take);
  }
  EXPECT_TRUE(check.ok()) << "stream differs at byte " << check.bad_offset();
  EXPECT_EQ(check.received(), kStreamBytes);
  EXPECT_NE(after.find("END-42"), std::string::npos);
}

TEST_F(SshTabTest, refused_forwarded_connections_release_everything_while_the_tab_lives) {
  const int listen_port = peers::refused_port();
  const std::string spec =
      std::to_string(listen_port) + ":127.0.0.1:" + std::to_string(peers::refused_port());
  const std::string tab = open_ssh(
      {{"password", st::kTestPassword}, {"port_forwards", {{{"type", "L"}, {"spec", spec}}}}});
  ASSERT_TRUE(connected(tab));
  const auto refused = [&] { return connect_local(listen_port).read_all(kConnectWait).eof; };
  ASSERT_TRUE(refused());
  const std::size_t baseline = open_descriptors(app().pid());
  for (int i = 0; i < 200; ++i) ASSERT_TRUE(refused()) << "connection " << i;
  const auto deadline = std::chrono::steady_clock::now() + kEventWait;
  while (open_descriptors(app().pid()) > baseline && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(Ms(50));
  }
  EXPECT_LE(open_descriptors(app().pid()), baseline);
  EXPECT_EQ(tab_summary(tab).value("alive", false), true);
}

TEST_F(SshTabTest, remote_forwards_each_carry_their_own_connections) {
  const EchoPeer echo;
  TcpListener second_target;
  const int first_port = peers::refused_port();
  const int second_port = peers::refused_port();
  const Json rules = {
      {{"type", "R"},
       {"spec", std::to_string(first_port) + ":127.0.0.1:" + std::to_string(echo.port())}},
      {{"type", "r"},
       {"spec",
        std::to_string(second_port) + ":127.0.0.1:" + std::to_string(second_target.port())}}};
  const std::string tab = open_ssh({{"password", st::kTestPassword}, {"port_forwards", rules}});
  ASSERT_TRUE(connected(tab));

  TcpConnection to_second = connect_local(second_port);
  to_second.send("for the second rule");
  TcpConnection at_second = second_target.accept(kConnectWait);
  EXPECT_EQ(at_second.read_until_contains("rule").data, "for the second rule");

  const std::string data = random_bytes(kBulkBytes);
  const std::string back = echo_through(first_port, data);
  EXPECT_EQ(back.size(), data.size());
  EXPECT_TRUE(back == data) << "forwarded bytes differ";
}

TEST_F(SshTabTest, bad_forward_rules_are_reported_or_skipped_and_the_shell_still_starts) {
  const Json rules = {{{"type", "L"}, {"spec", "abc:127.0.0.1:22"}},
                      {{"type", "L"}, {"spec", "7000:127.0.0.1"}},
                      {{"type", "X"}, {"spec", "7001:127.0.0.1:22"}}};
  const std::string tab = open_ssh({{"password", st::kTestPassword}, {"port_forwards", rules}});
  EXPECT_TRUE(saw_info(tab, "轉發規則 abc:127.0.0.1:22 設定失敗：invalid port 'abc'", true, 0,
                       kConnectWait));
  ASSERT_TRUE(connected(tab));
  EXPECT_NE(run_in_shell(tab, "whoami").find(st::kTestUser), std::string::npos);
  int errors = 0;
  for (const auto& s : app().scripts()) errors += info_for(tab)(s) && s.is_error();
  EXPECT_EQ(errors, 1) << "the other two rules are skipped silently";
}

TEST_F(SshTabTest, connections_that_fail_before_login) {
  TcpListener closing;
  std::thread closer([&] {
    try {
      closing.accept(kConnectWait).close();
    } catch (const std::exception&) {
    }
  });
  const std::string closed_at_once = open_ssh({{"password", "x"}}, closing.port());
  EXPECT_TRUE(starts_with(error_line(closed_at_once), kConnectFailedPrefix));
  closer.join();

  const std::string unreachable =
      open_ssh({{"name", "unreachable"}, {"password", "x"}}, peers::refused_port());
  const std::string line = error_line(unreachable);
  EXPECT_TRUE(starts_with(line, kConnectFailedPrefix)) << line;
  EXPECT_NE(line.find("refused"), std::string::npos) << line;
  EXPECT_TRUE(wait_until_dead(unreachable));
}

TEST_F(SshTabTest, port_that_is_no_number_is_shown_as_stored_and_fails) {
  Json rec = ssh_record(0, {{"password", "x"}});
  rec["port"] = "ssh-port";
  const std::string tab = open_tab(save(rec));
  EXPECT_TRUE(saw_info(tab, connecting_line("ssh-port"), false, 0, kConnectWait));
  EXPECT_TRUE(saw_info(tab, "連線失敗：invalid port ssh-port", true, 0, kConnectWait));
  EXPECT_TRUE(wait_until_dead(tab));
}

}  // namespace
}  // namespace veltaro::driver
