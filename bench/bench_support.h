// What the benchmarks share: a throw-away data directory, a window that notes status lines, and
// the sample texts.
#pragma once

#include "model/gui/veltaro_app.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <thread>

namespace veltaro::bench {

// Sets the process up as the application's entry does, with the data directory pointed at a new
// temporary directory (removed at exit is not worth it: /tmp).
void set_up_as_the_application();

class NotingWindow final : public gui::Window {
 public:
  void evaluate_script(const std::string& script) override;
  void show() override {}
  void hide() override {}
  void destroy() override {}
  std::atomic<int> connected{0};
  std::atomic<int> ended{0};
};

// `bytes` bytes of terminal-like text: lines of printable ASCII, of Chinese in UTF-8, or of
// Chinese in Big5, each line ending in LF.
std::string ascii_text(std::size_t bytes);
std::string chinese_utf8_text(std::size_t bytes);
std::string chinese_big5_text(std::size_t bytes);

// A listening socket on 127.0.0.1 at a free port.
struct LoopbackListener {
  int fd = -1;
  int port = 0;
  LoopbackListener();
  ~LoopbackListener();
  LoopbackListener(const LoopbackListener&) = delete;
  LoopbackListener& operator=(const LoopbackListener&) = delete;
};

// Accepts one connection on `listener` and writes `bytes` bytes of `block`, repeated, into it, at
// `rate` bytes a second (0: as fast as the socket takes them, as a local peer does).
// Then it ends its half and reads until the client closes: closing with the client's data unread
// (a Telnet client's offers) would reset the connection and lose the stream's tail.
std::thread start_stream_sender(const LoopbackListener& listener, const std::string& block,
                                std::size_t bytes, double rate = 0);

// Drains `tab` the way the page does, a long poll at a time, until the connection has ended (the
// window's end count is past `ended_before`) and nothing is left, or `deadline` passes. Returns the
// bytes drained.
std::size_t drain_until_ended(gui::VeltaroApp& app, const NotingWindow& window,
                              const std::string& tab, int ended_before,
                              std::chrono::steady_clock::time_point deadline);

struct TabStream {
  std::size_t drained = 0;
  double seconds = 0;    // from the tab's connected notice to the end of its output
  long page_faults = 0;  // the whole process's, over the same stretch
};

// Opens the saved session `session_id` while a sender on `listener` writes `bytes` bytes of
// `block`, drains its tab to the end and closes it. Timed from the connected notice: the tab's
// connect pause is not throughput.
TabStream stream_through_tab(gui::VeltaroApp& app, const NotingWindow& window,
                             const LoopbackListener& listener, const std::string& session_id,
                             const std::string& block, std::size_t bytes, double rate = 0);

// The plain reader as a benchmark of its own: one run of `bytes` bytes of `block` per iteration.
void measure_plain_reader(benchmark::State& state, const std::string& block, std::size_t bytes,
                          std::size_t read_size);

// A tab of `protocol` to a local sender of `bytes` bytes of `block`, drained as the page does,
// each iteration paired with a plain reader of the same stream timed just before it, so that the
// machine's drift from one repetition to the next falls on both. Reports the plain reader's time
// over the tab's (plain_ratio), the process's page faults during the tab run and the drained size.
void measure_tab_beside_plain_reader(benchmark::State& state, const char* protocol,
                                     const std::string& block, std::size_t bytes,
                                     std::size_t read_size);

}  // namespace veltaro::bench
