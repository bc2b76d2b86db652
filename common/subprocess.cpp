#include "subprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace veltaro::common {

namespace {

using Clock = std::chrono::steady_clock;
// How often a program that closed its output is checked for having exited.
constexpr std::chrono::milliseconds kReapStep{10};

class Pipe {
 public:
  Pipe() {
    if (::pipe2(fds_.data(), O_CLOEXEC) != 0) {
      throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    }
  }
  ~Pipe() {
    close_read();
    close_write();
  }
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;
  int read_end() const noexcept { return fds_[0]; }
  int write_end() const noexcept { return fds_[1]; }
  void close_read() noexcept { close_fd(fds_[0]); }
  void close_write() noexcept { close_fd(fds_[1]); }

 private:
  static void close_fd(int& fd) noexcept {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
  std::array<int, 2> fds_{-1, -1};
};

class FileActions {
 public:
  FileActions() { ::posix_spawn_file_actions_init(&actions_); }
  ~FileActions() { ::posix_spawn_file_actions_destroy(&actions_); }
  FileActions(const FileActions&) = delete;
  FileActions& operator=(const FileActions&) = delete;
  posix_spawn_file_actions_t* get() noexcept { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

int remaining_ms(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// Reads what is waiting on `fd` into `out`; false at end of file or on an error.
bool drain(int fd, std::string& out) {
  char buf[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) {
      out.append(buf, static_cast<std::size_t>(n));
      return true;
    }
    if (n < 0 && errno == EINTR) continue;
    return false;
  }
}

void kill_and_reap(pid_t pid) noexcept {
  ::kill(pid, SIGKILL);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace

ProcessResult run_process(const std::vector<std::string>& argv, std::chrono::milliseconds timeout) {
  if (argv.empty()) throw std::runtime_error("no program given");
  const auto deadline = Clock::now() + timeout;
  Pipe out;
  Pipe err;
  FileActions actions;
  ::posix_spawn_file_actions_addopen(actions.get(), 0, "/dev/null", O_RDONLY, 0);
  ::posix_spawn_file_actions_adddup2(actions.get(), out.write_end(), 1);
  ::posix_spawn_file_actions_adddup2(actions.get(), err.write_end(), 2);
  // Whatever another thread opened without close-on-exec (a library's socket, say) stays here.
  ::posix_spawn_file_actions_addclosefrom_np(actions.get(), 3);

  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, argv[0].c_str(), actions.get(), nullptr, args.data(), environ);
  if (rc != 0) throw std::runtime_error(argv[0] + ": " + std::strerror(rc));
  out.close_write();
  err.close_write();

  ProcessResult result;
  std::array<pollfd, 2> fds = {pollfd{out.read_end(), POLLIN, 0},
                               pollfd{err.read_end(), POLLIN, 0}};
  std::array<std::string*, 2> sinks = {&result.standard_output, &result.standard_error};
  int open_pipes = 2;
  while (open_pipes > 0) {
    const int wait = remaining_ms(deadline);
    if (wait == 0) {
      kill_and_reap(pid);
      throw std::runtime_error(argv[0] + " did not finish within " +
                               std::to_string(timeout.count() / 1000) + " s");
    }
    const int ready = ::poll(fds.data(), fds.size(), wait);
    if (ready < 0 && errno != EINTR) {
      const int e = errno;
      kill_and_reap(pid);
      throw std::runtime_error(std::string("poll: ") + std::strerror(e));
    }
    for (std::size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      if (!drain(fds[i].fd, *sinks[i])) {
        fds[i].fd = -1;  // poll skips negative descriptors; the Pipe closes the real one
        --open_pipes;
      }
    }
  }

  // Both pipes closed: the program is ending, but may still be running with them closed.
  for (;;) {
    int status = 0;
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) {
      result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      return result;
    }
    if (done < 0 && errno != EINTR)
      throw std::runtime_error(std::string("waitpid: ") + std::strerror(errno));
    if (remaining_ms(deadline) == 0) {
      kill_and_reap(pid);
      throw std::runtime_error(argv[0] + " did not finish within " +
                               std::to_string(timeout.count() / 1000) + " s");
    }
    std::this_thread::sleep_for(kReapStep);
  }
}

}  // namespace veltaro::common
