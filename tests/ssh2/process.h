// Outside programs for the SSH tests, started without a shell. Every wait has a time-out; a
// program that cannot be started or does not finish in time throws std::runtime_error, so the
// test fails instead of skipping.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace veltaro::ssh2::testing {

inline constexpr std::chrono::seconds kToolWait{30};

struct SpawnOptions {
  std::map<std::string, std::string> env;  // added to (or replacing in) this process's
  std::filesystem::path stdin_file;        // empty: /dev/null
  std::filesystem::path output_file;       // stdout and stderr, appended; empty: /dev/null
};

// A running child. Destruction ends it (SIGTERM, then SIGKILL) and reaps it.
class Process {
 public:
  static Process spawn(const std::vector<std::string>& argv, const SpawnOptions& options = {});
  Process(Process&& other) noexcept : pid_(other.pid_) { other.pid_ = -1; }
  Process& operator=(Process&&) = delete;
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;
  ~Process();

  // The exit status, or -1 for a signal. Throws when it has not ended within `timeout`.
  int wait(std::chrono::milliseconds timeout);
  bool running();
  void stop() noexcept;
  // Waits until the children it forked (a server's per-connection processes) have ended, so
  // that stopping it orphans none. Gives up after `timeout`.
  void wait_for_children(std::chrono::milliseconds timeout) const;
  // Its children, their children and so on, as they are now.
  std::vector<pid_t> descendants() const;

 private:
  explicit Process(pid_t pid) : pid_(pid) {}
  pid_t pid_;
};

// Runs a tool to its end and returns its output; throws when it fails or times out.
std::string run_tool(const std::vector<std::string>& argv, const SpawnOptions& options = {},
                     std::chrono::milliseconds timeout = kToolWait);

// A directory under the system's temporary directory, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const noexcept { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

void write_text(const std::filesystem::path& file, const std::string& text);
std::string read_text(const std::filesystem::path& file);

}  // namespace veltaro::ssh2::testing
