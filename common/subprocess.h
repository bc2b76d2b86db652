// Running an outside program to its end without a shell: an argument list, its output captured,
// and a time-out after which it is killed and reaped so that no zombie or stray child remains.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace veltaro::common {

struct ProcessResult {
  int exit_code = -1;  // -1 when a signal ended the program
  std::string standard_output;
  std::string standard_error;
};

// Runs argv[0] (a path, not looked up on PATH) with the remaining arguments, standard input
// from /dev/null and no other descriptor than the three standard ones, and waits at most
// `timeout`. Throws std::runtime_error when the program cannot
// be started or runs longer than `timeout` (it is then killed and reaped first).
ProcessResult run_process(const std::vector<std::string>& argv, std::chrono::milliseconds timeout);

}  // namespace veltaro::common
