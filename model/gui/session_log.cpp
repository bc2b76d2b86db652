#include "model/gui/session_log.h"

#include "model/gui/log_text_filter.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>

namespace veltaro::gui {

namespace {

// A batch of file text is written once it reaches this size, so that a long burst does not build
// one huge string.
constexpr std::size_t kWriteSize = std::size_t{1} << 20;
// The writer yields the processor to the tab's reader and the page while they are busy, and
// catches up from its queue when they rest.
constexpr int kWriterNice = 10;

std::string errno_text(int err) {
  return std::strerror(err);
}

// Makes each missing folder of `dir`, readable by the user alone; existing ones are left as they
// are. Throws std::runtime_error.
void make_folders(const std::filesystem::path& dir) {
  if (dir.empty()) return;
  std::filesystem::path sofar;
  for (const auto& part : dir) {
    sofar /= part;
    if (::mkdir(sofar.c_str(), 0700) == 0 || errno == EEXIST) continue;
    throw std::runtime_error("無法建立資料夾 " + sofar.string() + "：" + errno_text(errno));
  }
  struct stat st {};
  if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    throw std::runtime_error(dir.string() + " 不是資料夾");
  }
}

// The file opened for appending, created readable by the user alone. Throws std::runtime_error.
int open_for_append(const std::filesystem::path& path) {
  make_folders(path.parent_path());
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0600);
  if (fd < 0) throw std::runtime_error(errno_text(errno));
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    throw std::runtime_error("不是一般檔案");
  }
  return fd;
}

// Throws std::runtime_error.
void write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error(errno_text(errno));
    }
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

std::filesystem::path log_path(const SessionLog::Options& o, LogClock::time_point at) {
  return resolve_log_path(expand_log_name(o.pattern, o.fields, local_time(at)), o.home);
}

}  // namespace

namespace detail {

struct LogItem {
  // A skip stands where pieces were dropped for want of room, so the file says where its gap is.
  enum class Kind { kData, kLine, kSkip };
  Kind kind;
  std::string text;         // data, or a whole marker line without its line end
  LogClock::time_point at;  // a skip: when its first piece was dropped
  std::size_t skipped = 0;  // a skip: the bytes dropped
};

// Shared by the log's owners and its writer thread, which holds it until the file is closed.
struct LogState {
  LogState(SessionLog::Options o, SessionLog::Report r)
      : options(std::move(o)), report(std::move(r)), filter(options.timestamps) {}

  const SessionLog::Options options;
  const SessionLog::Report report;

  mutable std::mutex mutex;  // everything up to the writer's own fields
  std::condition_variable work;
  std::condition_variable room;
  std::condition_variable finished;
  std::deque<LogItem> queue;
  std::size_t queued = 0;  // bytes of data in `queue`
  bool in_connection = false;
  bool closing = false;
  bool stopped = false;  // a write failed, or the file could not follow the date
  bool done = false;
  std::filesystem::path path;

  // The writer's own.
  int fd = -1;
  TextLogFilter filter;
  bool raw_line_open = false;  // raw mode: the last byte written was no LF
  std::optional<LogClock::time_point> next_midnight;

  void run() noexcept;
  void write_batch(std::deque<LogItem>& batch);
  void add(const LogItem& item, std::string& out);
  void add_line(const std::string& line, std::string& out);
  void add_skip(const LogItem& skip, std::string& out);
  void flush(std::string& out);
  void follow_date(LogClock::time_point at, std::string& out);
  void stop(const std::string& message) noexcept;
};

void LogState::run() noexcept {
  // Best effort: a writer at the ordinary priority is only slower to get out of the way.
  ::setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), kWriterNice);
  std::deque<LogItem> batch;
  for (;;) {
    bool last = false;
    {
      std::unique_lock lock(mutex);
      work.wait_for(lock, SessionLog::kFlushEvery, [&] { return !queue.empty() || closing; });
      batch.swap(queue);
      queued = 0;
      last = closing;
    }
    room.notify_all();
    try {
      write_batch(batch);
    } catch (const std::exception& e) {
      stop("工作階段記錄寫入失敗（" + path.string() + "）：" + e.what() + "；已停止記錄");
    }
    batch.clear();
    if (last) break;
  }
  if (fd >= 0) ::close(fd);
  {
    const std::lock_guard lock(mutex);
    done = true;
  }
  finished.notify_all();
}

void LogState::write_batch(std::deque<LogItem>& batch) {
  std::string out;
  for (const LogItem& item : batch) {
    if (fd < 0) return;
    if (next_midnight && item.at >= *next_midnight) follow_date(item.at, out);
    add(item, out);
    if (out.size() >= kWriteSize) flush(out);
  }
  if (fd >= 0) flush(out);
}

void LogState::add(const LogItem& item, std::string& out) {
  if (item.kind == LogItem::Kind::kLine) {
    add_line(item.text, out);
  } else if (item.kind == LogItem::Kind::kSkip) {
    add_skip(item, out);
  } else if (options.raw) {
    // Bytes need no change: written as they are, without a copy.
    flush(out);
    write_all(fd, item.text);
    raw_line_open = item.text.back() != '\n';
  } else {
    filter.feed(item.text, item.at, out);
  }
}

