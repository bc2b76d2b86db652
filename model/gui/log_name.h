// Session log file names and the times written into logs. Pure functions of their arguments (and
// of the local time zone), so that the rules can be tested on their own.
#pragma once

#include <chrono>
#include <ctime>
#include <filesystem>
#include <string>
#include <string_view>

namespace veltaro::gui {

using LogClock = std::chrono::system_clock;

// What a log name may refer to, as the session record gives it.
struct LogNameFields {
  std::string host;
  std::string port;
  std::string session;  // the session's name, or host:port when it has none
};

// `pattern` with "&H" (host), "&P" (port), "&N" (session name), "&Y" (year, four digits), "&M"
// (month), "&D" (day), "&T" (time HHMMSS) replaced, "&&" as "&", and any other "&x" kept as it is.
// The fields' values cannot leave the folder the pattern names: "/" and NUL become "_", and a
// value of "." or ".." becomes "_". Never throws but std::bad_alloc.
std::string expand_log_name(std::string_view pattern, const LogNameFields& fields,
                            const std::tm& local);

// Whether the name changes with the date ("&Y", "&M" or "&D" in it).
bool has_date_placeholder(std::string_view pattern) noexcept;

// Where an expanded name lives: "~" and "~/..." under `home`, a relative name under `home` too
// (the program has no working directory a user would think of), an absolute one as it is.
std::filesystem::path resolve_log_path(const std::string& expanded,
                                       const std::filesystem::path& home);

// The local time of `at`. Never throws.
std::tm local_time(LogClock::time_point at) noexcept;

// The first instant of the local day after the one `at` falls in.
LogClock::time_point next_local_midnight(LogClock::time_point at) noexcept;

// "2026-12-08 14:03:07", local time: the time in a marker line.
std::string marker_time(LogClock::time_point at);

// "[2026-12-08 14:03:07.123] ", local time to the millisecond, for the start of a text log line.
// Remembers the last second it formatted, since most lines of a burst share it. One instance per
// thread.
class LineStamp {
 public:
  const std::string& at(LogClock::time_point t);

 private:
  std::time_t second_ = -1;
  int millis_ = -1;
  std::string text_;
};

}  // namespace veltaro::gui
