#include "test_support.h"

#include <atomic>
#include <condition_variable>

namespace veltaro::gui {
namespace {

using common::Json;

// A connection that records what the tab asks of it; its receive waits until it is closed.
class FakeConnection final : public TabConnection {
 public:
  std::string receive(std::size_t) override {
    std::unique_lock lock(mutex);
    closed_cv.wait(lock, [&] { return closes.load() > 0; });
    return {};
  }
  void send_input(std::string_view data) override {
    const std::lock_guard lock(mutex);
    sent += data;
  }
  void resize(int r, int c) override {
    rows = r;
    cols = c;
  }
  void set_keepalive(std::chrono::seconds) noexcept override {}
  void close() noexcept override {
    {
      const std::lock_guard lock(mutex);
      closes.fetch_add(1);
    }
    closed_cv.notify_all();
  }
  bool is_open() const noexcept override { return open && closes.load() == 0; }
  bool can_wait() const noexcept override { return true; }

  std::mutex mutex;
  std::condition_variable closed_cv;
  std::string sent;
  int rows = 0, cols = 0;
  bool open = true;
  std::atomic<int> closes{0};
};

class TabTable : public testing::DataDirTest {
 protected:
  std::string save(Json rec) { return app_->save_session(std::move(rec))["id"]; }
  void SetUp() override {
    DataDirTest::SetUp();
    app_ = make_app();
  }
  std::shared_ptr<VeltaroApp> app_;
};

TEST_F(TabTable, OneTabPerSessionAndClosingFallsBackToTheNewest) {
  const std::string a = save({{"name", "a"}, {"protocol", "gopher"}});
  const std::string b = save({{"name", "b"}, {"protocol", "gopher"}});
  const std::string c = save({{"name", "c"}, {"protocol", "gopher"}});
  EXPECT_EQ(app_->connect_session("unknown"), (Json{{"tab_id", nullptr}}));
  const Json first = app_->connect_session(a);
  const std::string ta = first["tab_id"];
  EXPECT_EQ(ta.size(), 8u);
  EXPECT_FALSE(first.contains("existing"));
  const std::string tb = app_->connect_session(b)["tab_id"];
  const std::string tc = app_->connect_session(c)["tab_id"];
  const Json again = app_->connect_session(a);
  EXPECT_EQ(again["tab_id"], ta);
  EXPECT_EQ(again["existing"], true);
  EXPECT_EQ(again["active_tab"], ta);
  EXPECT_EQ(again["tabs"].size(), 3u);

  EXPECT_EQ(app_->close_tab(ta)["active_tab"], tc) << "the most recently opened remaining tab";
  EXPECT_EQ(app_->close_tab(tc)["active_tab"], tb);
  const Json last = app_->close_tab(tb);
  EXPECT_TRUE(last["active_tab"].is_null());
  EXPECT_TRUE(last["tabs"].empty());
  EXPECT_EQ(app_->close_tab("nope")["tabs"], Json::array());
}

TEST_F(TabTable, UnsupportedProtocolEndsInItsErrorLine) {
  const std::string id = save({{"host", "h"}, {"protocol", "ftp"}});
  const std::string tab = app_->connect_session(id)["tab_id"];
  EXPECT_TRUE(
      window_->wait_for("setTerminalInfo(\"" + tab +
                        "\", \"\\u76ee\\u524d FTP \\u5354\\u5b9a\\u5c1a\\u672a\\u652f\\u63f4"
                        "\\uff1b\\u8acb\\u6539\\u7528 SSH \\u6216\\u5e8f\\u5217\\u57e0\\u9023"
                        "\\u7dda\\u3002\", true, 0)"));
  const Json state = app_->get_runtime_state();
  EXPECT_EQ(state["tabs"][0], (Json{{"id", tab},
                                    {"display", "h:"},
                                    {"protocol", "ftp"},
                                    {"alive", false},
                                    {"session_id", id}}));
}

TEST_F(TabTable, InputAndSizeGoToTheConnectionInTheTabsEncoding) {
  auto tab = testing::add_tab(*app_, "t", Json{{"id", "s"}});
  EXPECT_FALSE(app_->send_input("t", "early")) << "no connection yet";
  EXPECT_FALSE(app_->send_input("missing", "x"));
  auto c = std::make_shared<FakeConnection>();
  tab->connection = c;
  EXPECT_TRUE(app_->set_tab_encoding("t", "Big5"));
  EXPECT_EQ(tab->encoding, "Big5") << "kept as given";
  EXPECT_FALSE(app_->set_tab_encoding("t", "no-such-encoding"));
  EXPECT_TRUE(app_->send_input("t", "中😀"));
  EXPECT_EQ(c->sent, "\xA4\xA4?");

  app_->resize_pty("t", Json(0), Json("5"));
  EXPECT_EQ(c->rows, 2);
  EXPECT_EQ(c->cols, 20);
  ::testing::internal::CaptureStdout();
  app_->resize_pty("t", Json("tall"), Json(80));
  EXPECT_TRUE(::testing::internal::GetCapturedStdout().starts_with("[resize_pty] "));
}

TEST_F(TabTable, AConnectionAttachedAfterTheTabClosedIsClosedAtOnce) {
  auto tab = testing::add_tab(*app_, "t", Json{{"id", "s"}});
  auto held = std::make_shared<FakeConnection>();
  app_->attach_connection(tab, held, nullptr);
  EXPECT_TRUE(window_->wait_for("terminalConnected(\"t\")"));
  app_->close_tab("t");
  EXPECT_GE(held->closes.load(), 1);
  auto late = std::make_shared<FakeConnection>();
  app_->attach_connection(tab, late, nullptr);
  EXPECT_EQ(late->closes.load(), 1);
}

TEST_F(TabTable, SerialTabsReportTheirOwnReachability) {
  auto open = testing::add_tab(*app_, "s1", Json{{"id", "a"}, {"protocol", "serial"}});
  open->connection = std::make_shared<FakeConnection>();
  auto gone = testing::add_tab(*app_, "s2", Json{{"id", "b"}, {"protocol", "serial"}});
  auto shut = std::make_shared<FakeConnection>();
  shut->open = false;
  gone->connection = shut;
  {
    const std::lock_guard lock(app_->status_mutex);
    app_->session_status = {{"a", "offline"}, {"b", "online"}, {"c", "online"}};
  }
  EXPECT_EQ(app_->get_runtime_state()["session_status"],
            (Json{{"a", "online"}, {"b", "offline"}, {"c", "online"}}));
}

TEST_F(TabTable, OperationTableGivesNeutralResultsForWrongArguments) {
  auto call = [&](const char* name, Json params) { return *app_->call_operation(name, params); };
  EXPECT_FALSE(app_->call_operation("no_such_operation", Json::array()).has_value());
  EXPECT_EQ(call("send_input", Json::array({42, "x"})), false);
  EXPECT_EQ(call("send_input", Json::array()), false);
  EXPECT_EQ(call("drain_terminal", Json::array({nullptr})), "");
  EXPECT_EQ(call("drain_terminal", Json::array({"t", "soon"})), "");
  EXPECT_EQ(call("get_tab_reading", Json::array({Json::object()})), (Json{{"reading", false}}));
  EXPECT_EQ(call("toggle_tab_reading", Json::array({"nope"})), (Json{{"reading", false}}));
  EXPECT_EQ(call("set_tab_encoding", Json::array({"t", 5})), false);
  EXPECT_TRUE(call("resize_pty", Json::array({"t", "x", nullptr})).is_null());
  EXPECT_EQ(call("connect_session", Json::array({Json::array()})), (Json{{"tab_id", nullptr}}));
  EXPECT_TRUE(call("close_tab", Json::object()).contains("tabs"));
  EXPECT_TRUE(call("save_session", Json::array({"not a record"})).contains("error"));
  EXPECT_EQ(call("get_initial_state", Json::array())["sessions"], Json::array());
}

}  // namespace
}  // namespace veltaro::gui
