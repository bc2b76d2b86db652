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

constexpr std::size_t kStreamBytes = 200u << 20;
constexpr std::size_t kWrite = 64u << 10;
constexpr std::size_t kIacEvery = 256;
// What each reader asks for at once, the same as a tab's reader.
constexpr std::size_t kRead = gui::VeltaroApp::kReadSize;

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
  measure_plain_reader(state, stream_block(), kStreamBytes, kRead);
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

// Each escaped pair arrives as one 0xFF, shown as U+FFFD (three bytes of UTF-8): drained_MB is the
// stream's size plus one byte per pair when nothing was lost.
void BM_TelnetTabToDrain(benchmark::State& state) {
  measure_tab_beside_plain_reader(state, "telnet", stream_block(), kStreamBytes, kRead);
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
    ->Repetitions(31);

}  // namespace
}  // namespace veltaro::bench

BENCHMARK_MAIN();
