// A session log on disk: modes, markers, file and folder permissions, the day's rollover, and a
// file that cannot be opened.
#include "model/gui/session_log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <vector>

namespace veltaro::gui {
namespace {

using namespace std::chrono_literals;

std::string read_all(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

unsigned mode_of(const std::filesystem::path& p) {
  struct stat st {};
  ::stat(p.c_str(), &st);
  return st.st_mode & 0777u;
}

class SessionLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    char pattern[] = "/tmp/veltaro-log-XXXXXX";
    root_ = ::mkdtemp(pattern);
  }
  void TearDown() override { std::filesystem::remove_all(root_); }

  SessionLog::Options options(const std::string& pattern, bool raw = false, bool stamps = false) {
    SessionLog::Options o;
    o.pattern = pattern;
    o.fields = {"10.0.0.1", "22", "sw1"};
    o.home = root_;
    o.raw = raw;
    o.timestamps = stamps;
    return o;
  }
  std::shared_ptr<SessionLog> open(const SessionLog::Options& o,
                                   LogClock::time_point now = kMorning) {
    return SessionLog::open(
        o,
        [this](const std::string& m) {
          const std::lock_guard lock(mutex_);
          reports_.push_back(m);
        },
        now);
  }

  // 2026-12-08 14:03:07 UTC, and the same day's last second.
  static constexpr LogClock::time_point kMorning =
      LogClock::time_point(std::chrono::seconds(1796738587));
  static constexpr LogClock::time_point kLastSecond =
      LogClock::time_point(std::chrono::seconds(1796774399));

