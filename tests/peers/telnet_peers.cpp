#include "telnet_peers.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace veltaro::peers {

namespace {

namespace fs = std::filesystem;
using ssh2::testing::read_text;
using ssh2::testing::run_tool;
using ssh2::testing::SpawnOptions;
using ssh2::testing::write_text;
using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds kPoll{50};
constexpr std::chrono::seconds kStartWait{15};
const fs::path kBusybox = "/usr/local/lib/veltaro-tests/busybox-static/bin/busybox";
const fs::path kPython = "/usr/bin/python3";

std::set<std::string> socket_inodes(pid_t pid) {
  std::set<std::string> inodes;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
    const std::string target = fs::read_symlink(entry.path(), ec).string();
    if (target.rfind("socket:[", 0) == 0) inodes.insert(target.substr(8, target.size() - 9));
  }
  return inodes;
}

// A listening socket's local port from /proc/net/tcp{,6} whose inode is in `inodes`.
std::optional<std::uint16_t> find_listener(const std::set<std::string>& inodes) {
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::ifstream in(table);
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state, queues, timer, retransmit, uid, timeout, inode;
      fields >> slot >> local >> remote >> state >> queues >> timer >> retransmit >> uid >>
          timeout >> inode;
      if (state != "0A" || inodes.count(inode) == 0) continue;
      return static_cast<std::uint16_t>(std::stoul(local.substr(local.find(':') + 1), nullptr, 16));
    }
  }
  return std::nullopt;
}

SpawnOptions logging_to(const fs::path& file) {
  SpawnOptions options;
  options.output_file = file;
  return options;
}

void make_executable(const fs::path& file, const std::string& text) {
  write_text(file, text);
  ::chmod(file.c_str(), 0755);
}

void wait_for_file(const fs::path& file) {
  const auto deadline = Clock::now() + kStartWait;
  while (!fs::exists(file)) {
    if (Clock::now() > deadline) throw std::runtime_error("not created in time: " + file.string());
    std::this_thread::sleep_for(kPoll);
  }
}

}  // namespace

std::uint16_t listening_port(pid_t pid) {
  const auto deadline = Clock::now() + kStartWait;
  for (;;) {
    if (const auto port = find_listener(socket_inodes(pid))) return *port;
    if (Clock::now() > deadline) {
      throw std::runtime_error("process " + std::to_string(pid) + " did not start listening");
    }
    std::this_thread::sleep_for(kPoll);
  }
}

InetutilsTelnetd::InetutilsTelnetd(const std::vector<std::string>& accepted_env) {
  if (!fs::exists("/usr/sbin/telnetd")) throw std::runtime_error("inetutils-telnetd is missing");
  // socat's EXEC splits its command at spaces without honouring quotes, so telnetd's options
  // live in a script.
  std::string command = "exec /usr/sbin/telnetd -h --accept-env=USER";
  for (const std::string& name : accepted_env) command += " --accept-env=" + name;
  command += " -E /bin/sh";
  make_executable(dir_ / "telnetd.sh", "#!/bin/sh\n" + command + "\n");
  socat_.emplace(Process::spawn({"/usr/bin/socat", "TCP-LISTEN:0,bind=127.0.0.1,reuseaddr,fork",
                                 "EXEC:" + (dir_ / "telnetd.sh").string() + ",nofork"},
                                logging_to(dir_ / "socat.log")));
  port_ = listening_port(socat_->pid());
}

BusyboxTelnetd::BusyboxTelnetd() {
  if (!fs::exists(kBusybox)) {
    throw std::runtime_error(kBusybox.string() + " is missing; run scripts/install-deps.sh");
  }
  server_.emplace(Process::spawn(
      {kBusybox.string(), "telnetd", "-F", "-p", "0", "-b", "127.0.0.1", "-l", "/bin/sh"}));
  port_ = listening_port(server_->pid());
}

PtyPair::PtyPair() {
  socat_.emplace(Process::spawn({"/usr/bin/socat", "pty,raw,echo=0,link=" + device().string(),
                                 "pty,raw,echo=0,link=" + far_end().string()}));
  wait_for_file(device());
  wait_for_file(far_end());
}

std::string PtyPair::stty() const {
  return run_tool({"/bin/stty", "-F", device().string(), "-a"});
}

FarEnd::FarEnd(const fs::path& path) : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC)) {
  if (fd_ < 0) throw std::runtime_error("cannot open " + path.string());
}

FarEnd::~FarEnd() {
  ::close(fd_);
}

bool FarEnd::write_all(std::string_view bytes) {
  return ::write(fd_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
}

std::string FarEnd::read_until_size(std::size_t size, std::chrono::milliseconds timeout) {
  std::string got;
  const auto deadline = Clock::now() + timeout;
  while (got.size() < size && Clock::now() < deadline) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    char buf[256];
    const ssize_t n = ::read(fd_, buf, sizeof buf);
    if (n > 0) got.append(buf, static_cast<std::size_t>(n));
  }
  return got;
}

Ser2net::Ser2net(const fs::path& device) {
  write_text(dir_ / "ser2net.yaml",
             "connection: &tab\n"
             "  accepter: telnet(rfc2217),tcp,127.0.0.1,0\n"
             "  connector: serialdev," +
                 device.string() +
                 ",9600n81,local\n"
                 "  options:\n"
                 "    kickolduser: true\n");
  server_.emplace(
      Process::spawn({"/usr/sbin/ser2net", "-n", "-u", "-c", (dir_ / "ser2net.yaml").string(), "-P",
                      (dir_ / "ser2net.pid").string()},
                     logging_to(dir_ / "ser2net.log")));
  port_ = listening_port(server_->pid());
}

PyserialRfc2217::PyserialRfc2217() {
  const fs::path script = fs::path(VELTARO_PEERS_DIR) / "rfc2217_loop_server.py";
  server_.emplace(
      Process::spawn({kPython.string(), script.string()}, logging_to(dir_ / "server.log")));
  const auto deadline = Clock::now() + kStartWait;
  for (;;) {
    const std::string log = read_text(dir_ / "server.log");
    const auto at = log.find("PORT ");
    if (at != std::string::npos && log.find('\n', at) != std::string::npos) {
      port_ = static_cast<std::uint16_t>(std::stoi(log.substr(at + 5)));
      return;
    }
    if (Clock::now() > deadline || !server_->running()) {
      throw std::runtime_error("pyserial RFC 2217 server did not start: " + log);
    }
    std::this_thread::sleep_for(kPoll);
  }
}

}  // namespace veltaro::peers
