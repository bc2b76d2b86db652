// veltaro-headless: the back end over JSON lines, for tests, benchmarks and scripting.
#include "common/ipc_tables.h"
#include "model/gui/veltaro_app.h"
#include "tools/headless/headless_host.h"

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <iostream>

int main() {
  std::signal(SIGPIPE, SIG_IGN);
  // Protocol lines own standard output; whatever the application prints goes to standard error.
  const int protocol_fd = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
  if (protocol_fd < 0 || ::dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
    std::perror("veltaro-headless: cannot set up standard output");
    return 1;
  }
  std::ios::sync_with_stdio(false);
  auto out = std::make_shared<veltaro::headless::LineWriter>(protocol_fd);
  auto host = std::make_shared<veltaro::headless::HeadlessHost>(std::cin, out);
  veltaro::gui::run_gui({}, {}, host);
  std::fflush(stdout);
  std::fflush(stderr);
  // Reader and connect threads may still run; static destructors must not run under them.
  ::_exit(0);
}
