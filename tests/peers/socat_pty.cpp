#include "socat_pty.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

extern char** environ;

namespace veltaro::peers {

namespace {

using namespace std::chrono_literals;
constexpr auto kStartWait = 10s;
constexpr auto kStep = 10ms;

template <typename Pred>
bool wait_until(Pred pred, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kStep);
  }
  return true;
}

std::string pty_address(const std::filesystem::path& link) {
  return "pty,raw,echo=0,link=" + link.string();
}

}  // namespace

SocatPty::SocatPty() {
  char pattern[] = "/tmp/veltaro-pty-XXXXXX";
  if (!::mkdtemp(pattern)) throw std::system_error(errno, std::generic_category(), "mkdtemp");
  dir_ = pattern;
  device_ = dir_ / "ttyV0";
  far_end_ = dir_ / "ttyV1";
  try {
    plug();
  } catch (...) {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
    throw;
  }
}

SocatPty::~SocatPty() {
  try {
    unplug();
  } catch (...) {
    // The directory goes anyway.
  }
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

void SocatPty::start() {
  const std::string log = (dir_ / "socat.log").string();
  std::vector<std::string> args = {
      "socat", "-d", "-d", "-lf", log, pty_address(device_), pty_address(far_end_)};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  const int rc = ::posix_spawnp(&pid, "socat", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::system_error(rc, std::generic_category(), "cannot start socat");
  pid_ = pid;
}

void SocatPty::plug() {
  if (plugged()) return;
  start();
  const bool ready = wait_until(
      [&] { return std::filesystem::exists(device_) && std::filesystem::exists(far_end_); },
      kStartWait);
  if (!ready) {
    unplug();
    throw std::runtime_error("socat made no pseudo-terminals at " + dir_.string());
  }
  open_far_end();
}

void SocatPty::unplug() {
  close_far_end();
  if (!plugged()) return;
  ::kill(pid_, SIGTERM);
  int status = 0;
  const bool ended = wait_until([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, 5s);
  if (!ended) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status, 0);
  }
  pid_ = -1;
  if (!wait_until([&] { return !std::filesystem::exists(device_); }, 5s)) {
    throw std::runtime_error("socat left its link behind: " + device_.string());
  }
}

void SocatPty::open_far_end() {
  far_fd_ = ::open(far_end_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (far_fd_ < 0) throw std::system_error(errno, std::generic_category(), far_end_.string());
  termios t{};
  ::tcgetattr(far_fd_, &t);
  ::cfmakeraw(&t);
  ::tcsetattr(far_fd_, TCSANOW, &t);
}

void SocatPty::close_far_end() noexcept {
  if (far_fd_ >= 0) ::close(far_fd_);
  far_fd_ = -1;
}

void SocatPty::send(std::string_view bytes) {
  if (far_fd_ < 0) throw std::runtime_error("the device is unplugged");
  while (!bytes.empty()) {
    const ssize_t n = ::write(far_fd_, bytes.data(), bytes.size());
    if (n > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno != EAGAIN) throw std::system_error(errno, std::generic_category(), "write");
    pollfd pfd{far_fd_, POLLOUT, 0};
    if (::poll(&pfd, 1, 10'000) <= 0) throw std::runtime_error("the device cannot send");
  }
}

std::string SocatPty::receive_until(const std::function<bool(const std::string&)>& done,
                                    std::chrono::milliseconds timeout) {
  std::string got;
  if (far_fd_ < 0) return got;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done(got)) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd pfd{far_fd_, POLLIN, 0};
    if (::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) continue;
    char buf[4096];
    const ssize_t n = ::read(far_fd_, buf, sizeof buf);
    if (n > 0) got.append(buf, static_cast<std::size_t>(n));
    if (n == 0 || (n < 0 && errno != EAGAIN)) std::this_thread::sleep_for(kStep);
  }
  return got;
}

std::string SocatPty::receive_until_contains(std::string_view needle,
                                             std::chrono::milliseconds timeout) {
  return receive_until([&](const std::string& s) { return s.find(needle) != std::string::npos; },
                       timeout);
}

}  // namespace veltaro::peers
