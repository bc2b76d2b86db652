#include "headless_client.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace veltaro::driver {

namespace {

using Clock = std::chrono::steady_clock;

constexpr Ms kDrainPoll{20};
constexpr Ms kExitPoll{10};
// After the program exited, how long its output pipes may stay open (held by a grandchild).
constexpr Ms kOutputLinger{2'000};

[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

int remaining_ms(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<Ms>(deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// A test process that writes to a program which has died must fail its test, not die of SIGPIPE.
void ignore_sigpipe_once() {
  static const bool done = [] {
    ::signal(SIGPIPE, SIG_IGN);
    return true;
  }();
  (void)done;
}

std::string ascii_literal(std::string_view text) {
  return Json(std::string(text)).dump(-1, ' ', /*ensure_ascii=*/true);
}

Script parse_script(std::string text) {
  Script s;
  s.text = std::move(text);
  const auto open = s.text.find('(');
  if (open == std::string::npos || s.text.empty() || s.text.back() != ')') return s;
  try {
    Json args = Json::parse("[" + s.text.substr(open + 1, s.text.size() - open - 2) + "]");
    s.function = s.text.substr(0, open);
    s.args = std::move(args);
  } catch (const Json::exception&) {
  }
  return s;
}

std::string tail(const std::string& text, std::size_t n = 2000) {
  return text.size() <= n ? text : "..." + text.substr(text.size() - n);
}

}  // namespace

std::string Script::tab() const {
  if (!args.is_array() || args.empty() || !args[0].is_string()) return {};
  return args[0].get<std::string>();
}

std::string Script::message() const {
  if (!args.is_array() || args.size() < 2 || !args[1].is_string()) return {};
  return args[1].get<std::string>();
}

bool Script::is_error() const {
  return args.is_array() && args.size() >= 3 && args[2].is_boolean() && args[2].get<bool>();
}

bool is_info_script(const Script& s, std::string_view tab, std::string_view message,
                    bool is_error) {
  const std::string head = "setTerminalInfo(" + ascii_literal(tab) + ", " + ascii_literal(message) +
                           ", " + (is_error ? "true" : "false") + ", ";
  if (s.text.size() <= head.size() + 1 || s.text.compare(0, head.size(), head) != 0) return false;
  const std::string_view drain(s.text.data() + head.size(), s.text.size() - head.size() - 1);
  return s.text.back() == ')' &&
         std::all_of(drain.begin(), drain.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string connected_script(std::string_view tab) {
  return "terminalConnected(" + ascii_literal(tab) + ")";
}

std::string ExitStatus::describe() const {
  if (timed_out) return "did not exit in time (killed)";
  if (exited) return "exited with code " + std::to_string(code);
  return "killed by signal " + std::to_string(signal);
}

HeadlessClient::HeadlessClient(const std::filesystem::path& program,
                               const std::filesystem::path& home,
                               const std::filesystem::path& xdg_data_home,
                               const std::vector<std::string>& args) {
  ignore_sigpipe_once();
  int in[2], out[2], err[2];
  if (::pipe2(in, O_CLOEXEC) != 0) fail("pipe");
  if (::pipe2(out, O_CLOEXEC) != 0) fail("pipe");
  if (::pipe2(err, O_CLOEXEC) != 0) fail("pipe");

  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string_view entry(*e);
    if (entry.starts_with("HOME=") || entry.starts_with("XDG_DATA_HOME=")) continue;
    env.emplace_back(entry);
  }
  env.push_back("HOME=" + home.string());
  env.push_back("XDG_DATA_HOME=" + xdg_data_home.string());
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

  std::string path = program.string();
  std::vector<std::string> arg_texts = {path};
  arg_texts.insert(arg_texts.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : arg_texts) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);

  // The program must meet SIGPIPE as it would outside the test, not our ignored disposition.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t defaults, empty;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigemptyset(&empty);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setsigmask(&attr, &empty);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

  int rc = ::posix_spawn(&pid_, path.c_str(), &actions, &attr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  stdin_fd_ = in[1];
  stdout_fd_ = out[0];
  stderr_fd_ = err[0];
  if (rc != 0) {
    ::close(stdin_fd_);
    ::close(stdout_fd_);
    ::close(stderr_fd_);
    errno = rc;
    fail("cannot start " + path);
  }
  // Non-blocking writes let a request give up when the program stops reading its input.
  ::fcntl(stdin_fd_, F_SETFL, ::fcntl(stdin_fd_, F_GETFL) | O_NONBLOCK);
  reader_ = std::thread([this] { read_loop(); });
}

HeadlessClient::~HeadlessClient() {
  finish();
  if (reader_.joinable()) reader_.join();
  if (stdout_fd_ >= 0) ::close(stdout_fd_);
  if (stderr_fd_ >= 0) ::close(stderr_fd_);
}

void HeadlessClient::read_loop() {
  std::string line_buf;
  std::optional<Clock::time_point> linger_until;
  bool out_open = true, err_open = true;
  char buf[65536];
  while (out_open || err_open) {
    pollfd fds[2] = {{out_open ? stdout_fd_ : -1, POLLIN, 0},
                     {err_open ? stderr_fd_ : -1, POLLIN, 0}};
    int ready = ::poll(fds, 2, 100);
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) {
      std::lock_guard lock(mu_);
      if (status_ && !linger_until) linger_until = Clock::now() + kOutputLinger;
      if (linger_until && Clock::now() > *linger_until) break;
      continue;
    }
    if (fds[0].revents != 0) {
      ssize_t n = ::read(stdout_fd_, buf, sizeof buf);
      if (n <= 0) {
        out_open = false;
      } else {
        line_buf.append(buf, static_cast<std::size_t>(n));
        std::size_t nl;
        while ((nl = line_buf.find('\n')) != std::string::npos) {
          std::string line = line_buf.substr(0, nl);
          line_buf.erase(0, nl + 1);
          handle_stdout_line(std::move(line));
        }
      }
    }
    if (fds[1].revents != 0) {
      ssize_t n = ::read(stderr_fd_, buf, sizeof buf);
      if (n <= 0) {
        err_open = false;
      } else {
        std::lock_guard lock(mu_);
        stderr_.append(buf, static_cast<std::size_t>(n));
        changed_.notify_all();
      }
    }
  }
  std::lock_guard lock(mu_);
  if (!line_buf.empty()) stray_.push_back(line_buf + "  <- unterminated");
  output_closed_ = true;
  changed_.notify_all();
}

void HeadlessClient::handle_stdout_line(std::string line) {
  if (!line.empty() && line.back() == '\r') line.pop_back();
  std::lock_guard lock(mu_);
  try {
    Json j = Json::parse(line);
    if (j.is_object()) {
      if (auto s = j.find("script"); s != j.end() && s->is_string() && j.size() == 1) {
        scripts_.push_back(parse_script(s->get<std::string>()));
        changed_.notify_all();
        return;
      }
      if (auto id = j.find("id"); id != j.end() && id->is_number_integer()) {
        const auto key = id->get<std::int64_t>();
        answers_[key] = std::move(j);
        changed_.notify_all();
        return;
      }
      // An answer to a line that was no valid request is still a protocol line.
      if (j.contains("id") || j.contains("error")) return;
    }
  } catch (const Json::exception&) {
  }
  stray_.push_back(std::move(line));
  changed_.notify_all();
}

void HeadlessClient::send_line(std::string_view line) {
  std::string data(line);
  data += '\n';
  std::lock_guard lock(write_mu_);
  if (stdin_fd_ < 0) throw std::runtime_error("standard input already closed");
  const auto deadline = Clock::now() + kAnswerWait;
  std::string_view rest(data);
  while (!rest.empty()) {
    ssize_t n = ::write(stdin_fd_, rest.data(), rest.size());
    if (n >= 0) {
      rest.remove_prefix(static_cast<std::size_t>(n));
      continue;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN) fail("write to veltaro-headless");
    pollfd p{stdin_fd_, POLLOUT, 0};
    if (::poll(&p, 1, remaining_ms(deadline)) == 0) {
      throw std::runtime_error("veltaro-headless stopped reading its input");
    }
  }
}

Json HeadlessClient::request(std::string_view method, Json params, Ms timeout) {
  std::int64_t id;
  {
    std::lock_guard lock(write_mu_);
    id = next_id_++;
  }
  Json req = Json::object();
  req["id"] = id;
  req["method"] = std::string(method);
  req["params"] = std::move(params);
  send_line(req.dump());

  std::unique_lock lock(mu_);
  const bool answered =
      changed_.wait_for(lock, timeout, [&] { return answers_.count(id) != 0 || output_closed_; });
  if (auto it = answers_.find(id); it != answers_.end()) {
    Json answer = std::move(it->second);
    answers_.erase(it);
    return answer;
  }
  throw std::runtime_error(std::string(answered ? "veltaro-headless closed its output before "
                                                : "no answer within the time-out to ") +
                           req.dump() + "\nstderr so far:\n" + tail(stderr_));
}

Json HeadlessClient::call(std::string_view method, Json params, Ms timeout) {
  Json answer = request(method, std::move(params), timeout);
  auto result = answer.find("result");
  if (result == answer.end()) {
    throw std::runtime_error("answer without result to " + std::string(method) + ": " +
                             answer.dump());
  }
  return *result;
}

std::optional<Script> HeadlessClient::wait_for_script(
    const std::function<bool(const Script&)>& match, Ms timeout, std::size_t from) {
  std::unique_lock lock(mu_);
  std::optional<Script> found;
  changed_.wait_for(lock, timeout, [&] {
    for (std::size_t i = from; i < scripts_.size(); ++i) {
      if (match(scripts_[i])) {
        found = scripts_[i];
        return true;
      }
    }
    return output_closed_;
  });
  return found;
}

std::vector<Script> HeadlessClient::scripts() const {
  std::lock_guard lock(mu_);
  return scripts_;
}

std::string HeadlessClient::drain_until(std::string_view tab,
                                        const std::function<bool(const std::string&)>& done,
                                        Ms timeout) {
  const auto deadline = Clock::now() + timeout;
  std::string text;
  for (;;) {
    Json got = call("drain_terminal", Json::array({std::string(tab)}));
    if (got.is_string()) text += got.get<std::string>();
    if (done(text) || Clock::now() >= deadline) return text;
    std::this_thread::sleep_for(kDrainPoll);
  }
}

std::string HeadlessClient::drain_until_contains(std::string_view tab, std::string_view needle,
                                                 Ms timeout) {
  return drain_until(
      tab, [needle](const std::string& s) { return s.find(needle) != std::string::npos; }, timeout);
}

bool HeadlessClient::wait_for_stderr(std::string_view needle, Ms timeout) {
  std::unique_lock lock(mu_);
  return changed_.wait_for(lock, timeout, [&] {
    return stderr_.find(needle) != std::string::npos || output_closed_;
  }) && stderr_.find(needle) != std::string::npos;
}

std::string HeadlessClient::stderr_text() const {
  std::lock_guard lock(mu_);
  return stderr_;
}

std::vector<std::string> HeadlessClient::stray_lines() const {
  std::lock_guard lock(mu_);
  return stray_;
}

void HeadlessClient::close_stdin() noexcept {
  std::lock_guard lock(write_mu_);
  if (stdin_fd_ >= 0) ::close(stdin_fd_);
  stdin_fd_ = -1;
}

ExitStatus HeadlessClient::finish(Ms timeout) {
  {
    std::lock_guard lock(mu_);
    if (status_) return *status_;
  }
  close_stdin();
  ExitStatus st;
  const auto deadline = Clock::now() + timeout;
  int wstatus = 0;
  for (;;) {
    pid_t r = ::waitpid(pid_, &wstatus, WNOHANG);
    if (r == pid_) break;
    if (r < 0 && errno != EINTR) {
      st.code = -1;
      break;
    }
    if (Clock::now() >= deadline) {
      st.timed_out = true;
      ::kill(pid_, SIGKILL);
      while (::waitpid(pid_, &wstatus, 0) < 0 && errno == EINTR) {
      }
      break;
    }
    std::this_thread::sleep_for(kExitPoll);
  }
  if (!st.timed_out && WIFEXITED(wstatus)) {
    st.exited = true;
    st.code = WEXITSTATUS(wstatus);
  } else if (WIFSIGNALED(wstatus)) {
    st.signal = WTERMSIG(wstatus);
  }
  {
    std::lock_guard lock(mu_);
    status_ = st;
  }
  // The reader ends at end of output; the status lets it give up on pipes a grandchild holds.
  if (reader_.joinable()) reader_.join();
  return st;
}

}  // namespace veltaro::driver
