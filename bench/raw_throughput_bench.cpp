// A raw TCP tab end to end: a local sender writes the stream, the tab's reader decodes and
// buffers it, and this thread drains it the way the page does. Beside it, a plain socket reader
// of the same stream from the same sender.
#include "bench_support.h"
#include "model/transports/raw_backend/raw_backend.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <thread>

namespace veltaro::bench {
namespace {

using common::Json;

constexpr std::size_t kStreamBytes = 200u << 20;
constexpr std::size_t kWrite = 64u << 10;
// What each reader asks for at once, the same as a tab's reader.
constexpr std::size_t kRead = 64u << 10;

const std::string& stream_block() {
  static const std::string block = ascii_text(kWrite).substr(0, kWrite);
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
void BM_RawBackendAlone(benchmark::State& state) {
  std::size_t got = 0;
  for (auto _ : state) {
    LoopbackListener listener;
    std::thread sender = start_stream_sender(listener, stream_block(), kStreamBytes);
    raw::RawBackend t("127.0.0.1", listener.port, std::chrono::seconds(15));
    t.connect();
    got = 0;
    for (std::string data; !(data = t.recv(kRead)).empty();) got += data.size();
    t.close();
    sender.join();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kStreamBytes));
  state.counters["received_MB"] = static_cast<double>(got) / 1e6;
}

void BM_RawTabToDrain(benchmark::State& state) {
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
        Json{{"protocol", "raw"}, {"host", "127.0.0.1"}, {"port", listener.port}})["id"];
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
  // Less than the stream means output was lost on the way.
  state.counters["drained_MB"] = static_cast<double>(drained) / 1e6;
}

BENCHMARK(BM_PlainSocketReader)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(1)
    ->Repetitions(5);
BENCHMARK(BM_RawBackendAlone)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1)
    ->Repetitions(5);
// Each repetition is a pair timed back to back; the machine's speed swings by a third between
// pairs, so the ratio's median wants more of them than the times do.
BENCHMARK(BM_RawTabToDrain)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(1)
    ->Repetitions(11);

}  // namespace
}  // namespace veltaro::bench

BENCHMARK_MAIN();