void LogState::add_line(const std::string& line, std::string& out) {
  if (options.raw) {
    if (raw_line_open) out.push_back('\n');
    raw_line_open = false;
  } else {
    filter.finish_line(out);
  }
  out += line;
  out.push_back('\n');
}

void LogState::add_skip(const LogItem& skip, std::string& out) {
  const std::string bytes = std::to_string(skip.skipped);
  add_line("=== 記錄略過 " + bytes + " 位元組 " + marker_time(skip.at) + " ===", out);
  report("工作階段記錄跟不上輸出，略過了 " + bytes + " 位元組（" + path.string() + "）");
}

void LogState::flush(std::string& out) {
  write_all(fd, out);
  out.clear();
  filter.output_taken();
}

// A name with the date in it starts a new file on a new day; the line in progress ends in the old.
void LogState::follow_date(LogClock::time_point at, std::string& out) {
  next_midnight = next_local_midnight(at);
  const std::filesystem::path next = log_path(options, at);
  if (next == path) return;
  if (!options.raw) filter.finish_line(out);
  flush(out);
  raw_line_open = false;
  int next_fd = -1;
  try {
    next_fd = open_for_append(next);
  } catch (const std::exception& e) {
    stop("無法開啟新一天的工作階段記錄 " + next.string() + "：" + e.what() + "；已停止記錄");
    return;
  }
  ::close(fd);
  fd = next_fd;
  const std::lock_guard lock(mutex);
  path = next;
}

void LogState::stop(const std::string& message) noexcept {
  if (fd >= 0) ::close(fd);
  fd = -1;
  {
    const std::lock_guard lock(mutex);
    stopped = true;
    queue.clear();
    queued = 0;
  }
  room.notify_all();
  try {
    report(message);
  } catch (...) {
    // The tab may be gone; the log is stopped either way.
  }
}

}  // namespace detail

std::shared_ptr<SessionLog> SessionLog::open(const Options& options, Report report,
                                             LogClock::time_point now) {
  auto state = std::make_shared<detail::LogState>(options, std::move(report));
  state->path = log_path(options, now);
  try {
    state->fd = open_for_append(state->path);
  } catch (const std::exception& e) {
    throw std::runtime_error(state->path.string() + "：" + e.what());
  }
  if (has_date_placeholder(options.pattern)) state->next_midnight = next_local_midnight(now);
  std::thread([state] { state->run(); }).detach();
  return std::shared_ptr<SessionLog>(new SessionLog(std::move(state)));
}

SessionLog::~SessionLog() {
  close();
}

void SessionLog::output(std::string data, LogClock::time_point at) {
  if (data.empty()) return;
  detail::LogState& s = *state_;
  std::unique_lock lock(s.mutex);
  const std::size_t limit = s.options.queue_limit;
  const auto fits = [&] { return s.queued == 0 || s.queued + data.size() <= limit; };
  if (!fits()) {
    s.room.wait_for(lock, s.options.room_wait, [&] { return fits() || s.closing || s.stopped; });
  }
  if (s.closing || s.stopped) return;
  if (!fits()) {
    // Pieces dropped one after another make one gap; a piece that still fits later goes after it.
    if (s.queue.back().kind == detail::LogItem::Kind::kSkip) {
      s.queue.back().skipped += data.size();
    } else {
      s.queue.push_back({detail::LogItem::Kind::kSkip, {}, at, data.size()});
    }
    return;
  }
  s.queued += data.size();
  s.queue.push_back({detail::LogItem::Kind::kData, std::move(data), at});
  lock.unlock();
  s.work.notify_one();
}

void SessionLog::connected(const std::string& peer, LogClock::time_point at) {
  detail::LogState& s = *state_;
  {
    const std::lock_guard lock(s.mutex);
    if (s.closing || s.stopped) return;
    s.in_connection = true;
    s.queue.push_back({detail::LogItem::Kind::kLine,
                       "=== 連線開始 " + peer + " " + marker_time(at) + " ===", at});
  }
  s.work.notify_one();
}

void SessionLog::ended(LogClock::time_point at) {
  detail::LogState& s = *state_;
  {
    const std::lock_guard lock(s.mutex);
    if (s.closing || s.stopped || !s.in_connection) return;
    s.in_connection = false;
    s.queue.push_back(
        {detail::LogItem::Kind::kLine, "=== 連線結束 " + marker_time(at) + " ===", at});
  }
  s.work.notify_one();
}

void SessionLog::close() noexcept {
  try {
    ended();
  } catch (...) {
    // Out of memory for the marker: the file is still closed below.
  }
  detail::LogState& s = *state_;
  std::unique_lock lock(s.mutex);
  s.closing = true;
  lock.unlock();
  s.work.notify_one();
  s.room.notify_all();
  lock.lock();
  s.finished.wait_for(lock, kCloseWait, [&] { return s.done; });
}

std::optional<std::filesystem::path> SessionLog::path() const {
  const std::lock_guard lock(state_->mutex);
  if (state_->closing || state_->stopped) return std::nullopt;
  return state_->path;
}

bool SessionLog::raw() const noexcept {
  return state_->options.raw;
}

}  // namespace veltaro::gui
