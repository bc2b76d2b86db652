// Drives a real veltaro-headless process over JSON lines, the way the page drives the back end:
// requests on its standard input, answers and script calls read from its standard output by a
// reader thread, standard error kept as text for assertions.
//
// Error contract: a request that gets no answer in time, or a program that cannot be started,
// throws std::runtime_error (the test fails; nothing hangs). Waits for scripts, output and
// stderr text return what they found and let the test judge it.
#pragma once

#include <sys/types.h>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

namespace veltaro::driver {

using Json = nlohmann::ordered_json;
using Ms = std::chrono::milliseconds;

// Generous for a sanitized build on a shared 2-core machine; nothing waits this long when the
// program works.
inline constexpr Ms kAnswerWait{15'000};
inline constexpr Ms kEventWait{10'000};

// One script the back end evaluated in the page, e.g. setTerminalInfo("1a2b3c4d", "...", false).
struct Script {
  std::string text;      // exactly as written
  std::string function;  // "setTerminalInfo", "terminalConnected"; empty when unparsable
  Json args;             // the argument list as JSON values (array), null when unparsable

  std::string tab() const;      // first argument when it is a string
  std::string message() const;  // second argument of setTerminalInfo
  bool is_error() const;        // third argument of setTerminalInfo
};

// Whether `s` is the status line the back end must write: arguments as JSON literals with every
// character outside ASCII as a lower-case \u escape, the last one the number of the drain whose
// text the line follows.
bool is_info_script(const Script& s, std::string_view tab, std::string_view message, bool is_error);
std::string connected_script(std::string_view tab);

struct ExitStatus {
  bool exited = false;  // ended by itself (false: killed after the time-out, or by a signal)
  int code = -1;        // exit code when exited
  int signal = 0;       // terminating signal otherwise
  bool timed_out = false;
  std::string describe() const;
};

class HeadlessClient {
 public:
  // Starts `program` with `args` and the current environment, where HOME and XDG_DATA_HOME are
  // replaced.
  HeadlessClient(const std::filesystem::path& program, const std::filesystem::path& home,
                 const std::filesystem::path& xdg_data_home,
                 const std::vector<std::string>& args = {});
  HeadlessClient(const HeadlessClient&) = delete;
  HeadlessClient& operator=(const HeadlessClient&) = delete;
  // Calls finish() when the test did not.
  ~HeadlessClient();

  // Sends one request and returns its whole answer line ({"id", "result"} or {"id", "error"}).
  Json request(std::string_view method, Json params = Json::array(), Ms timeout = kAnswerWait);

  // Sends one request and returns its "result"; throws when the answer carries none.
  Json call(std::string_view method, Json params = Json::array(), Ms timeout = kAnswerWait);

  // Writes one raw line to the program's standard input (for malformed input).
  void send_line(std::string_view line);

  // The first script (from index `from` on) that satisfies `match`, waiting up to `timeout`.
  std::optional<Script> wait_for_script(const std::function<bool(const Script&)>& match,
                                        Ms timeout = kEventWait, std::size_t from = 0);
  std::vector<Script> scripts() const;

  // Polls drain_terminal(tab) and accumulates the text until `done(text)` holds or the time-out
  // passes; returns the accumulated text either way.
  std::string drain_until(std::string_view tab, const std::function<bool(const std::string&)>& done,
                          Ms timeout = kEventWait);
  // drain_until the text contains `needle`.
  std::string drain_until_contains(std::string_view tab, std::string_view needle,
                                   Ms timeout = kEventWait);

  // Waits until the program's standard error contains `needle`.
  bool wait_for_stderr(std::string_view needle, Ms timeout = kEventWait);
  std::string stderr_text() const;

  // Lines on standard output that are neither an answer nor a script call.
  std::vector<std::string> stray_lines() const;

  // Closes standard input (the program's signal to shut down), waits for the exit, kills the
  // program when it does not end in time. Later calls return the first status.
  ExitStatus finish(Ms timeout = kAnswerWait);

  pid_t pid() const noexcept { return pid_; }

 private:
  void read_loop();
  void handle_stdout_line(std::string line);
  void close_stdin() noexcept;

  pid_t pid_ = -1;
  int stdin_fd_ = -1;
  int stdout_fd_ = -1;
  int stderr_fd_ = -1;
  std::thread reader_;

  std::mutex write_mu_;
  std::int64_t next_id_ = 1;

  mutable std::mutex mu_;
  std::condition_variable changed_;
  std::map<std::int64_t, Json> answers_;
  std::vector<Script> scripts_;
  std::vector<std::string> stray_;
  std::string stderr_;
  bool output_closed_ = false;

  std::optional<ExitStatus> status_;
};

}  // namespace veltaro::driver
