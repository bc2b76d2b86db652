// veltaro-headless: the back end over JSON lines, for tests, benchmarks and scripting.
#include "common/allocator_policy.h"
#include "common/ipc_tables.h"
#include "launcher/pinger_process.h"
#include "model/gui/veltaro_app.h"
#include "tools/headless/headless_host.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>

namespace {
constexpr std::chrono::milliseconds kPingerGrace{1500};
}  // namespace

int main(int argc, char** argv) {
  bool with_pinger = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--with-pinger") == 0) {
      with_pinger = true;
    } else {
      std::fprintf(stderr, "veltaro-headless: unknown option %s (known: --with-pinger)\n", argv[i]);
      return 2;
    }
  }
  veltaro::common::keep_freed_memory_for_reuse();
  std::signal(SIGPIPE, SIG_IGN);
  // Protocol lines own standard output; whatever the application prints goes to standard error.
  const int protocol_fd = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
  if (protocol_fd < 0 || ::dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
    std::perror("veltaro-headless: cannot set up standard output");
    return 1;
  }
  // Forked before any thread exists and after standard output went to standard error, so the
  // pinger's lines never mix with protocol lines.
  auto pinger = with_pinger ? veltaro::launcher::PingerProcess::launch() : nullptr;
  std::ios::sync_with_stdio(false);
  auto out = std::make_shared<veltaro::headless::LineWriter>(protocol_fd);
  auto host = std::make_shared<veltaro::headless::HeadlessHost>(std::cin, out);
  if (pinger) {
    veltaro::gui::run_gui(pinger->queues(), pinger->events(), host);
    pinger->finish(kPingerGrace);
  } else {
    veltaro::gui::run_gui({}, {}, host);
  }
  std::fflush(stdout);
  std::fflush(stderr);
  // Reader and connect threads may still run; static destructors must not run under them.
  ::_exit(0);
}
