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

constexpr std::size_t kStreamBytes = 200u << 20;
constexpr std::size_t kWrite = 64u << 10;
// What each reader asks for at once, the same as a tab's reader.
constexpr std::size_t kRead = gui::VeltaroApp::kReadSize;

const std::string& stream_block() {
  static const std::string block = ascii_text(kWrite).substr(0, kWrite);
  return block;
}

void BM_PlainSocketReader(benchmark::State& state) {
  measure_plain_reader(state, stream_block(), kStreamBytes, kRead);
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
  measure_tab_beside_plain_reader(state, "raw", stream_block(), kStreamBytes, kRead);
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
    ->Repetitions(31);

}  // namespace
}  // namespace veltaro::bench

BENCHMARK_MAIN();
