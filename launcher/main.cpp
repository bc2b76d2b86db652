// veltaro: the desktop application.
#include "model/desktop/desktop_entry.h"

#include <unistd.h>

#include <csignal>
#include <cstdio>

int main() {
  std::signal(SIGPIPE, SIG_IGN);
  // The pinger process joins here with its queue and event tables; until then the application
  // runs by itself with empty ones.
  veltaro::desktop::GUI({}, {});
  std::fflush(stdout);
  std::fflush(stderr);
  // Reader and connect threads may still run; static destructors must not run under them.
  ::_exit(0);
}
