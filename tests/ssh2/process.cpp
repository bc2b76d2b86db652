#include "process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace veltaro::ssh2::testing {

namespace {

constexpr std::chrono::milliseconds kReapStep{20};
constexpr std::chrono::seconds kStopWait{5};

std::vector<std::string> environment_with(const std::map<std::string, std::string>& extra) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry(*e);
    const auto eq = entry.find('=');
    if (eq != std::string::npos && extra.count(entry.substr(0, eq)) != 0) continue;
    env.push_back(entry);
  }
  for (const auto& [key, value] : extra) env.push_back(key + "=" + value);
  return env;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (auto& s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

}  // namespace

Process Process::spawn(const std::vector<std::string>& argv, const SpawnOptions& options) {
  if (argv.empty()) throw std::invalid_argument("no program");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const std::string in = options.stdin_file.empty() ? "/dev/null" : options.stdin_file.string();
  const std::string out = options.output_file.empty() ? "/dev/null" : options.output_file.string();
  posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  std::vector<std::string> args = argv;
  std::vector<std::string> env = environment_with(options.env);
  auto arg_ptrs = pointers(args);
  auto env_ptrs = pointers(env);
  pid_t pid = -1;
  const int rc =
      ::posix_spawn(&pid, args[0].c_str(), &actions, nullptr, arg_ptrs.data(), env_ptrs.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
  return Process(pid);
}

Process::~Process() {
  stop();
}

int Process::wait(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int status = 0;
    const pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    if (r < 0 && errno != EINTR) throw std::runtime_error("waitpid failed");
    if (std::chrono::steady_clock::now() >= deadline) {
      stop();
      throw std::runtime_error("a child process did not finish in time");
    }
    std::this_thread::sleep_for(kReapStep);
  }
}

bool Process::running() {
  if (pid_ < 0) return false;
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) == pid_) {
    pid_ = -1;
    return false;
  }
  return true;
}

void Process::stop() noexcept {
  if (pid_ < 0) return;
  ::kill(pid_, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + kStopWait;
  int status = 0;
  while (::waitpid(pid_, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
      break;
    }
    std::this_thread::sleep_for(kReapStep);
  }
  pid_ = -1;
}

namespace {

// Every process's parent, read from /proc.
std::map<pid_t, pid_t> parents() {
  std::map<pid_t, pid_t> out;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
    std::ifstream stat(entry.path() / "stat");
    std::string line;
    if (!std::getline(stat, line)) continue;
    // pid (comm) state ppid ...: comm may hold blanks, so read after the last ')'.
    std::istringstream rest(line.substr(line.rfind(')') + 1));
    std::string state;
    pid_t ppid = 0;
    if (rest >> state >> ppid) out[static_cast<pid_t>(std::atoi(line.c_str()))] = ppid;
  }
  return out;
}

}  // namespace

void Process::wait_for_children(std::chrono::milliseconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  const auto has_children = [this] {
    for (const auto& [pid, ppid] : parents()) {
      if (ppid == pid_) return true;
    }
    return false;
  };
  while (pid_ > 0 && has_children() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(kReapStep);
  }
}

std::vector<pid_t> Process::descendants() const {
  const auto all = parents();
  std::vector<pid_t> found = {pid_};
  for (std::size_t i = 0; i < found.size(); ++i) {
    for (const auto& [pid, ppid] : all) {
      if (ppid == found[i]) found.push_back(pid);
    }
  }
  found.erase(found.begin());
  return found;
}

std::string run_tool(const std::vector<std::string>& argv, const SpawnOptions& options,
                     std::chrono::milliseconds timeout) {
  TempDir scratch;
  SpawnOptions with_output = options;
  with_output.output_file = scratch / "output";
  auto process = Process::spawn(argv, with_output);
  const int status = process.wait(timeout);
  std::string output;
  if (std::filesystem::exists(with_output.output_file)) output = read_text(with_output.output_file);
  if (status != 0) {
    throw std::runtime_error(argv[0] + " failed (status " + std::to_string(status) +
                             "): " + output);
  }
  return output;
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "veltaro-ssh2-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

void write_text(const std::filesystem::path& file, const std::string& text) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << text;
  if (!out.flush()) throw std::runtime_error("cannot write " + file.string());
}

std::string read_text(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + file.string());
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

}  // namespace veltaro::ssh2::testing
