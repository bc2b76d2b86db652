// A serial tab end to end on a socat pseudo-terminal at 921600 baud settings: the device sends
// for 30 s, at the line's own rate (10 bits a byte) and then as fast as the pty takes it; the
// tab's reader decodes and buffers it, and this thread drains it the way the page does. Also the
// CPU the reader costs while its device is silent.
#include "bench_support.h"
#include "socat_pty.h"

#include <benchmark/benchmark.h>

#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace veltaro::bench {
namespace {

using common::Json;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kSendFor = 30s;
constexpr auto kIdleFor = 10s;
constexpr auto kGiveUp = 60s;
constexpr auto kPollInterval = 1ms;
constexpr std::size_t kWrite = 4096;
constexpr double kLineBytesPerSecond = 921600.0 / 10;  // start, 8 data and stop bit

struct SerialTab {
  std::shared_ptr<gui::VeltaroApp> app;
  std::shared_ptr<NotingWindow> window;
  std::string tab;
  std::size_t banner_bytes = 0;
};

// Opens a serial tab on the pty and drains its banner.
SerialTab open_tab(const peers::SocatPty& pty) {
  set_up_as_the_application();
  SerialTab t;
  t.app = std::make_shared<gui::VeltaroApp>(common::QueueTable{}, common::EventTable{});
  t.window = std::make_shared<NotingWindow>();
  t.app->set_window(t.window);
  const std::string com = pty.device().string();
  const std::string sid =
      t.app->save_session(Json{{"protocol", "serial"}, {"host", com}, {"port", 921600}})["id"];
  t.tab = t.app->connect_session(sid)["tab_id"];
  const std::string banner = "\r\n--- 已連接 " + com + " @ 921600 ---\r\n";
  std::string got;
  for (const auto deadline = Clock::now() + 10s;
       got.size() < banner.size() && Clock::now() < deadline;
       std::this_thread::sleep_for(kPollInterval)) {
    got += t.app->drain_terminal(t.tab);
  }
  t.banner_bytes = got.size();
  return t;
}

// CPU seconds the thread named `name` of this process has used.
double thread_cpu_seconds(const std::string& name) {
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream comm(task.path() / "comm");
    std::string got;
    std::getline(comm, got);
    if (got != name) continue;
    std::ifstream stat(task.path() / "stat");
    std::string line;
    std::getline(stat, line);
    std::istringstream rest(line.substr(line.rfind(')') + 2));
    std::string field;
    long long utime = 0;
    long long stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
      if (i == 14) utime = std::stoll(field);
      if (i == 15) stime = std::stoll(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
  }
  return -1;
}

// state.range(0): 1 paces the device at the line rate, 0 sends flat out. A serial tab cannot
// hold its device back, so a page that falls more than the buffer limit behind loses output.
void BM_SerialTabToDrain(benchmark::State& state) {
  const bool paced = state.range(0) == 1;
  std::atomic<std::size_t> sent{0};
  std::size_t received = 0;
  std::size_t largest_drain = 0;
  for (auto _ : state) {
    peers::SocatPty pty;
    SerialTab t = open_tab(pty);
    std::atomic<bool> sending{true};
    sent.store(0);
    largest_drain = 0;
    std::thread device([&] {
      const std::string block = ascii_text(kWrite).substr(0, kWrite);
      const auto begin = Clock::now();
      for (const auto until = begin + kSendFor; Clock::now() < until;) {
        pty.send(block);
        sent += block.size();
        if (paced) {
          std::this_thread::sleep_until(
              begin + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                          static_cast<double>(sent.load()) / kLineBytesPerSecond)));
        }
      }
      sending.store(false);
    });
    const auto start = Clock::now();
    received = 0;
    for (const auto deadline = start + kGiveUp; Clock::now() < deadline;) {
      const std::size_t n = t.app->drain_terminal(t.tab).size();
      received += n;
      largest_drain = std::max(largest_drain, n);
      if (!sending.load() && received >= sent.load()) break;
      std::this_thread::sleep_for(kPollInterval);
    }
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    device.join();
    t.app->close_tab(t.tab);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(sent.load()));
  state.counters["sent_MB"] = static_cast<double>(sent.load()) / 1e6;
  state.counters["received_MB"] = static_cast<double>(received) / 1e6;
  state.counters["lost_bytes"] = static_cast<double>(sent.load()) - static_cast<double>(received);
  state.counters["largest_drain_bytes"] = static_cast<double>(largest_drain);
}

// The reader of a silent device: a read and a 0.02 s pause, over and over.
void BM_SerialReaderIdleCpu(benchmark::State& state) {
  double share = 0;
  for (auto _ : state) {
    peers::SocatPty pty;
    SerialTab t = open_tab(pty);
    const std::string name = ("serial-" + t.tab).substr(0, 15);
    const double before = thread_cpu_seconds(name);
    std::this_thread::sleep_for(kIdleFor);
    const double after = thread_cpu_seconds(name);
    share = before < 0 || after < 0
                ? -1
                : (after - before) / std::chrono::duration<double>(kIdleFor).count();
    t.app->close_tab(t.tab);
  }
  state.counters["reader_cpu_percent_of_one_core"] = share * 100;
}

BENCHMARK(BM_SerialTabToDrain)
    ->ArgName("paced")
    ->Arg(1)
    ->Arg(0)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(1);
BENCHMARK(BM_SerialReaderIdleCpu)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

}  // namespace
}  // namespace veltaro::bench

BENCHMARK_MAIN();
