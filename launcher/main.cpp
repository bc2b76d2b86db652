// veltaro: the desktop application with its host pinger process.
#include "common/allocator_policy.h"
#include "launcher/pinger_process.h"
#include "model/desktop/desktop_entry.h"

#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>

namespace {
// The pinger notices the "end" event within half a second unless it is in the middle of a round.
constexpr std::chrono::milliseconds kPingerGrace{1500};
}  // namespace

int main() {
  veltaro::common::keep_freed_memory_for_reuse();
  veltaro::desktop::prepare_environment();
  std::signal(SIGPIPE, SIG_IGN);
  // Before any thread exists: the pinger process is forked from here.
  auto pinger = veltaro::launcher::PingerProcess::launch();
  if (pinger) {
    veltaro::desktop::GUI(pinger->queues(), pinger->events());
  } else {
    veltaro::desktop::GUI({}, {});
  }
  if (pinger) pinger->finish(kPingerGrace);
  std::fflush(stdout);
  std::fflush(stderr);
  // Reader and connect threads may still run; static destructors must not run under them.
  ::_exit(0);
}
