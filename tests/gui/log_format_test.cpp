// Log file names and the plain text a text-mode log makes of terminal output.
#include "model/gui/log_name.h"
#include "model/gui/log_text_filter.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

namespace veltaro::gui {
namespace {

using namespace std::chrono_literals;

// Times in these tests are read in UTC, whatever the machine's zone.
class LogFormat : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
  }
  // 2026-12-08 14:03:07.123 UTC
  static LogClock::time_point sample_time() { return LogClock::from_time_t(1796738587) + 123ms; }
  static std::string plain(std::initializer_list<std::string_view> pieces, bool stamps = false) {
    TextLogFilter filter(stamps);
    std::string out;
    for (const auto piece : pieces) filter.feed(piece, sample_time(), out);
    return out;
  }
};

TEST_F(LogFormat, placeholders_expand_and_values_cannot_leave_the_folder) {
  const LogNameFields f{"10.0.0.1", "22", "core/sw1"};
  const std::tm tm = local_time(sample_time());
  EXPECT_EQ(expand_log_name("~/logs/&H-&P_&Y&M&D_&T.log", f, tm),
            "~/logs/10.0.0.1-22_20261208_140307.log");
  EXPECT_EQ(expand_log_name("&N.log", f, tm), "core_sw1.log");
  EXPECT_EQ(expand_log_name("a&&b&x&", f, tm), "a&b&x&");
  EXPECT_EQ(expand_log_name("/l/&N/&H", {"..", "1", "."}, tm), "/l/_/_");
  EXPECT_TRUE(has_date_placeholder("x&D.log"));
  EXPECT_FALSE(has_date_placeholder("x&&D&T&H.log")) << "&&D is a literal &D";
}

TEST_F(LogFormat, names_resolve_under_home_unless_absolute) {
  const std::filesystem::path home = "/home/u";
  EXPECT_EQ(resolve_log_path("~/a/b.log", home), "/home/u/a/b.log");
  EXPECT_EQ(resolve_log_path("b.log", home), "/home/u/b.log");
  EXPECT_EQ(resolve_log_path("/var/x.log", home), "/var/x.log");
}

TEST_F(LogFormat, times_and_midnight) {
  EXPECT_EQ(marker_time(sample_time()), "2026-12-08 14:03:07");
  LineStamp stamp;
  EXPECT_EQ(stamp.at(sample_time()), "[2026-12-08 14:03:07.123] ");
  EXPECT_EQ(stamp.at(sample_time() + 900ms), "[2026-12-08 14:03:08.023] ");
  EXPECT_EQ(stamp.at(sample_time() + 901ms), "[2026-12-08 14:03:08.024] ");
  EXPECT_EQ(next_local_midnight(sample_time()), LogClock::from_time_t(1796774400));
}

TEST_F(LogFormat, escape_sequences_and_controls_are_removed) {
  EXPECT_EQ(plain({"\x1b[1;31mred\x1b[0m \x1b]0;title\x07ok\r\n"}), "red ok\n");
  EXPECT_EQ(plain({"a\x1b]8;;http://x\x1b\\link\x1b]8;;\x1b\\b\n"}), "alinkb\n");
  EXPECT_EQ(plain({"\x1b(B\x1b=\x1bPq#0;1\x1b\\x\x07\x0e\n"}), "x\n");
  // C1 forms in UTF-8: CSI U+009B, OSC U+009D ended by ST U+009C; ordinary Latin-1 letters stay.
  EXPECT_EQ(plain({"\xc2\x9b"
                   "2Jé°\xc2\x9d"
                   "0;t\xc2\x9c"
                   "z\n"}),
            "é°z\n");
  // Split anywhere: inside a CSI, between ESC and '[', inside a C1 control's UTF-8.
  EXPECT_EQ(plain({"ab\x1b", "[3", "1mcd\xc2",
                   "\x9b"
                   "0m",
                   "e\xc2", "\xa0\n"}),
            "abcde\xc2\xa0\n");
  EXPECT_TRUE(plain({"\x1b[", std::string(300, '1'), "Xtail\n"}).ends_with("1Xtail\n"))
      << "an endless CSI is given up and the text after it kept";
}

TEST_F(LogFormat, line_ends_and_backspace) {
  EXPECT_EQ(plain({"a\r\nb\nc\r\r\nd\n\re\n"}), "a\nb\nc\nd\ne\n");
  EXPECT_EQ(plain({"10%\r20%\r", "\n"}), "10%\n20%\n");
  EXPECT_EQ(plain({"line\r\x1b[Knew\n"}), "line\nnew\n");
  EXPECT_EQ(plain({"abc\b \bd中\b\bx\n"}), "abx\n");
  EXPECT_EQ(plain({"ab", "\b\bc\n"}), "c\n") << "within one batch of output, pieces do not matter";
  TextLogFilter filter(false);
  std::string out;
  filter.feed("ab", sample_time(), out);
  filter.output_taken();
  out.clear();
  filter.feed("c\b\bd\n", sample_time(), out);
  EXPECT_EQ(out, "d\n") << "what was written stays; what followed it on the line can be erased";
}

TEST_F(LogFormat, timestamps_start_every_line_with_its_first_arrival) {
  TextLogFilter filter(true);
  std::string out;
  filter.feed("\x1b[32mboot\r\n\r\nre", sample_time(), out);
  filter.feed("ady\r\n", sample_time() + 2s, out);
  filter.finish_line(out);
  EXPECT_EQ(out,
            "[2026-12-08 14:03:07.123] boot\n"
            "[2026-12-08 14:03:07.123] \n"
            "[2026-12-08 14:03:07.123] ready\n");
  out.clear();
  filter.feed("half", sample_time() + 3s, out);
  filter.finish_line(out);
  EXPECT_EQ(out, "[2026-12-08 14:03:10.123] half\n");
}

}  // namespace
}  // namespace veltaro::gui
