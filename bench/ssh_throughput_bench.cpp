// An SSH-2 tab end to end against a local sshd: 200 MB of shell output through the channel,
// decoder and buffer to drain_terminal, beside OpenSSH's own client reading the same command's
// output from the same server in the same run; and the keystroke round trip, send_input to the
// echoed character in the buffer.
#include "bench_support.h"
#include "ssh_peers.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

extern char** environ;

namespace veltaro::bench {
namespace {

using common::Json;
using namespace std::chrono_literals;
namespace st = ssh2::testing;

constexpr std::size_t kStreamBytes = 200'000'000;
constexpr const char* kStreamCommand = "head -c 200000000 /dev/zero | tr '\\0' a";
constexpr auto kGiveUp = 180s;
constexpr int kKeystrokes = 200;

// One server and key for the whole run, so both clients meet the same sshd.
struct Server {
  st::TempDir keys;
  st::KeyPair key = st::make_key(keys / "id", "ed25519");
  st::Sshd sshd{st::SshdKind::kModern, {key.public_line}};
};

Server& server() {
  static Server s;
  return s;
}

// OpenSSH's client with a terminal on the far side, its output read and thrown away here.
void BM_OpenSshClient(benchmark::State& state) {
  Server& s = server();
  std::size_t got = 0;
  for (auto _ : state) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    ::posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    const std::vector<std::string> argv = {"/usr/bin/ssh",
                                           "-tt",
                                           "-q",
                                           "-o",
                                           "BatchMode=yes",
                                           "-o",
                                           "StrictHostKeyChecking=no",
                                           "-o",
                                           "UserKnownHostsFile=/dev/null",
                                           "-i",
                                           s.key.private_key.string(),
                                           "-p",
                                           std::to_string(s.sshd.port()),
                                           std::string(st::kTestUser) + "@127.0.0.1",
                                           kStreamCommand};
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, argv[0].c_str(), &actions, nullptr, args.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    if (rc != 0) throw std::runtime_error("cannot start ssh");
    std::string buf(64 << 10, '\0');
    got = 0;
    for (;;) {
      const ssize_t n = ::read(out[0], buf.data(), buf.size());
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
    }
    ::close(out[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kStreamBytes));
  state.counters["received_MB"] = static_cast<double>(got) / 1e6;
}

struct OpenTab {
  std::shared_ptr<gui::VeltaroApp> app;
  std::shared_ptr<NotingWindow> window;
  std::string sid;
  std::string tab;
};

// Saves a session for the bench server and waits until its tab is connected.
OpenTab open_ssh_tab() {
  OpenTab t;
  set_up_as_the_application();
  t.app = std::make_shared<gui::VeltaroApp>(common::QueueTable{}, common::EventTable{});
  t.window = std::make_shared<NotingWindow>();
  t.app->set_window(t.window);
  Server& s = server();
  t.sid = t.app->save_session(Json{{"protocol", "ssh"},
                                   {"host", "127.0.0.1"},
                                   {"port", s.sshd.port()},
                                   {"username", st::kTestUser},
                                   {"private_key", s.key.private_key.string()}})["id"];
  t.tab = t.app->connect_session(t.sid)["tab_id"];
  const auto deadline = std::chrono::steady_clock::now() + kGiveUp;
  while (t.window->connected.load() == 0) {
    if (std::chrono::steady_clock::now() >= deadline) throw std::runtime_error("never connected");
    std::this_thread::sleep_for(100us);
  }
  return t;
}

void BM_SshTabToDrain(benchmark::State& state) {
  std::size_t drained = 0;
  for (auto _ : state) {
    OpenTab t = open_ssh_tab();
    const auto start = std::chrono::steady_clock::now();
    t.app->send_input(t.tab, std::string(kStreamCommand) + "; exit\r");
    drained = drain_until_ended(*t.app, *t.window, t.tab, 0, start + kGiveUp);
    state.SetIterationTime(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    t.app->close_tab(t.tab);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kStreamBytes));
  // Less than the stream means output was lost on the way.
  state.counters["drained_MB"] = static_cast<double>(drained) / 1e6;
}

void BM_KeystrokeRoundTrip(benchmark::State& state) {
  OpenTab t = open_ssh_tab();
  // Let the prompt arrive so that only echoes are read below.
  const auto settle = std::chrono::steady_clock::now() + 2s;
  while (std::chrono::steady_clock::now() < settle) {
    t.app->drain_terminal(t.tab);
    std::this_thread::sleep_for(10ms);
  }
  std::vector<double> samples;
  for (auto _ : state) {
    samples.clear();
    for (int i = 0; i < kKeystrokes; ++i) {
      const auto start = std::chrono::steady_clock::now();
      t.app->send_input(t.tab, "a");
      const auto deadline = start + 10s;
      for (;;) {
        if (t.app->drain_terminal(t.tab).find('a') != std::string::npos) break;
        if (std::chrono::steady_clock::now() >= deadline) throw std::runtime_error("no echo");
      }
      samples.push_back(
          std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
              .count());
    }
    t.app->send_input(t.tab, "\x15");  // clear the typed line for the next repetition
    std::this_thread::sleep_for(50ms);
    t.app->drain_terminal(t.tab);
  }
  std::sort(samples.begin(), samples.end());
  state.counters["median_us"] = samples[samples.size() / 2];
  state.counters["p90_us"] = samples[samples.size() * 9 / 10];
  t.app->close_tab(t.tab);
}

BENCHMARK(BM_OpenSshClient)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1)
    ->Repetitions(3);
BENCHMARK(BM_SshTabToDrain)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(1)
    ->Repetitions(3);
BENCHMARK(BM_KeystrokeRoundTrip)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(3);

}  // namespace
}  // namespace veltaro::bench

BENCHMARK_MAIN();
