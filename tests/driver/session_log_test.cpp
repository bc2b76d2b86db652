// Session logs of raw tabs through veltaro-headless against a real peer: what each mode writes,
// the markers of a reconnect, the file's mode, a log that cannot be opened, and a long stream
// logged completely.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "numbered_stream.h"
#include "raw_tab_fixture.h"

namespace veltaro::driver {
namespace {

using peers::TcpListener;
using namespace std::string_literals;

constexpr std::string_view kMarkerTime = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)";

std::string start_marker(unsigned port) {
  return "=== 連線開始 127\\.0\\.0\\.1:" + std::to_string(port) + " " + std::string(kMarkerTime) +
         " ===\n";
}
std::string end_marker() {
  return "=== 連線結束 " + std::string(kMarkerTime) + " ===\n";
}

class SessionLogTest : public RawTabTest {
 protected:
  // The file the tab's summary names, once it names one.
  std::string log_file_of(const std::string& tab) {
    const Json summary = tab_summary(tab);
    return summary.is_object() && summary["log_file"].is_string()
               ? summary["log_file"].get<std::string>()
               : "";
  }
  void close(const std::string& tab) { app().call("close_tab", Json::array({tab})); }
  // The log's writer works on a thread of its own: after the tab ended, its end marker reaches the
  // file a moment later. The file as soon as it holds the marker, or as it is after 5 s.
  static std::string read_once_ended(const std::filesystem::path& file) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    std::string text = read_file(file);
    while (text.find("=== 連線結束 ") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      text = read_file(file);
    }
    return text;
  }
};

TEST_F(SessionLogTest, text_log_with_time_stamps_spans_a_reconnect_between_markers) {
  start();
  TcpListener listener;
  const Json log = {
      {"name", "edge/1"}, {"log_file", "logs/&N-&H-&P-&Y&M&D.log"}, {"log_timestamps", true}};
  RawTab t = open_raw(listener, log);
  const std::string file = log_file_of(t.tab);
  EXPECT_TRUE(
      std::regex_match(file, std::regex(home_dir().string() + "/logs/edge_1-127\\.0\\.0\\.1-" +
                                        std::to_string(listener.port()) + "-20\\d{6}\\.log")))
      << file;
  EXPECT_EQ(app().call("show_tab_log", Json::array({t.tab})), false)
      << "no desktop without a window: the neutral answer";
  t.peer->send(
      "\x1b[1;32mRouter#\x1b[0m show clock\r\n\x1b]0;title\x07"
      "12:00\r\n#END");
  drain_to_end(t.tab);
  close(t.tab);

  // The page's reconnect: the tab closes and the session opens again, into the same file.
  const std::string again = open_tab(t.rec["id"].get<std::string>());
  auto peer = listener.accept();
  ASSERT_TRUE(app().wait_for_script(connected_for(again)));
  peer.send("second\n#END");
  app().drain_until_contains(again, kEnd);
  close(again);

  const std::string stamp = R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] )";
  const std::string text = read_file(file);
  EXPECT_TRUE(std::regex_match(
      text, std::regex(start_marker(listener.port()) + stamp + "Router# show clock\n" + stamp +
                       "12:00\n" + stamp + "#END\n" + end_marker() + start_marker(listener.port()) +
                       stamp + "second\n" + stamp + "#END\n" + end_marker())))
      << text;
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777u, 0600u);
}

TEST_F(SessionLogTest, raw_log_holds_the_bytes_as_received) {
  start();
  TcpListener listener;
  RawTab t = open_raw(listener, {{"log_file", home_dir().string() + "/raw.log"},
                                 {"log_mode", "raw"},
                                 {"log_timestamps", true}});
  const std::string bytes = "\x1b[31m\xff\xfe\0\r\n#END"s;
  t.peer->send(bytes);
  EXPECT_NE(drain_to_end(t.tab).find(kEnd), std::string::npos);
  t.peer->close();
  ASSERT_TRUE(wait_until_dead(t.tab));
  const std::string text = read_once_ended(home_dir() / "raw.log");
  const std::size_t first_end = text.find('\n') + 1;
  EXPECT_TRUE(
      std::regex_match(text.substr(0, first_end), std::regex(start_marker(listener.port()))));
  EXPECT_EQ(text.substr(first_end, bytes.size()), bytes) << "the bytes themselves";
  EXPECT_TRUE(
      std::regex_match(text.substr(first_end + bytes.size()), std::regex("\n" + end_marker())))
      << "the marker on a line of its own";
  EXPECT_EQ(log_file_of(t.tab), home_dir().string() + "/raw.log")
      << "an ended tab keeps its log until it closes";
}

