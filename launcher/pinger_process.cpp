#include "pinger_process.h"

#include "common/diag.h"
#include "model/main/host_pinger.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <thread>

namespace veltaro::launcher {

namespace {
using namespace std::chrono_literals;
constexpr auto kReapPoll = 20ms;

// The child keeps standard output and error for its log lines and nothing else: the tables are
// mapped, not held by descriptors, and the parent's sockets and pipes are none of its business.
void keep_only_log_streams() {
  const int null_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (null_fd >= 0) {
    ::dup2(null_fd, STDIN_FILENO);
    ::close(null_fd);
  }
  if (::syscall(SYS_close_range, 3U, ~0U, 0U) != 0) {
    for (long fd = 3, last = ::sysconf(_SC_OPEN_MAX); fd < last; ++fd) {
      ::close(static_cast<int>(fd));
    }
  }
}

[[noreturn]] void run_child(const common::InterprocessTables& tables, pid_t parent) {
  // The pinger must not outlive the application, also when the application crashes.
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() != parent) ::_exit(0);
  keep_only_log_streams();
  pinger::receipt(tables.queues(), tables.events());
  std::fflush(stdout);
  std::fflush(stderr);
  // Probe threads may still run; static destructors must not run under them.
  ::_exit(0);
}

bool reaped(pid_t pid) {
  int status = 0;
  const pid_t r = ::waitpid(pid, &status, WNOHANG);
  return r == pid || (r < 0 && errno == ECHILD);
}
}  // namespace

std::unique_ptr<PingerProcess> PingerProcess::launch() noexcept {
  try {
    common::InterprocessTables::remove_stale();
    common::InterprocessTables tables = common::InterprocessTables::create();
    const pid_t parent = ::getpid();
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = ::fork();
    if (pid == 0) run_child(tables, parent);
    const int err = errno;
    // Both processes hold the mappings now and nobody else needs the names. Removing them here
    // leaves nothing behind however the application ends (its quit action ends the process
    // with _exit, and the pinger dies with it).
    tables.remove_names();
    if (pid < 0) {
      common::diag("[launcher]", std::string("cannot start the pinger: ") + std::strerror(err));
      return nullptr;
    }
    return std::make_unique<PingerProcess>(std::move(tables), pid);
  } catch (const std::exception& e) {
    common::diag("[launcher]", std::string("cannot start the pinger: ") + e.what());
  } catch (...) {
    common::diag("[launcher]", "cannot start the pinger");
  }
  return nullptr;
}

void PingerProcess::finish(std::chrono::milliseconds grace) noexcept {
  const auto end = std::chrono::steady_clock::now() + grace;
  bool gone = reaped(pid_);
  while (!gone && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(kReapPoll);
    gone = reaped(pid_);
  }
  if (!gone) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
}

}  // namespace veltaro::launcher