  std::filesystem::path root_;
  std::mutex mutex_;
  std::vector<std::string> reports_;
};

TEST_F(SessionLogTest, text_log_records_plain_lines_between_markers_across_a_reconnect) {
  auto log = open(options("logs/&N/&H-&T.log"));
  const auto file = root_ / "logs/sw1/10.0.0.1-140307.log";
  ASSERT_EQ(log->path(), file);
  log->connected("10.0.0.1:22", kMorning);
  log->output("\x1b[1mRouter#\x1b[0m show ver\r\nIOS 15", kMorning);
  log->ended(kMorning + 1s);
  log->ended(kMorning + 2s);  // a second end without a connect writes nothing
  log->connected("10.0.0.1:22", kMorning + 3s);
  log->output("again\r\n", kMorning + 3s);
  log->close();
  EXPECT_EQ(log->path(), std::nullopt);
  const std::string text = read_all(file);
  EXPECT_TRUE(
      text.starts_with("=== 連線開始 10.0.0.1:22 2026-12-08 14:03:07 ===\n"
                       "Router# show ver\n"
                       "IOS 15\n"
                       "=== 連線結束 2026-12-08 14:03:08 ===\n"
                       "=== 連線開始 10.0.0.1:22 2026-12-08 14:03:10 ===\n"
                       "again\n"
                       "=== 連線結束 "))
      << text;
  EXPECT_TRUE(text.ends_with(" ===\n")) << "closing the log ends the open connection's record";
  EXPECT_EQ(mode_of(file), 0600u);
  EXPECT_EQ(mode_of(root_ / "logs"), 0700u);
  EXPECT_EQ(mode_of(root_ / "logs/sw1"), 0700u);
}

TEST_F(SessionLogTest, raw_log_keeps_bytes_and_appends_to_an_existing_file) {
  const auto file = root_ / "raw.log";
  { std::ofstream(file) << "before\n"; }
  ::chmod(file.c_str(), 0640);
  auto log = open(options("raw.log", true, true));
  log->connected("COM3 @ 115200", kMorning);
  const std::string bytes("\x1b[31m\0\xff\r\0", 9);
  log->output(bytes, kMorning);
  log->close();
  const std::string text = read_all(file);
  EXPECT_TRUE(text.starts_with("before\n=== 連線開始 COM3 @ 115200 2026-12-08 14:03:07 ===\n" +
                               bytes + "\n=== 連線結束 "))
      << "bytes as received, time stamps ignored, the marker on a line of its own";
  EXPECT_EQ(mode_of(file), 0640u) << "an existing file keeps its mode";
}

TEST_F(SessionLogTest, a_dated_name_starts_a_new_file_at_midnight) {
  auto log = open(options("d-&Y&M&D.log", false, true), kLastSecond);
  log->connected("h:1", kLastSecond);
  log->output("late ", kLastSecond);
  log->output("night\n", kLastSecond + 2s);
  // Ended at a time of the test's own: the real clock may be days past these.
  log->ended(kLastSecond + 3s);
  log->close();
  EXPECT_EQ(read_all(root_ / "d-20261208.log"),
            "=== 連線開始 h:1 2026-12-08 23:59:59 ===\n[2026-12-08 23:59:59.000] late \n");
  EXPECT_EQ(read_all(root_ / "d-20261209.log"),
            "[2026-12-09 00:00:01.000] night\n=== 連線結束 2026-12-09 00:00:02 ===\n");
}

// What a raw log of `pieces` (the i-th arriving at kMorning + i s) holds when those marked in
// `kept` were queued and the others dropped: each run of dropped pieces is one marker, in place.
std::string record_of(const std::vector<std::string>& pieces, unsigned kept, int* runs) {
  std::string out;
  std::size_t gap = 0;
  int first = 0;
  *runs = 0;
  const auto close_gap = [&] {
    if (gap == 0) return;
    if (!out.empty() && out.back() != '\n') out += '\n';
    const int second = 7 + first;
    out += "=== 記錄略過 " + std::to_string(gap) +
           " 位元組 2026-12-08 14:03:" + (second < 10 ? "0" : "") + std::to_string(second) +
           " ===\n";
    ++*runs;
    gap = 0;
  };
  for (int i = 0; i < static_cast<int>(pieces.size()); ++i) {
    if (kept & (1u << i)) {
      close_gap();
      out += pieces[i];
    } else {
      if (gap == 0) first = i;
      gap += pieces[i].size();
    }
  }
  close_gap();
  return out;
}

// The writer is not held up here, so pieces are dropped only when they come before it has taken
// the queue: rounds go on until one dropped a piece and kept a later one.
TEST_F(SessionLogTest, a_dropped_stretch_is_marked_where_it_was_and_reported_once) {
  const std::vector<std::string> pieces{"AAAAAAAA", "BBBBBBBBBB", "CCCCCCCCCC", "dd"};
  auto o = options("", true);
  o.queue_limit = 10;
  o.room_wait = 0ms;
  bool kept_after_a_gap = false;
  for (int round = 0; round < 300 && !kept_after_a_gap; ++round) {
    {
      const std::lock_guard lock(mutex_);
      reports_.clear();
    }
    o.pattern = "skip-" + std::to_string(round) + ".log";
    auto log = open(o);
    for (std::size_t i = 0; i < pieces.size(); ++i) log->output(pieces[i], kMorning + i * 1s);
    log->close();
    const std::string text = read_all(root_ / o.pattern);
    int runs = -1;
    unsigned kept = 0;
    while (kept < 16 && record_of(pieces, kept, &runs) != text) ++kept;
    ASSERT_LT(kept, 16u) << "not the pieces in order with gaps marked in place:\n" << text;
    const std::lock_guard lock(mutex_);
    ASSERT_EQ(reports_.size(), static_cast<std::size_t>(runs)) << "one error line per gap";
    if (runs > 0) {
      EXPECT_TRUE(reports_[0].starts_with("工作階段記錄跟不上輸出，略過了 ")) << reports_[0];
      EXPECT_NE(reports_[0].find((root_ / o.pattern).string()), std::string::npos);
    }
    kept_after_a_gap = (kept & 8u) != 0 && kept != 15u;
  }
  if (!kept_after_a_gap) GTEST_SKIP() << "the writer took the queue too soon in every round";
}

TEST_F(SessionLogTest, a_log_that_cannot_be_opened_is_one_clear_error) {
  { std::ofstream(root_ / "plainfile") << "x"; }
  const auto refused = [&](const std::string& pattern, const std::string& named) {
    try {
      open(options(pattern));
    } catch (const std::runtime_error& e) {
      return std::string(e.what()).find(named) != std::string::npos;
    }
    return false;
  };
  EXPECT_TRUE(refused("plainfile/sub/x.log", (root_ / "plainfile/sub/x.log").string()));
  EXPECT_TRUE(refused("/dev/full", "/dev/full")) << "only a regular file is a log";
  EXPECT_TRUE(refused(".", root_.string())) << "a folder is no log";
}

}  // namespace
}  // namespace veltaro::gui