TEST_F(SessionLogTest, a_log_folder_that_cannot_be_created_is_one_error_line_and_the_tab_goes_on) {
  start();
  { std::ofstream(home_dir() / "taken") << "a file where the folder should be"; }
  TcpListener listener;
  RawTab t = open_raw(listener, {{"log_file", "taken/logs/&H.log"}});
  const std::string expected =
      "無法開啟工作階段記錄 " + (home_dir() / "taken/logs/127.0.0.1.log").string();
  const auto line = app().wait_for_script(
      [&](const Script& s) { return s.tab() == t.tab && s.message().starts_with(expected); });
  ASSERT_TRUE(line.has_value());
  EXPECT_TRUE(line->is_error());
  EXPECT_NE(line->message().find("本分頁不記錄"), std::string::npos) << line->message();
  EXPECT_EQ(tab_summary(t.tab)["log_file"], Json());
  t.peer->send("still here#END");
  EXPECT_EQ(drain_to_end(t.tab), "still here#END");
  EXPECT_EQ(tab_summary(t.tab)["alive"], true);
}

// 200 MB through a text log: the page drains as fast as it can, the log keeps every byte.
TEST_F(SessionLogTest, long_stream_is_logged_completely) {
  constexpr std::size_t kStreamBytes = std::size_t{200} << 20;
  constexpr std::size_t kSendPiece = std::size_t{1} << 20;
  start();
  TcpListener listener;
  RawTab t = open_raw(listener, {{"log_file", "big.log"}});
  std::thread sender([&t] {
    for (std::size_t off = 0; off < kStreamBytes; off += kSendPiece) {
      t.peer->send(numbered_bytes(off, kSendPiece));
    }
    t.peer->close();
  });
  std::size_t drained = 0;
  const auto give_up = std::chrono::steady_clock::now() + Ms{300'000};
  while (std::chrono::steady_clock::now() < give_up) {
    const bool over =
        app().wait_for_script(info_is(t.tab, std::string(kConnectionEnded)), Ms{0}).has_value();
    const std::string text =
        app().call("drain_terminal", Json::array({t.tab, over ? 0 : 1000})).get<std::string>();
    drained += text.size();
    if (over && text.empty()) break;
  }
  sender.join();
  EXPECT_EQ(drained, kStreamBytes);
  close(t.tab);
  const auto drop = app().wait_for_script(
      [&](const Script& s) { return s.tab() == t.tab && s.is_error(); }, Ms{0});
  EXPECT_FALSE(drop.has_value()) << drop->message();

  std::ifstream in(home_dir() / "big.log", std::ios::binary);
  std::string line;
  ASSERT_TRUE(std::getline(in, line));
  EXPECT_TRUE(std::regex_match(line + "\n", std::regex(start_marker(listener.port()))));
  NumberedChecker check;
  std::string piece(kSendPiece, '\0');
  while (check.received() < kStreamBytes) {
    const std::size_t want = std::min(kSendPiece, kStreamBytes - check.received());
    in.read(piece.data(), static_cast<std::streamsize>(want));
    const auto got = static_cast<std::size_t>(in.gcount());
    if (got == 0 || !check.feed(std::string_view(piece).substr(0, got))) break;
  }
  EXPECT_TRUE(check.ok()) << "log differs from the stream at byte " << check.bad_offset();
  EXPECT_EQ(check.received(), kStreamBytes);
  std::string rest((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_TRUE(std::regex_match(rest, std::regex(end_marker()))) << rest.substr(0, 200);
}

}  // namespace
}  // namespace veltaro::driver
