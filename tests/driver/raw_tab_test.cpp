// Raw TCP tabs end to end against peers on 127.0.0.1: connect, output through decoder, line-end
// translation and buffer to drain_terminal, input back to the peer, edits while connected, and
// every way a connection ends.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <vector>

#include "raw_tab_fixture.h"

namespace veltaro::driver {
namespace {

using peers::TcpConnection;
using peers::TcpListener;

TEST_F(RawTabTest, ConnectShowsConnectingLineThenConnected) {
  start();
  TcpListener listener;
  RawTab t = open_raw(listener);

  EXPECT_TRUE(saw_info(t.tab, raw_connecting_line("127.0.0.1", listener.port()), false));
  const auto scripts = app().scripts();
  ASSERT_GE(scripts.size(), 2u);
  EXPECT_TRUE(
      is_info_script(scripts[0], t.tab, raw_connecting_line("127.0.0.1", listener.port()), false))
      << scripts[0].text;
  EXPECT_EQ(scripts[1].text, connected_script(t.tab));
  EXPECT_EQ(tab_summary(t.tab)["alive"], true);
  EXPECT_EQ(tab_summary(t.tab)["protocol"], "raw");
}

struct EchoCase {
  const char* name;
  bool lfhascr;
  bool crhaslf;
  std::string shown;  // what the terminal shows of the echoed "echo 你好\r\n"
};

// Failure messages name the case instead of dumping its bytes.
void PrintTo(const EchoCase& c, std::ostream* os) {
  *os << c.name;
}

class EchoTest : public RawTabTest, public ::testing::WithParamInterface<EchoCase> {};

TEST_P(EchoTest, InputReachesPeerUntranslatedAndEchoIsTranslated) {
  const EchoCase& c = GetParam();
  start();
  TcpListener listener;
  RawTab t = open_raw(listener, {{"lfhascr", c.lfhascr}, {"crhaslf", c.crhaslf}});
  t.peer->start_echo();

  const std::string typed = "echo 你好\r\n#END";
  EXPECT_EQ(app().call("send_input", Json::array({t.tab, typed})), true);
  EXPECT_EQ(drain_to_end(t.tab), c.shown + "#END");
  EXPECT_EQ(t.peer->received(), typed) << "typed text goes out as UTF-8, line ends as typed";
  EXPECT_EQ(app().call("drain_terminal", Json::array({t.tab})), "") << "drained text is gone";
}

INSTANTIATE_TEST_SUITE_P(Switches, EchoTest,
                         ::testing::Values(EchoCase{"Neither", false, false, "echo 你好\r\n"},
                                           EchoCase{"LfHasCr", true, false, "echo 你好\r\n"},
                                           EchoCase{"CrHasLf", false, true, "echo 你好\r\n\n"},
                                           EchoCase{"Both", true, true, "echo 你好\r\n\r\n"}),
                         [](const auto& p) { return std::string(p.param.name); });

struct EolCase {
  const char* name;
  bool lfhascr;
  bool crhaslf;
  std::vector<std::string> segments;
  std::string expected;
};

void PrintTo(const EolCase& c, std::ostream* os) {
  *os << c.name;
}

class EolTranslationTest : public RawTabTest, public ::testing::WithParamInterface<EolCase> {};

TEST_P(EolTranslationTest, ReceivedLineEndsFollowSessionSwitches) {
  const EolCase& c = GetParam();
  start();
  TcpListener listener;
  RawTab t = open_raw(listener, {{"lfhascr", c.lfhascr}, {"crhaslf", c.crhaslf}});
  std::vector<std::string> segments = c.segments;
  segments.back() += kEnd;
  t.peer->send_segments(segments);
  EXPECT_EQ(drain_to_end(t.tab), c.expected + std::string(kEnd));
}

INSTANTIATE_TEST_SUITE_P(
    Switches, EolTranslationTest,
    ::testing::Values(
        EolCase{"Neither", false, false, {"a\rb\nc\r\nd"}, "a\rb\nc\r\nd"},
        EolCase{"LfHasCr", true, false, {"a\rb\nc\r\nd"}, "a\rb\r\nc\r\nd"},
        EolCase{"CrHasLf", false, true, {"a\rb\nc\r\nd"}, "a\r\nb\nc\r\n\nd"},
        EolCase{"Both", true, true, {"a\rb\nc\r\nd"}, "a\r\nb\r\nc\r\n\r\nd"},
        // A CR LF pair split across two TCP segments must come out as if it came in one.
        EolCase{"NeitherSplitCrLf", false, false, {"a\r", "\nb"}, "a\r\nb"},
        EolCase{"LfHasCrSplitCrLfGetsNoExtraCr", true, false, {"a\r", "\nb"}, "a\r\nb"},
        EolCase{"CrHasLfSplitCrLf", false, true, {"a\r", "\nb"}, "a\r\n\nb"},
        EolCase{"BothSplitCrLf", true, true, {"a\r", "\nb"}, "a\r\n\r\nb"},
        EolCase{"LfHasCrLfAfterOtherText", true, false, {"a\r", "x\nb"}, "a\rx\r\nb"}),
    [](const auto& p) { return std::string(p.param.name); });

struct DecodeCase {
  const char* name;
  const char* encoding;
  std::vector<std::string> segments;
  std::string expected;
};

void PrintTo(const DecodeCase& c, std::ostream* os) {
  *os << c.name;
}

class DecodingTest : public RawTabTest, public ::testing::WithParamInterface<DecodeCase> {};

TEST_P(DecodingTest, MultiByteCharactersSplitAcrossSegmentsArriveWhole) {
  const DecodeCase& c = GetParam();
  start();
  TcpListener listener;
  RawTab t = open_raw(listener, {{"line_code_page", c.encoding}});
  std::vector<std::string> segments = c.segments;
  segments.back() += kEnd;
  t.peer->send_segments(segments);
  EXPECT_EQ(drain_to_end(t.tab), c.expected + std::string(kEnd));
}

INSTANTIATE_TEST_SUITE_P(
    Encodings, DecodingTest,
    ::testing::Values(
        DecodeCase{"Utf8Split", "utf-8", {"\xE4\xB8", "\xAD"}, "中"},
        DecodeCase{"Utf8FourBytesInThreeSegments", "utf-8", {"\xF0\x9F", "\x98", "\x80"}, "😀"},
        DecodeCase{"Big5Split", "big5", {"\xA4", "\xA4"}, "中"},
        DecodeCase{"Cp950UpperCaseName", "CP950", {"\xA4", "\xA4\xA4", "\xE5"}, "中文"},
        DecodeCase{"ShiftJisSplit", "shift_jis", {"\x82", "\xA0"}, "あ"},
        DecodeCase{"MalformedUtf8Replaced",
                   "utf-8",
                   {"a\xFF", "b"},
                   "a\xEF\xBF\xBD"
                   "b"},
        DecodeCase{"TruncatedUtf8ReplacedOnce", "utf-8", {"\xE4\xB8", "x"}, "\xEF\xBF\xBDx"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(RawTabTest, TabEncodingSwitchAppliesToOutputAndInput) {
  start();
  TcpListener listener;
  RawTab t = open_raw(listener);
  ASSERT_EQ(app().call("set_tab_encoding", Json::array({t.tab, "Big5"})), true);

  t.peer->send("\xA4\xA4#END");
  EXPECT_EQ(drain_to_end(t.tab), "中#END");

  // What Big5 cannot hold becomes one "?" per character, also outside the basic plane.
  EXPECT_EQ(app().call("send_input", Json::array({t.tab, "中😀x"})), true);
  EXPECT_EQ(t.peer->read_until_contains("x").data, "\xA4\xA4?x");
}

// A character the peer's close cut short is shown as U+FFFD, before the end line; in Big5 too.
TEST_F(RawTabTest, CharacterCutShortByTheCloseIsShownAsReplacement) {
  start();
  TcpListener listener;
  for (const auto& [encoding, cut] : {std::pair{"UTF-8", "\xE4\xB8"}, std::pair{"Big5", "\xA4"}}) {
    RawTab t = open_raw(listener, {{"line_code_page", encoding}});
    t.peer->send(std::string("#END") + cut);
    t.peer->close();
    ASSERT_TRUE(saw_info(t.tab, kConnectionEnded, false)) << encoding;
    EXPECT_EQ(drain_to_end(t.tab), "#END\xEF\xBF\xBD") << encoding;
  }
}

// Resident memory of a process in KiB, from /proc; 0 when it cannot be read.
long resident_kib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return 0;
}

// Text that waits for the page arrives in as many reads as the peer sent segments: each piece
// must hold about what it carries, not the size of a whole read.
TEST_F(RawTabTest, ManySmallReadsWaitingForThePageKeepMemorySmall) {
  constexpr int kSegments = 3000;
  constexpr long kAllowedGrowthKib = 48 * 1024;  // the pieces hold 48 KB of text
  // A sanitized build holds freed blocks back (up to 256 MB) before reusing them, which would
  // count as resident here; the application under test runs without that hold.
  const char* sanitizer = std::getenv("ASAN_OPTIONS");
  ::setenv("ASAN_OPTIONS",
           (std::string(sanitizer ? sanitizer : "") + ":quarantine_size_mb=0").c_str(), 1);
  start();
  TcpListener listener;
  RawTab t = open_raw(listener);
  t.peer->send("warm#END");
  ASSERT_EQ(drain_to_end(t.tab), "warm#END");
  const long before = resident_kib(app().pid());
  ASSERT_GT(before, 0);

  std::vector<std::string> segments;
  std::string expected;
  for (int i = 0; i < kSegments; ++i) {
    segments.push_back("piece " + std::to_string(100000 + i) + "\n");
    expected += segments.back();
  }
  t.peer->send_segments(segments, Ms{1});
  t.peer->send(kEnd);
  std::this_thread::sleep_for(Ms{500});
  const long grown = resident_kib(app().pid()) - before;
  EXPECT_LT(grown, kAllowedGrowthKib) << "resident memory grew by " << grown << " KiB";
  EXPECT_EQ(drain_to_end(t.tab), expected + std::string(kEnd));
}

TEST_F(RawTabTest, OutputCaptureOffDropsTextForGood) {
  start();
  TcpListener listener;
  RawTab t = open_raw(listener);
  t.peer->send("visible#END");
  ASSERT_EQ(drain_to_end(t.tab), "visible#END");

  ASSERT_EQ(app().call("toggle_tab_reading", Json::array({t.tab})), Json({{"reading", false}}));
  t.peer->send("secret");
  // The end line comes from the same reader after the text, so once it shows, the text was
  // handled (and must have been dropped).
  t.peer->close();
  ASSERT_TRUE(saw_info(t.tab, kConnectionEnded, false));
  ASSERT_EQ(app().call("toggle_tab_reading", Json::array({t.tab})), Json({{"reading", true}}));
  EXPECT_EQ(app().call("drain_terminal", Json::array({t.tab})), "");
}

TEST_F(RawTabTest, EolSwitchSavedWhileConnectedAppliesToRunningTab) {
  start();
  TcpListener listener;
  RawTab t = open_raw(listener);
  t.peer->send("a\rb#END");
  ASSERT_EQ(drain_to_end(t.tab), "a\rb#END");

  const std::size_t mark = app().scripts().size();
  t.rec["crhaslf"] = true;
  save(t.rec);
  ASSERT_TRUE(saw_info(t.tab, kSettingsApplied, false, mark));
  t.peer->send("c\rd#END");
  EXPECT_EQ(drain_to_end(t.tab), "c\r\nd#END");
}

TEST_F(RawTabTest, ConnectionFieldSavedWhileConnectedWaitsForReconnect) {
  start();
  TcpListener listener;
  RawTab t = open_raw(listener);
  t.peer->start_echo();

  const std::size_t mark = app().scripts().size();
  t.rec["port"] = listener.port() + 1;
  save(t.rec);
  ASSERT_TRUE(saw_info(t.tab, kSettingsNeedReconnect, false, mark));

  EXPECT_EQ(tab_summary(t.tab)["alive"], true);
  EXPECT_EQ(app().call("send_input", Json::array({t.tab, "still here#END"})), true);
  EXPECT_EQ(drain_to_end(t.tab), "still here#END") << "the tab keeps its old connection";
}

TEST_F(RawTabTest, EncodingSavedWhileConnectedSwitchesDecoderUnlessUnknown) {
  start();
  TcpListener listener;
  RawTab t = open_raw(listener);

  std::size_t mark = app().scripts().size();
  t.rec["line_code_page"] = "BIG5";
  save(t.rec);
  ASSERT_TRUE(saw_info(t.tab, kSettingsApplied, false, mark));
  t.peer->send("\xA4\xA4#END");
  EXPECT_EQ(drain_to_end(t.tab), "中#END");

  mark = app().scripts().size();
  t.rec["line_code_page"] = "no-such-encoding";
  save(t.rec);
  EXPECT_TRUE(saw_info(t.tab, kSettingsApplied, false, mark));
  EXPECT_TRUE(app().wait_for_stderr("[apply_session] encoding lookup failed:"));
  t.peer->send("\xA4\xA4#END");
  EXPECT_EQ(drain_to_end(t.tab), "中#END") << "an unknown encoding keeps the old decoder";
}

class PeerEndTest : public RawTabTest, public ::testing::WithParamInterface<bool> {};

TEST_P(PeerEndTest, PeerEndingConnectionEndsTab) {
  const bool with_reset = GetParam();
  start();
  TcpListener listener;
  RawTab t = open_raw(listener);
  t.peer->send("bye#END");
  ASSERT_EQ(drain_to_end(t.tab), "bye#END");
  const std::size_t mark = app().scripts().size();

  if (with_reset) {
    t.peer->reset();
  } else {
    t.peer->close();
  }
  EXPECT_TRUE(saw_info(t.tab, kConnectionEnded, false, mark));
  EXPECT_TRUE(wait_until_dead(t.tab));
  for (const auto& s : app().scripts()) {
    EXPECT_FALSE(s.tab() == t.tab && s.is_error()) << "an ended connection is no error: " << s.text;
  }
  EXPECT_EQ(app().call("send_input", Json::array({t.tab, "x"})), false)
      << "input to an ended connection is not reported as sent";
  EXPECT_TRUE(tab_summary(t.tab).is_object()) << "the ended tab stays until closed";
}

INSTANTIATE_TEST_SUITE_P(Ends, PeerEndTest, ::testing::Bool(),
                         [](const auto& p) { return p.param ? "Reset" : "Close"; });

TEST_F(RawTabTest, RefusedConnectionShowsFailureLine) {
  start();
  const std::uint16_t port = peers::refused_port();
  const std::string tab = open_tab(save(raw_record(port)));

  EXPECT_TRUE(saw_info(tab, raw_connecting_line("127.0.0.1", port), false));
  auto failed = app().wait_for_script([&](const Script& s) {
    return s.tab() == tab && s.message().starts_with(kConnectFailedPrefix);
  });
  ASSERT_TRUE(failed) << "no failure line";
  EXPECT_TRUE(failed->is_error()) << failed->text;
  EXPECT_GT(failed->message().size(), kConnectFailedPrefix.size()) << "the reason is shown";
  EXPECT_TRUE(wait_until_dead(tab));
  EXPECT_FALSE(app().wait_for_script(connected_for(tab), Ms{0}));
  EXPECT_EQ(app().call("send_input", Json::array({tab, "x"})), false);
}

class PortDefaultTest : public RawTabTest, public ::testing::WithParamInterface<Json> {};

TEST_P(PortDefaultTest, MissingOrUnreadablePortMeans23) {
  start();
  Json rec = {{"name", "p"}, {"protocol", "raw"}, {"host", "127.0.0.1"}};
  if (!GetParam().is_discarded()) rec["port"] = GetParam();
  const std::string tab = open_tab(save(rec));
  EXPECT_TRUE(saw_info(tab, raw_connecting_line("127.0.0.1", 23), false));
}

std::string port_case_name(const ::testing::TestParamInfo<Json>& p) {
  static const char* const kNames[] = {"Absent", "Null", "Zero", "EmptyText", "Text", "List"};
  return kNames[p.index];
}

INSTANTIATE_TEST_SUITE_P(Ports, PortDefaultTest,
                         ::testing::Values(Json(Json::value_t::discarded), Json(nullptr), Json(0),
                                           Json(""), Json("abc"), Json(Json::array())),
                         port_case_name);

TEST_F(RawTabTest, NumericTextPortConnects) {
  start();
  TcpListener listener;
  RawTab t = open_raw(listener, {{"port", " " + std::to_string(listener.port()) + " "}});
  EXPECT_TRUE(saw_info(t.tab, raw_connecting_line("127.0.0.1", listener.port()), false));
}

TEST_F(RawTabTest, ClosingConnectedTabClosesConnection) {
  start();
  TcpListener listener;
  RawTab t = open_raw(listener);
  Json state = app().call("close_tab", Json::array({t.tab}));
  EXPECT_EQ(state["tabs"], Json::array());
  EXPECT_TRUE(t.peer->read_all().eof) << "the peer must see the connection end";
}

TEST_F(RawTabTest, TabClosedWhileConnectingClosesLateConnection) {
  start();
  // Backlog 0 with one connection left waiting fills the queue: the kernel drops the program's
  // SYN, so its connect hangs in retries until we accept the filler.
  TcpListener listener(0);
  TcpConnection filler = listener.connect_to_self();
  const std::string tab = open_tab(save(raw_record(listener.port())));
  ASSERT_TRUE(saw_info(tab, raw_connecting_line("127.0.0.1", listener.port()), false));

  Json state = app().call("close_tab", Json::array({tab}));
  EXPECT_EQ(state["tabs"], Json::array());
  ASSERT_FALSE(app().wait_for_script(connected_for(tab), Ms{0}))
      << "the connect did not hang; this test proves nothing here";

  TcpConnection filler_server = listener.accept();
  TcpConnection late = listener.accept();  // the program's SYN retry now gets through
  EXPECT_TRUE(late.read_all(Ms{5'000}).eof)
      << "a connection that completes after its tab closed must be closed at once";
  EXPECT_FALSE(app().wait_for_script(connected_for(tab), Ms{0}));
}

TEST_F(RawTabTest, EndOfInputWithLiveConnectionExitsCleanly) {
  start();
  TcpListener listener;
  RawTab t = open_raw(listener);
  t.peer->send("live#END");
  ASSERT_EQ(drain_to_end(t.tab), "live#END");
  // The reader is blocked in recv now; shutdown must not wait for it.
  const ExitStatus st = app().finish();
  EXPECT_TRUE(st.exited && st.code == 0) << st.describe();
  EXPECT_TRUE(t.peer->read_all(Ms{5'000}).eof);
}

}  // namespace
}  // namespace veltaro::driver
