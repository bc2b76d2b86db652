#include "ssh_peers.h"

#include "tcp_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>
#include <thread>

namespace veltaro::ssh2::testing {

namespace {

constexpr std::chrono::milliseconds kPollStep{50};

template <class Ready>
void wait_until_ready(Process& process, Ready ready, const std::string& what,
                      const std::filesystem::path& log) {
  const auto deadline = std::chrono::steady_clock::now() + kPeerStart;
  while (!ready()) {
    if (!process.running() || std::chrono::steady_clock::now() >= deadline) {
      std::string text;
      if (std::filesystem::exists(log)) text = read_text(log);
      throw std::runtime_error(what + " did not start: " + text);
    }
    std::this_thread::sleep_for(kPollStep);
  }
}

bool port_answers(int port) {
  const peers::Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return ::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
}

// sshd reads authorized_keys as the logged-in user, so the directory must be readable to it.
void open_up(const std::filesystem::path& dir) {
  std::filesystem::permissions(dir, std::filesystem::perms(0755));
}

std::string sshd_config(SshdKind kind, const std::filesystem::path& dir, int port,
                        std::size_t host_keys) {
  const auto in_dir = [&](const std::string& name) { return (dir / name).string(); };
  std::string c = "Port " + std::to_string(port) + "\nListenAddress 127.0.0.1\n";
  for (std::size_t i = 0; i < host_keys; ++i) {
    c += "HostKey " + in_dir("host_key_" + std::to_string(i)) + "\n";
  }
  c += "PidFile " + in_dir("sshd.pid") + "\n";
  c += "AuthorizedKeysFile " + in_dir("authorized_keys") + "\n";
  c += "UsePAM no\n"
       "StrictModes no\n"
       "PermitRootLogin no\n"
       "PasswordAuthentication yes\n"
       "KbdInteractiveAuthentication no\n"
       "PubkeyAuthentication yes\n"
       "AllowTcpForwarding yes\n"
       "AllowAgentForwarding no\n"
       "X11Forwarding no\n"
       "PrintMotd no\n"
       "PrintLastLog no\n"
       "Compression yes\n"
       "LogLevel DEBUG3\n";
  if (kind == SshdKind::kLegacyOnly) {
    c += "Ciphers 3des-cbc,aes128-cbc\n"
         "KexAlgorithms diffie-hellman-group1-sha1,diffie-hellman-group14-sha1\n"
         "MACs hmac-sha1\n"
         "HostKeyAlgorithms ssh-rsa\n"
         "PubkeyAcceptedAlgorithms ssh-rsa\n";
  }
  return c;
}

}  // namespace

void ensure_test_user() {
  // Test programs run in parallel: another may be adding the account at the same moment.
  if (::getpwnam(kTestUser) == nullptr) {
    try {
      run_tool({"/usr/sbin/useradd", "-m", "-s", "/bin/bash", kTestUser});
    } catch (const std::runtime_error&) {
      if (::getpwnam(kTestUser) == nullptr) throw;
    }
  }
  TempDir dir;
  write_text(dir / "password", std::string(kTestUser) + ":" + kTestPassword + "\n");
  SpawnOptions options;
  options.stdin_file = dir / "password";
  for (int attempt = 1;; ++attempt) {
    try {
      run_tool({"/usr/sbin/chpasswd"}, options);
      return;
    } catch (const std::runtime_error&) {
      if (attempt == 3) throw;
      std::this_thread::sleep_for(std::chrono::seconds(1));
    }
  }
}

KeyPair make_key(const std::filesystem::path& file, const std::string& type,
                 const std::string& passphrase) {
  std::vector<std::string> argv = {
      "/usr/bin/ssh-keygen", "-q", "-t",         type, "-N", passphrase, "-C",
      "veltaro-test",        "-f", file.string()};
  if (type == "rsa") {
    argv.insert(argv.end(), {"-b", "2048"});
  }
  run_tool(argv);
  std::string pub = read_text(file.string() + ".pub");
  while (!pub.empty() && (pub.back() == '\n' || pub.back() == '\r')) pub.pop_back();
  return {file, pub};
}

Sshd::Sshd(SshdKind kind, const std::vector<std::string>& authorized_keys, const SshdSetup& setup) {
  ensure_test_user();
  std::filesystem::create_directories("/run/sshd");
  std::filesystem::permissions("/run/sshd", std::filesystem::perms(0755));
  open_up(dir_.path());
  auto types = setup.host_key_types;
  if (types.empty()) types.push_back(kind == SshdKind::kLegacyOnly ? "rsa" : "ed25519");
  for (std::size_t i = 0; i < types.size(); ++i) {
    make_key(dir_ / ("host_key_" + std::to_string(i)), types[i]);
  }
  std::string keys;
  for (const auto& k : authorized_keys) keys += k + "\n";
  write_text(dir_ / "authorized_keys", keys);
  std::filesystem::permissions(dir_ / "authorized_keys", std::filesystem::perms(0644));
  port_ = setup.port != 0 ? setup.port : peers::refused_port();
  write_text(dir_ / "sshd_config", sshd_config(kind, dir_.path(), port_, types.size()));
  const auto log = dir_ / "sshd.log";
  // -D: stay in the foreground; -E: the log, DEBUG3 included, into a file of our own.
  process_.emplace(Process::spawn(
      {"/usr/sbin/sshd", "-D", "-f", (dir_ / "sshd_config").string(), "-E", log.string()}));
  wait_until_ready(
      *process_,
      [&] {
        return std::filesystem::exists(log) &&
               read_text(log).find("Server listening on") != std::string::npos;
      },
      "sshd", log);
}

Sshd::~Sshd() {
  process_->wait_for_children(kSessionsEnd);
}

std::size_t Sshd::log_size() const {
  return log_text().size();
}

std::string Sshd::log_text() const {
  const auto log = dir_ / "sshd.log";
  return std::filesystem::exists(log) ? read_text(log) : std::string();
}

bool Sshd::wait_for_log(const std::string& needle, std::size_t from,
                        std::chrono::milliseconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const std::string text = log_text();
    if (text.size() > from && text.find(needle, from) != std::string::npos) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kPollStep);
  }
}

Dropbear::Dropbear() {
  ensure_test_user();
  run_tool({"/usr/bin/dropbearkey", "-t", "ed25519", "-f", (dir_ / "host_key").string()});
  port_ = peers::refused_port();
  SpawnOptions options;
  options.output_file = dir_ / "dropbear.log";
  // -F: foreground; -E: log to standard error.
  process_.emplace(
      Process::spawn({"/usr/sbin/dropbear", "-F", "-E", "-p", "127.0.0.1:" + std::to_string(port_),
                      "-r", (dir_ / "host_key").string(), "-P", (dir_ / "dropbear.pid").string()},
                     options));
  wait_until_ready(
      *process_, [&] { return port_answers(port_); }, "dropbear", options.output_file);
}

Dropbear::~Dropbear() {
  process_->wait_for_children(kSessionsEnd);
}

Agent::Agent() {
  SpawnOptions options;
  options.output_file = dir_ / "agent.log";
  process_.emplace(Process::spawn({"/usr/bin/ssh-agent", "-D", "-a", socket().string()}, options));
  wait_until_ready(
      *process_, [&] { return std::filesystem::exists(socket()); }, "ssh-agent",
      options.output_file);
}

void Agent::add(const std::filesystem::path& private_key) const {
  SpawnOptions options;
  options.env["SSH_AUTH_SOCK"] = socket().string();
  run_tool({"/usr/bin/ssh-add", private_key.string()}, options);
}

}  // namespace veltaro::ssh2::testing
