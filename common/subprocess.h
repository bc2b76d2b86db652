// Running an outside program to its end without a shell: an argument list, its output captured,
// and a time-out after which it is killed and reaped so that no zombie or stray child remains.
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace veltaro::common {

struct ProcessResult {
  int exit_code = -1;  // -1 when a signal ended the program
  std::string standard_output;
  std::string standard_error;
};

// The program ran longer than its time-out; it was killed and reaped.
class ProcessTimeout : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Runs argv[0] (a path, not looked up on PATH) with the remaining arguments and waits at most
// `timeout`, with no other descriptor than the three standard ones. Standard input is `input`, fed
// whole while the output is read (a program that stops reading gets the rest dropped when it
// exits), or /dev/null without it. Throws ProcessTimeout past the time-out, std::runtime_error when
// the program cannot be started.
ProcessResult run_process(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                          std::optional<std::string_view> input = std::nullopt);

// `bytes` as UTF-8 text: each maximal ill-formed subsequence becomes one U+FFFD. Never throws
// except std::bad_alloc.
std::string utf8_replacing_invalid(std::string_view bytes);

}  // namespace veltaro::common
