// One tab's session log: a file that records what the tab's connection receives, as plain text or
// as the bytes themselves, with a marker line at each connect and each end.
//
// The tab's reader hands each received piece to output() and goes on at once: a writer thread of
// the log's own turns the pieces into file text and writes them. The queue between them holds at
// most kQueueLimit bytes. When it is full (the disk is slower than the connection for longer than
// the queue lasts) the reader waits up to kRoomWait for room, which on a connection that can wait
// is ordinary flow control; past that the piece is dropped, the log records how many bytes it
// lost where they would have been, and the tab shows one error line for each such stretch.
// Nothing is lost silently.
#pragma once

#include "model/gui/log_name.h"

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace veltaro::gui {

namespace detail {
struct LogState;
}

class SessionLog {
 public:
  static constexpr std::size_t kQueueLimit = std::size_t{32} << 20;
  static constexpr std::chrono::milliseconds kRoomWait{100};

  struct Options {
    std::string pattern;  // the session's log_file, placeholders not yet expanded
    LogNameFields fields;
    std::filesystem::path home;  // where "~" and relative names lead
    bool raw = false;            // bytes as received instead of plain text
    bool timestamps = false;     // text mode: each line begins with its arrival time
    // The queue's bounds as described above; only tests make them smaller.
    std::size_t queue_limit = kQueueLimit;
    std::chrono::milliseconds room_wait = kRoomWait;
  };
  // Shows an error line in the tab. Called from the writer thread.
  using Report = std::function<void(const std::string&)>;

  // Written text reaches the file at once; a quiet log still looks at its queue this often.
  static constexpr std::chrono::milliseconds kFlushEvery{1000};
  // close() waits this long at most for the writer to finish the file.
  static constexpr std::chrono::milliseconds kCloseWait{3000};

  // Creates the missing folders (0700) and opens the file for appending (created 0600), then
  // starts the writer. `now` names the file. Throws std::runtime_error whose text names the file
  // and the reason.
  static std::shared_ptr<SessionLog> open(const Options& options, Report report,
                                          LogClock::time_point now = LogClock::now());
  SessionLog(const SessionLog&) = delete;
  SessionLog& operator=(const SessionLog&) = delete;
  ~SessionLog();

  // What the connection received (bytes in raw mode, decoded text in text mode), arrived at
  // `at`. Waits at most kRoomWait. Thread-safe; never throws but std::bad_alloc.
  void output(std::string data, LogClock::time_point at);
  // "=== 連線開始 <peer> <time> ===". Never throws but std::bad_alloc.
  void connected(const std::string& peer, LogClock::time_point at = LogClock::now());
  // "=== 連線結束 <time> ===", once after each connected(). Never throws but std::bad_alloc.
  void ended(LogClock::time_point at = LogClock::now());
  // Ends the connection's record if it is open, writes everything queued and closes the file.
  // Later calls change nothing. Waits at most kCloseWait. Never throws.
  void close() noexcept;

  // The file being written, or nothing once the log stopped (closed, or a write failed).
  std::optional<std::filesystem::path> path() const;
  bool raw() const noexcept;

 private:
  explicit SessionLog(std::shared_ptr<detail::LogState> state) : state_(std::move(state)) {}
  std::shared_ptr<detail::LogState> state_;
};

}  // namespace veltaro::gui
