#include "test_support.h"

#include <atomic>
#include <thread>

namespace veltaro::gui {
namespace {

using common::Json;
using testing::add_tab;

class OutputPipeline : public testing::DataDirTest {
 protected:
  void SetUp() override {
    DataDirTest::SetUp();
    app_ = make_app();
  }
  std::string translate(const Json& session, std::initializer_list<std::string> chunks) {
    const auto tab = add_tab(*app_, "t" + std::to_string(++n_), session);
    std::string out;
    for (const auto& c : chunks) out += app_->_apply_eol_translation(*tab, c);
    return out;
  }
  std::shared_ptr<VeltaroApp> app_;
  int n_ = 0;
};

TEST_F(OutputPipeline, LineEndTranslationFollowsBothSwitchesAndCarriesAcrossChunks) {
  const Json lf{{"lfhascr", true}};
  const Json cr{{"crhaslf", true}};
  const Json both{{"lfhascr", true}, {"crhaslf", 1}};
  EXPECT_EQ(translate(cr, {"a\rb"}), "a\r\nb");
  EXPECT_EQ(translate(lf, {"a\nb"}), "a\r\nb");
  EXPECT_EQ(translate(lf, {"a\r\nb"}), "a\r\nb");
  EXPECT_EQ(translate(lf, {"a\r", "\nb"}), "a\r\nb") << "a CR LF split across chunks gains no CR";
  EXPECT_EQ(translate(lf, {"a\r", "x\nb"}), "a\rx\r\nb") << "the carry ends at any other char";
  EXPECT_EQ(translate(lf, {"\n\n"}), "\r\n\r\n");
  EXPECT_EQ(translate(both, {"a\r\nb"}), "a\r\n\r\nb");
  EXPECT_EQ(translate(Json::object(), {"a\r", "\nb\n"}), "a\r\nb\n");
  EXPECT_EQ(translate(lf, {"中文\n"}), "中文\r\n");
}

TEST_F(OutputPipeline, SwitchesOffLeaveTheCarryAlone) {
  auto tab = add_tab(*app_, "x", Json{{"lfhascr", false}});
  tab->eol_prev_cr = true;
  EXPECT_EQ(app_->_apply_eol_translation(*tab, "\nq"), "\nq");
  EXPECT_TRUE(tab->eol_prev_cr);
}

TEST_F(OutputPipeline, LineThatCannotWaitTrimsWholeOldChunksAndKeepsTheNewest) {
  add_tab(*app_, "t", Json::object())->buffer.drop_oldest = true;
  const std::string chunk(900'000, 'a');  // 45 % of the limit
  for (int i = 0; i < 3; ++i) app_->_push_to_term("t", chunk);
  EXPECT_EQ(app_->drain_terminal("t").size(), 1'800'000u);
  const std::string huge(2'500'000, 'b');  // 125 %: stays whole
  app_->_push_to_term("t", "old");
  app_->_push_to_term("t", huge);
  EXPECT_EQ(app_->drain_terminal("t"), huge);
  EXPECT_EQ(app_->drain_terminal("t"), "");
}

TEST_F(OutputPipeline, LimitCountsCharactersNotBytes) {
  add_tab(*app_, "t", Json::object())->buffer.drop_oldest = true;
  std::string chinese;
  for (int i = 0; i < 600'000; ++i) chinese += "中";  // 600k characters, 1.8 MB
  app_->_push_to_term("t", chinese);
  app_->_push_to_term("t", chinese);
  app_->_push_to_term("t", chinese);
  // 1.8 M characters fit; counting bytes (5.4 MB) would have dropped two chunks.
  EXPECT_EQ(app_->drain_terminal("t").size(), 3 * chinese.size());
  app_->_push_to_term("t", chinese + chinese);
  app_->_push_to_term("t", chinese + chinese);
  EXPECT_EQ(app_->drain_terminal("t").size(), 2 * chinese.size());
}

TEST_F(OutputPipeline, DecoderCountThroughLineEndTranslationIsTheTextsCount) {
  const auto tab = add_tab(*app_, "t", Json{{"lfhascr", true}});
  const std::string text = "中文\n\nab\r\n";
  ASSERT_TRUE(app_->push_output(*tab, text, common::count_chars(text)));
  const std::string shown = "中文\r\n\r\nab\r\n";
  {
    const std::lock_guard lock(app_->_buf_lock);
    EXPECT_EQ(tab->buffer.total, common::count_chars(shown));
  }
  EXPECT_EQ(app_->drain_terminal("t"), shown);
}

// A reader pushing into a full buffer, on a thread of its own as the tab's reader thread is.
class HeldReader {
 public:
  HeldReader(VeltaroApp& app, const std::string& tab, std::string text)
      : thread_([&app, tab, text = std::move(text), this] {
          app._push_to_term(tab, text);
          returned_ = true;
        }) {}
  ~HeldReader() { thread_.join(); }
  bool returned() const { return returned_.load(); }
  // Waits up to `timeout` for the push to return.
  bool returns_within(std::chrono::milliseconds timeout) const {
    const auto until = std::chrono::steady_clock::now() + timeout;
    while (!returned() && std::chrono::steady_clock::now() < until) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return returned();
  }

 private:
  std::atomic<bool> returned_{false};
  std::thread thread_;
};

constexpr std::chrono::milliseconds kHeldCheck{200};
constexpr std::chrono::milliseconds kRelease{5000};

TEST_F(OutputPipeline, FullBufferHoldsTheReaderUntilDrainedAndLosesNothing) {
  add_tab(*app_, "t", Json::object());
  const std::string chunk(900'000, 'a');
  for (int i = 0; i < 3; ++i) app_->_push_to_term("t", chunk);  // 2.7 M: one chunk past
  HeldReader reader(*app_, "t", "newest");
  std::this_thread::sleep_for(kHeldCheck);
  EXPECT_FALSE(reader.returned()) << "a full buffer must hold the reader";
  EXPECT_EQ(app_->drain_terminal("t").size(), 2'700'000u) << "nothing was dropped";
  ASSERT_TRUE(reader.returns_within(kRelease));
  EXPECT_EQ(app_->drain_terminal("t"), "newest");
}

struct Release {
  const char* name;
  void (*act)(VeltaroApp&);
};

void PrintTo(const Release& r, std::ostream* os) {
  *os << r.name;
}

class HeldReaderRelease : public OutputPipeline, public ::testing::WithParamInterface<Release> {};

TEST_P(HeldReaderRelease, EndsTheWaitAtOnceAndDropsTheHeldText) {
  const auto tab = add_tab(*app_, "t", Json::object());
  app_->_push_to_term("t", std::string(2'000'000, 'a'));
  HeldReader reader(*app_, "t", "held");
  std::this_thread::sleep_for(kHeldCheck);
  ASSERT_FALSE(reader.returned());
  GetParam().act(*app_);
  EXPECT_TRUE(reader.returns_within(kRelease));
  const std::lock_guard lock(app_->_buf_lock);
  EXPECT_EQ(tab->buffer.chunks.size(), 1u) << "the held text is dropped";
}

INSTANTIATE_TEST_SUITE_P(
    Events, HeldReaderRelease,
    ::testing::Values(Release{"TabClosed", [](VeltaroApp& a) { a.close_tab("t"); }},
                      Release{"CaptureOff", [](VeltaroApp& a) { a.toggle_tab_reading("t"); }},
                      Release{"Shutdown", [](VeltaroApp& a) { a._shutdown(); }}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(OutputPipeline, CaptureOffDropsTextForGood) {
  auto tab = add_tab(*app_, "t", Json::object());
  EXPECT_EQ(app_->toggle_tab_reading("t"), (Json{{"reading", false}}));
  app_->_push_to_term("t", "lost");
  EXPECT_EQ(app_->toggle_tab_reading("t"), (Json{{"reading", true}}));
  app_->_push_to_term("t", "kept");
  EXPECT_EQ(app_->drain_terminal("t"), "kept");
  EXPECT_EQ(app_->drain_terminal("missing"), "");
  app_->_push_to_term("missing", "nowhere");
}

TEST_F(OutputPipeline, AppendAgainstDrainLosesAndReordersNothing) {
  add_tab(*app_, "t", Json{{"lfhascr", true}});
  constexpr int kLines = 20000;
  std::thread writer([&] {
    for (int i = 0; i < kLines; ++i) app_->_push_to_term("t", std::to_string(i) + "\n");
  });
  std::string all;
  std::atomic<bool> done{false};
  std::thread reader([&] {
    while (!done.load()) all += app_->drain_terminal("t");
  });
  writer.join();
  done = true;
  reader.join();
  all += app_->drain_terminal("t");
  std::string expected;
  for (int i = 0; i < kLines; ++i) expected += std::to_string(i) + "\r\n";
  EXPECT_EQ(all, expected);
}

TEST_F(OutputPipeline, StatusLinesAreAsciiScriptCalls) {
  app_->_push_info("ab12cd34", "─── 連線已結束 ───", false);
  app_->_push_info("ab12cd34", "bad \"quote\" 😀", true);
  app_->_push_connected("ab12cd34");
  const auto scripts = window_->scripts();
  ASSERT_EQ(scripts.size(), 3u);
  EXPECT_EQ(
      scripts[0],
      "setTerminalInfo(\"ab12cd34\", \"\\u2500\\u2500\\u2500 \\u9023\\u7dda\\u5df2\\u7d50\\u675f "
      "\\u2500\\u2500\\u2500\", false)");
  EXPECT_EQ(scripts[1],
            "setTerminalInfo(\"ab12cd34\", \"bad \\\"quote\\\" \\ud83d\\ude00\", true)");
  EXPECT_EQ(scripts[2], "terminalConnected(\"ab12cd34\")");
}

// Each line names the drain whose text it follows; that drain stops where the line was pushed,
// so a greeting that arrives right behind the connecting line never comes before it.
TEST_F(OutputPipeline, StatusLinesNameTheDrainTheyFollowAndDrainsStopThere) {
  add_tab(*app_, "t", Json::object());
  const auto line = [&](const char* text) {
    app_->_push_info("t", text, false);
    return window_->scripts().back();
  };
  EXPECT_EQ(line("connecting"), "setTerminalInfo(\"t\", \"connecting\", false, 0)");
  app_->_push_to_term("t", "greeting ");
  app_->_push_to_term("t", "joined");
  EXPECT_EQ(line("first"), "setTerminalInfo(\"t\", \"first\", false, 1)");
  app_->_push_to_term("t", "between");
  EXPECT_EQ(line("second"), "setTerminalInfo(\"t\", \"second\", false, 2)");
  EXPECT_EQ(line("third"), "setTerminalInfo(\"t\", \"third\", false, 2)") << "no text between";
  app_->_push_to_term("t", "tail");
  EXPECT_EQ(app_->drain_terminal("t"), "greeting joined");
  EXPECT_EQ(app_->drain_terminal("t"), "between");
  app_->_push_to_term("t", " more");
  EXPECT_EQ(app_->drain_terminal("t"), "tail more");
  EXPECT_EQ(app_->drain_terminal("t"), "");
  EXPECT_EQ(line("end"), "setTerminalInfo(\"t\", \"end\", false, 4)") << "every drain counts";
}

TEST_F(OutputPipeline, ATrimmedStretchKeepsItsPlaceBeforeItsLine) {
  add_tab(*app_, "t", Json::object())->buffer.drop_oldest = true;
  app_->_push_to_term("t", std::string(1'500'000, 'a'));
  app_->_push_info("t", "cut", false);
  EXPECT_EQ(window_->scripts().back(), "setTerminalInfo(\"t\", \"cut\", false, 1)");
  const std::string after(1'500'000, 'b');
  app_->_push_to_term("t", after);
  EXPECT_EQ(app_->drain_terminal("t"), "") << "the stretch before the line was dropped";
  EXPECT_EQ(app_->drain_terminal("t"), after);
}

TEST_F(OutputPipeline, StatusLinesBeforeTheWindowExistAreDropped) {
  app_->set_window(nullptr);
  app_->_push_info("t", "nobody sees this");
  app_->_push_connected("t");
  EXPECT_TRUE(window_->scripts().empty());
}

}  // namespace
}  // namespace veltaro::gui
