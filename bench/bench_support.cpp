#include "bench_support.h"

#include "common/allocator_policy.h"
#include "common/codec.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

namespace veltaro::bench {

void set_up_as_the_application() {
  common::keep_freed_memory_for_reuse();
  char pattern[] = "/tmp/veltaro-bench-XXXXXX";
  if (const char* dir = ::mkdtemp(pattern)) ::setenv("XDG_DATA_HOME", dir, 1);
}

void NotingWindow::evaluate_script(const std::string& script) {
  if (script.starts_with("terminalConnected(")) connected.fetch_add(1);
  // "─── 連線已結束 ───" as the page receives it.
  if (script.find("\\u9023\\u7dda\\u5df2\\u7d50\\u675f") != std::string::npos) ended.fetch_add(1);
}

namespace {
long minor_faults() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return usage.ru_minflt;
}

std::string repeat_lines(const std::string& line, std::size_t bytes) {
  std::string out;
  out.reserve(bytes + line.size());
  while (out.size() < bytes) out += line;
  return out;
}
}  // namespace

std::string ascii_text(std::size_t bytes) {
  return repeat_lines("drwxr-xr-x  2 build build  4096 Dec  8 01:35 firmware-esp32-s3-v2.1.0\n",
                      bytes);
}

std::string chinese_utf8_text(std::size_t bytes) {
  return repeat_lines("路由器介面狀態：已連線，封包遺失率百分之零，延遲十二毫秒。\n", bytes);
}

std::string chinese_big5_text(std::size_t bytes) {
  return common::encode("big5", chinese_utf8_text(bytes));
}

LoopbackListener::LoopbackListener() {
  fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 || ::listen(fd, 4) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    if (fd >= 0) ::close(fd);
    throw std::runtime_error("cannot listen on 127.0.0.1");
  }
  port = ntohs(addr.sin_port);
}

LoopbackListener::~LoopbackListener() {
  ::close(fd);
}

std::thread start_stream_sender(const LoopbackListener& listener, const std::string& block,
                                std::size_t bytes, double rate) {
  return std::thread([fd = listener.fd, &block, bytes, rate] {
    const int conn = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (conn < 0) return;
    const auto start = std::chrono::steady_clock::now();
    for (std::size_t sent = 0; sent < bytes;) {
      const ssize_t n = ::send(conn, block.data(), block.size(), MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<std::size_t>(n);
      if (rate > 0) {
        std::this_thread::sleep_until(
            start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                        std::chrono::duration<double>(static_cast<double>(sent) / rate)));
      }
    }
    ::shutdown(conn, SHUT_WR);
    char sink[4096];
    while (::recv(conn, sink, sizeof sink, 0) > 0) {
    }
    ::close(conn);
  });
}

namespace {

// The plain reader beside which the tabs are measured: connects to 127.0.0.1:`port` and reads
// `read_size` bytes at a time until the peer ends the stream. Returns the bytes read.
std::size_t read_plain_socket(int port, std::size_t read_size) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    if (fd >= 0) ::close(fd);
    throw std::runtime_error("cannot connect to the sender");
  }
  std::string buf(read_size, '\0');
  std::size_t got = 0;
  for (ssize_t n; (n = ::recv(fd, buf.data(), buf.size(), 0)) > 0;)
    got += static_cast<std::size_t>(n);
  ::close(fd);
  return got;
}

struct PlainRead {
  std::size_t received = 0;
  double seconds = 0;  // from starting the sender to the end of the stream
};

// The plain reader on `bytes` bytes of `block` from a sender of its own.
PlainRead time_plain_reader(const std::string& block, std::size_t bytes, std::size_t read_size) {
  LoopbackListener listener;
  const auto start = std::chrono::steady_clock::now();
  std::thread sender = start_stream_sender(listener, block, bytes);
  PlainRead result;
  result.received = read_plain_socket(listener.port, read_size);
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  sender.join();
  return result;
}

}  // namespace

std::size_t drain_until_ended(gui::VeltaroApp& app, const NotingWindow& window,
                              const std::string& tab, int ended_before,
                              std::chrono::steady_clock::time_point deadline) {
  constexpr std::chrono::milliseconds kLongPoll{1000};
  std::size_t drained = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    const bool over = window.ended.load() > ended_before;
    const std::string text =
        app.drain_terminal(tab, over ? std::chrono::milliseconds::zero() : kLongPoll);
    drained += text.size();
    if (over && text.empty()) break;
  }
  return drained;
}

TabStream stream_through_tab(gui::VeltaroApp& app, const NotingWindow& window,
                             const LoopbackListener& listener, const std::string& session_id,
                             const std::string& block, std::size_t bytes, double rate) {
  constexpr auto kGiveUp = std::chrono::seconds(120);
  const int ended_before = window.ended.load();
  const int connected_before = window.connected.load();
  std::thread sender = start_stream_sender(listener, block, bytes, rate);
  const std::string tab = app.connect_session(session_id)["tab_id"];
  const auto deadline = std::chrono::steady_clock::now() + kGiveUp;
  while (window.connected.load() == connected_before &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  const auto start = std::chrono::steady_clock::now();
  const long faults_before = minor_faults();
  TabStream result;
  result.drained = drain_until_ended(app, window, tab, ended_before, deadline);
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  result.page_faults = minor_faults() - faults_before;
  sender.join();
  app.close_tab(tab);
  return result;
}

void measure_plain_reader(benchmark::State& state, const std::string& block, std::size_t bytes,
                          std::size_t read_size) {
  std::size_t got = 0;
  for (auto _ : state) {
    const PlainRead run = time_plain_reader(block, bytes, read_size);
    got = run.received;
    state.SetIterationTime(run.seconds);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
  state.counters["received_MB"] = static_cast<double>(got) / 1e6;
}

void measure_tab_beside_plain_reader(benchmark::State& state, const char* protocol,
                                     const std::string& block, std::size_t bytes,
                                     std::size_t read_size) {
  set_up_as_the_application();
  auto app = std::make_shared<gui::VeltaroApp>(common::QueueTable{}, common::EventTable{});
  auto window = std::make_shared<NotingWindow>();
  app->set_window(window);
  TabStream run;
  double ratio = 0;
  for (auto _ : state) {
    const double plain = time_plain_reader(block, bytes, read_size).seconds;
    LoopbackListener listener;
    const std::string sid = app->save_session(
        common::Json{{"protocol", protocol}, {"host", "127.0.0.1"}, {"port", listener.port}})["id"];
    run = stream_through_tab(*app, *window, listener, sid, block, bytes);
    state.SetIterationTime(run.seconds);
    ratio = plain / run.seconds;
    app->delete_session(sid);
  }
  state.counters["plain_ratio"] = ratio;
  // Memory the allocator handed back and took again shows here; each fault costs microseconds.
  state.counters["page_faults"] = static_cast<double>(run.page_faults);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
  // Less than the stream means output was lost on the way.
  state.counters["drained_MB"] = static_cast<double>(run.drained) / 1e6;
}

}  // namespace veltaro::bench
