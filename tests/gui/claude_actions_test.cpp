// The actions the assistant panel runs after the user agreed: a command typed into a tab and the
// two line-ending flags of a tab's session.
#include "tests/gui/claude_standin.h"

namespace veltaro::gui::testing {
namespace {

namespace fs = std::filesystem;

class RecordingConnection final : public TabConnection {
 public:
  std::string receive(std::size_t) override { return {}; }
  void send_input(std::string_view data) override { sent.emplace_back(data); }
  void resize(int, int) override {}
  void set_keepalive(std::chrono::seconds) noexcept override {}
  void close() noexcept override {}
  bool is_open() const noexcept override { return true; }
  bool can_wait() const noexcept override { return true; }
  std::vector<std::string> sent;
};

using ClaudeActionsTest = DataDirTest;

TEST_F(ClaudeActionsTest, inject_adds_a_line_feed_only_where_one_is_missing) {
  auto app = make_app();
  auto tab = add_tab(*app, "t1", Json{{"protocol", "raw"}});
  auto raw = std::make_shared<RecordingConnection>();
  tab->connection = raw;
  EXPECT_TRUE(app->claude_inject("t1", "ls -l", true));
  EXPECT_TRUE(app->claude_inject("t1", "reset\r", true));
  EXPECT_TRUE(app->claude_inject("t1", "y", false));
  EXPECT_FALSE(app->claude_inject("t1", "", true));
  EXPECT_FALSE(app->claude_inject("gone", "ls", true));
  EXPECT_EQ(raw->sent, (std::vector<std::string>{"ls -l\n", "reset\r", "y"}));

  // Through the page's table: append_newline defaults to true, a non-text command is refused.
  EXPECT_EQ(app->call_operation("claude_inject", Json::array({"t1", "pwd"})), Json(true));
  EXPECT_EQ(app->call_operation("claude_inject", Json::array({"t1", 5})), Json(false));
  EXPECT_EQ(raw->sent.back(), "pwd\n");
}

TEST_F(ClaudeActionsTest, toggling_a_flag_changes_the_tab_the_store_and_says_so) {
  auto app = make_app();
  const Json saved = app->save_session(Json{{"name", "s"}, {"protocol", "raw"}, {"host", "h"}});
  const Json id = saved["id"];
  add_tab(*app, "t1", *app->sessions_snapshot().front());
  const auto file_time = fs::last_write_time(app->SESSIONS_FILE);

  const Json refused = app->claude_toggle_session_flag("t1", "encoding");
  EXPECT_EQ(refused, (Json{{"ok", false}, {"error", "未授權的 flag：encoding"}}));
  EXPECT_EQ(fs::last_write_time(app->SESSIONS_FILE), file_time);
  EXPECT_EQ(app->claude_toggle_session_flag("nope", "lfhascr"),
            (Json{{"ok", false}, {"error", "找不到目標分頁"}}));

  const Json on = app->claude_toggle_session_flag("t1", "lfhascr");
  EXPECT_EQ(on["value"], true);
  EXPECT_EQ(on["sessions"][0]["lfhascr"], true);
  EXPECT_EQ(app->find_tab("t1")->session->at("lfhascr"), true);
  std::ifstream stored(app->SESSIONS_FILE);
  EXPECT_EQ(Json::parse(stored)["sessions"][0]["lfhascr"], true);
  EXPECT_TRUE(
      window_->wait_for(common::dump_ascii(Json("─── 已啟用「LF 後隱含 CR (lfhascr)」 ───"))));

  const Json off = app->claude_toggle_session_flag("t1", "lfhascr");
  EXPECT_EQ(off["value"], false);
  EXPECT_EQ(off["flag"], "lfhascr");
  EXPECT_TRUE(
      window_->wait_for(common::dump_ascii(Json("─── 已停用「LF 後隱含 CR (lfhascr)」 ───"))));

  // A tab whose session is not in the store: only the tab's copy changes.
  add_tab(*app, "t2", Json{{"id", "other"}, {"protocol", "raw"}, {"crhaslf", "yes"}});
  const Json detached = app->claude_toggle_session_flag("t2", "crhaslf");
  EXPECT_EQ(detached["value"], false);
  EXPECT_EQ(detached["sessions"].size(), 1u);
  EXPECT_TRUE(
      window_->wait_for(common::dump_ascii(Json("─── 已停用「CR 後隱含 LF (crhaslf)」 ───"))));
}

}  // namespace
}  // namespace veltaro::gui::testing
