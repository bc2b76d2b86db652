// A raw TCP tab with and without a session log: the same 200 MB stream from a local sender, drained
// the way the page does, timed from the connected notice to the end of the stream. The log's
// writer thread must not slow the tab's reader; logged_MB shows that the log kept every byte.
// At full speed the sender, the reader and the drain keep both of a small machine's cores busy,
// and the log's file writes must share them; the gigabit runs pace the sender as a real peer.
#include "bench_support.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

namespace veltaro::bench {
namespace {

using common::Json;

constexpr std::size_t kStreamBytes = 200u << 20;
constexpr std::size_t kWrite = 64u << 10;

// Terminal-like lines; the coloured ones make a text log take escape sequences out.
const std::string& stream_block(bool coloured) {
  static const std::string plain = ascii_text(kWrite).substr(0, kWrite);
  static const std::string colour = [] {
    std::string out;
    while (out.size() < kWrite) {
      out += "\x1b[01;34mfirmware-esp32-s3\x1b[0m  \x1b[01;32mbuild.sh\x1b[0m  notes.txt\r\n";
    }
    return out.substr(0, kWrite);
  }();
  return coloured ? colour : plain;
}

std::uintmax_t size_or_zero(const std::filesystem::path& p) {
  std::error_code ec;
  const auto n = std::filesystem::file_size(p, ec);
  return ec ? 0 : n;
}

// A peer on a gigabit line sends terminal output at most this fast.
constexpr double kGigabitPayload = 117e6;

// `log` holds the session's log fields (empty: no log); `rate` paces the sender (0: full speed).
void run_tab(benchmark::State& state, const Json& log, bool coloured, double rate = 0) {
  set_up_as_the_application();
  const std::filesystem::path log_dir = std::getenv("XDG_DATA_HOME");
  auto app = std::make_shared<gui::VeltaroApp>(common::QueueTable{}, common::EventTable{});
  auto window = std::make_shared<NotingWindow>();
  app->set_window(window);
  std::size_t drained = 0;
  std::uintmax_t logged = 0;
  for (auto _ : state) {
    LoopbackListener listener;
    Json rec{{"protocol", "raw"}, {"host", "127.0.0.1"}, {"port", listener.port}};
    const auto file = log_dir / ("log-" + std::to_string(listener.port) + ".log");
    if (!log.empty()) {
      rec.update(log);
      rec["log_file"] = file.string();
    }
    const std::string sid = app->save_session(rec)["id"];
    const TabStream run = stream_through_tab(*app, *window, listener, sid, stream_block(coloured),
                                             kStreamBytes, rate);
    drained = run.drained;
    state.SetIterationTime(run.seconds);
    app->delete_session(sid);
    logged = size_or_zero(file);
    std::filesystem::remove(file);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kStreamBytes));
  state.counters["drained_MB"] = static_cast<double>(drained) / 1e6;
  // The file holds the stream and two marker lines (a text log of the coloured stream is smaller:
  // its escape sequences and CRs are gone).
  state.counters["logged_MB"] = static_cast<double>(logged) / 1e6;
}

void BM_TabUnlogged(benchmark::State& state) {
  run_tab(state, Json::object(), false);
}
void BM_TabTextLog(benchmark::State& state) {
  run_tab(state, Json{{"log_mode", "text"}}, false);
}
void BM_TabTextLogStamped(benchmark::State& state) {
  run_tab(state, Json{{"log_mode", "text"}, {"log_timestamps", true}}, false);
}
void BM_TabRawLog(benchmark::State& state) {
  run_tab(state, Json{{"log_mode", "raw"}}, false);
}
// The same stream from a peer at gigabit speed: the machine has time to spare, as with real peers,
// and a log that keeps up leaves the tab's pace as it is.
void BM_GigabitTabUnlogged(benchmark::State& state) {
  run_tab(state, Json::object(), true, kGigabitPayload);
}
void BM_GigabitTabTextLogStamped(benchmark::State& state) {
  run_tab(state, Json{{"log_mode", "text"}, {"log_timestamps", true}}, true, kGigabitPayload);
}
void BM_GigabitTabRawLog(benchmark::State& state) {
  run_tab(state, Json{{"log_mode", "raw"}}, true, kGigabitPayload);
}
void BM_ColouredTabUnlogged(benchmark::State& state) {
  run_tab(state, Json::object(), true);
}
void BM_ColouredTabTextLogStamped(benchmark::State& state) {
  run_tab(state, Json{{"log_mode", "text"}, {"log_timestamps", true}}, true);
}

#define VELTARO_TAB_BENCH(fn) \
  BENCHMARK(fn)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1)->Repetitions(7)

// Each paced run takes about two seconds.
#define VELTARO_GIGABIT_BENCH(fn) \
  BENCHMARK(fn)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1)->Repetitions(3)

VELTARO_TAB_BENCH(BM_TabUnlogged);
VELTARO_TAB_BENCH(BM_TabTextLog);
VELTARO_TAB_BENCH(BM_TabTextLogStamped);
VELTARO_TAB_BENCH(BM_TabRawLog);
VELTARO_TAB_BENCH(BM_ColouredTabUnlogged);
VELTARO_TAB_BENCH(BM_ColouredTabTextLogStamped);
VELTARO_GIGABIT_BENCH(BM_GigabitTabUnlogged);
VELTARO_GIGABIT_BENCH(BM_GigabitTabTextLogStamped);
VELTARO_GIGABIT_BENCH(BM_GigabitTabRawLog);

}  // namespace
}  // namespace veltaro::bench

BENCHMARK_MAIN();
