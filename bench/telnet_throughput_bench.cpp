// A Telnet tab end to end: a local sender writes a stream with an escaped 0xFF (IAC IAC) every
// 256 bytes, so the reader's command path runs all the time, and this thread drains the tab the
// way the page does. Beside it, a plain socket reader of the same stream from the same sender.
#include "bench_support.h"
#include "model/transports/telnet_backend/telnet_backend.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <thread>

namespace veltaro::bench {
namespace {

using common::Json;

constexpr std::size_t kStreamBytes = 200u << 20;
constexpr std::size_t kWrite = 64u << 10;
constexpr std::size_t kIacEvery = 256;
// What each reader asks for at once, the same as a tab's reader.
constexpr std::size_t kRead = 64u << 10;

// Text lines with IAC IAC in place of two characters every kIacEvery bytes.
const std::string& stream_block() {
  static const std::string block = [] {
    std::string b = ascii_text(kWrite).substr(0, kWrite);
    for (std::size_t i = kIacEvery - 2; i + 1 < b.size(); i += kIacEvery) {
      b[i] = '\xff';
      b[i + 1] = '\xff';
    }
    return b;
  }();
  return block;
}

void BM_PlainSocketReader(benchmark::State& state) {
  std::size_t got = 0;
  for (auto _ : state) {
    const PlainRead run = time_plain_reader(stream_block(), kStreamBytes, kRead);
    got = run.received;
    state.SetIterationTime(run.seconds);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kStreamBytes));
  state.counters["received_MB"] = static_cast<double>(got) / 1e6;
}

// The transport alone, to tell its cost from the tab's.
void BM_TelnetBackendAlone(benchmark::State& state) {
  std::size_t got = 0;
  for (auto _ : state) {
    LoopbackListener listener;
    std::thread sender = start_stream_sender(listener, stream_block(), kStreamBytes);
    telnet::TelnetOptions options;
    options.host = "127.0.0.1";
    options.port = listener.port;
    telnet::TelnetBackend t(options);
    t.connect();
    got = 0;
    for (std::string data; !(data = t.recv(kRead)).empty();) got += data.size();
    t.close();
    sender.join();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kStreamBytes));
  state.counters["received_MB"] = static_cast<double>(got) / 1e6;
}

void BM_TelnetTabToDrain(benchmark::State& state) {
  set_up_as_the_application();
  auto app = std::make_shared<gui::VeltaroApp>(common::QueueTable{}, common::EventTable{});
  auto window = std::make_shared<NotingWindow>();
  app->set_window(window);
  std::size_t drained = 0;
  double ratio = 0;
  long faults = 0;
  for (auto _ : state) {
    // The plain reader just before, so that the machine's drift from one repetition to the next
    // falls on both.
    const double plain = time_plain_reader(stream_block(), kStreamBytes, kRead).seconds;
    LoopbackListener listener;
    const std::string sid = app->save_session(
        Json{{"protocol", "telnet"}, {"host", "127.0.0.1"}, {"port", listener.port}})["id"];
    const TabStream run =
        stream_through_tab(*app, *window, listener, sid, stream_block(), kStreamBytes);
    drained = run.drained;
    faults = run.page_faults;
    state.SetIterationTime(run.seconds);
    ratio = plain / run.seconds;
    app->delete_session(sid);
  }
  // The plain reader's time over the tab's, in this repetition.
  state.counters["plain_ratio"] = ratio;
  // Memory the allocator handed back and took again shows here; each fault costs microseconds.
  state.counters["page_faults"] = static_cast<double>(faults);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kStreamBytes));
  // Each escaped pair arrives as one 0xFF, shown as U+FFFD (three bytes of UTF-8): the drained
  // size is the stream's plus one byte per pair when nothing was lost.
  state.counters["drained_MB"] = static_cast<double>(drained) / 1e6;
}

BENCHMARK(BM_PlainSocketReader)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(1)
    ->Repetitions(5);
BENCHMARK(BM_TelnetBackendAlone)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1)
    ->Repetitions(5);
// Each repetition is a pair timed back to back; the machine's speed swings by a third between
// pairs, so the ratio's median wants more of them than the times do.
BENCHMARK(BM_TelnetTabToDrain)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(1)
    ->Repetitions(11);

}  // namespace
}  // namespace veltaro::bench

BENCHMARK_MAIN();
