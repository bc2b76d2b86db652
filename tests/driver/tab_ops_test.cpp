// Tab operations the page calls, on tabs whose protocol has no starter (they never touch the
// network): opening, listing, activating and closing tabs, the per-tab switches, and arguments
// of the wrong type.
#include <gtest/gtest.h>

#include <algorithm>

#include "driver_fixture.h"

namespace veltaro::driver {
namespace {

std::string unsupported_line(std::string_view upper) {
  return "目前 " + std::string(upper) + " 協定尚未支援；請改用 SSH 或序列埠連線。";
}

class TabOpsTest : public DriverTest {
 protected:
  std::string save_ftp(const std::string& name) {
    return save({{"name", name}, {"protocol", "ftp"}, {"host", "ftp.example"}, {"port", 21}});
  }
  std::vector<std::string> tab_ids(const Json& state) {
    std::vector<std::string> ids;
    for (const auto& t : state.value("tabs", Json::array())) ids.push_back(t.value("id", ""));
    return ids;
  }
};

TEST_F(TabOpsTest, OpeningSameSessionTwiceReusesItsTab) {
  start();
  const std::string sid = save_ftp("dup");

  Json first = app().call("connect_session", Json::array({sid}));
  ASSERT_TRUE(first["tab_id"].is_string()) << first.dump();
  const std::string tab = first["tab_id"].get<std::string>();
  EXPECT_TRUE(is_lower_hex(tab, 8)) << tab;
  EXPECT_FALSE(first.contains("existing")) << first.dump();
  EXPECT_EQ(first["active_tab"], tab);
  EXPECT_EQ(tab_ids(first), std::vector<std::string>{tab});

  const std::string other = open_tab(save_ftp("other"));
  Json again = app().call("connect_session", Json::array({sid}));
  EXPECT_EQ(again["tab_id"], tab);
  EXPECT_EQ(again["existing"], true) << again.dump();
  EXPECT_EQ(again["active_tab"], tab) << "opening an open session activates its tab";
  EXPECT_EQ(tab_ids(again), (std::vector<std::string>{tab, other}));
}

TEST_F(TabOpsTest, TabSummaryShowsSessionAndTitle) {
  start();
  const std::string named = save({{"name", "資料庫"}, {"protocol", "ftp"}, {"host", "db"}});
  const std::string unnamed =
      save({{"name", ""}, {"protocol", "ftp"}, {"host", "h"}, {"port", 2222}});
  const std::string t1 = open_tab(named);
  const std::string t2 = open_tab(unnamed);

  Json s1 = tab_summary(t1);
  EXPECT_EQ(s1["display"], "資料庫");
  EXPECT_EQ(s1["protocol"], "ftp");
  EXPECT_EQ(s1["session_id"], named);
  EXPECT_EQ(tab_summary(t2)["display"], "h:2222") << "an unnamed session is titled host:port";
}

class UnsupportedProtocolTest
    : public DriverTest,
      public ::testing::WithParamInterface<std::pair<std::string, std::string>> {};

TEST_P(UnsupportedProtocolTest, ShowsErrorLineAndEndsTab) {
  const auto& [protocol, upper] = GetParam();
  start();
  const std::string tab = open_tab(save({{"name", "x"}, {"protocol", protocol}, {"host", "h"}}));

  EXPECT_TRUE(saw_info(tab, unsupported_line(upper), /*is_error=*/true));
  EXPECT_TRUE(wait_until_dead(tab));
  Json summary = tab_summary(tab);
  EXPECT_TRUE(summary.is_object()) << "the tab stays listed until closed";
  EXPECT_EQ(summary["protocol"], protocol);
  EXPECT_FALSE(app().wait_for_script(connected_for(tab), Ms{0}));
  EXPECT_EQ(app().call("send_input", Json::array({tab, "ls\r"})), false)
      << "a tab without a transport drops its input";
}

INSTANTIATE_TEST_SUITE_P(Protocols, UnsupportedProtocolTest,
                         ::testing::Values(std::pair<std::string, std::string>{"ftp", "FTP"},
                                           std::pair<std::string, std::string>{"gopher", "GOPHER"}),
                         [](const auto& p) { return p.param.first; });

TEST_F(TabOpsTest, ClosingActiveTabActivatesLastOpenedRemaining) {
  start();
  const std::string a = open_tab(save_ftp("a"));
  const std::string sid_b = save_ftp("b");
  const std::string b = open_tab(sid_b);
  const std::string c = open_tab(save_ftp("c"));
  // Re-activate b, so that "previously active" and "last opened" differ.
  ASSERT_EQ(app().call("connect_session", Json::array({sid_b}))["active_tab"], b);

  Json state = app().call("close_tab", Json::array({b}));
  EXPECT_EQ(tab_ids(state), (std::vector<std::string>{a, c}));
  EXPECT_EQ(state["active_tab"], c);

  state = app().call("close_tab", Json::array({a}));
  EXPECT_EQ(state["active_tab"], c) << "closing an inactive tab keeps the active one";

  state = app().call("close_tab", Json::array({c}));
  EXPECT_EQ(state["tabs"], Json::array());
  EXPECT_TRUE(state.contains("active_tab") && state["active_tab"].is_null()) << state.dump();

  state = app().call("close_tab", Json::array({c}));
  EXPECT_EQ(state["tabs"], Json::array()) << "closing an unknown tab only returns the state";
}

TEST_F(TabOpsTest, ReadingSwitchToggles) {
  start();
  const std::string tab = open_tab(save_ftp("r"));
  EXPECT_EQ(app().call("get_tab_reading", Json::array({tab})), Json({{"reading", true}}));
  EXPECT_EQ(app().call("toggle_tab_reading", Json::array({tab})), Json({{"reading", false}}));
  EXPECT_EQ(app().call("get_tab_reading", Json::array({tab})), Json({{"reading", false}}));
  EXPECT_EQ(app().call("toggle_tab_reading", Json::array({tab})), Json({{"reading", true}}));
  EXPECT_EQ(app().call("get_tab_reading", Json::array({tab})), Json({{"reading", true}}));
}

TEST_F(TabOpsTest, ResizeWithNonNumericSizeIsLoggedAndHarmless) {
  start();
  const std::string tab = open_tab(save_ftp("size"));
  EXPECT_TRUE(app().call("resize_pty", Json::array({tab, "30", 100})).is_null());
  EXPECT_TRUE(app().call("resize_pty", Json::array({"nosuchtab", "abc", "x"})).is_null());

  EXPECT_TRUE(app().call("resize_pty", Json::array({tab, "abc", Json::array()})).is_null());
  ASSERT_TRUE(app().wait_for_stderr("[resize_pty] "));
  const std::string err = app().stderr_text();
  std::size_t count = 0;
  for (auto pos = err.find("[resize_pty]"); pos != std::string::npos;
       pos = err.find("[resize_pty]", pos + 1)) {
    ++count;
  }
  EXPECT_EQ(count, 1u) << "numeric strings and unknown tabs are no failure:\n" << err;
  EXPECT_TRUE(tab_summary(tab).is_object()) << "the program and the tab are still there";
}

TEST_F(TabOpsTest, SetTabEncodingAcceptsKnownNamesOnly) {
  start();
  const std::string tab = open_tab(save_ftp("enc"));
  EXPECT_EQ(app().call("set_tab_encoding", Json::array({tab, "Big5"})), true);
  EXPECT_EQ(app().call("set_tab_encoding", Json::array({tab, "UTF-8"})), true);
  EXPECT_EQ(app().call("set_tab_encoding", Json::array({tab, "no-such-encoding"})), false);
  EXPECT_EQ(app().call("set_tab_encoding", Json::array({"nosuchtab", "utf-8"})), false);
}

TEST_F(TabOpsTest, DeletingSessionKeepsItsTabOpen) {
  start();
  const std::string sid = save_ftp("gone");
  const std::string tab = open_tab(sid);
  app().call("delete_session", Json::array({sid}));
  Json summary = tab_summary(tab);
  ASSERT_TRUE(summary.is_object());
  EXPECT_EQ(summary["session_id"], sid);
}

TEST_F(TabOpsTest, WrongOrMissingArgumentsGiveNeutralResults) {
  start();
  EXPECT_EQ(
      app().call("get_runtime_state"),
      Json({{"tabs", Json::array()}, {"active_tab", nullptr}, {"session_status", Json::object()}}));

  const std::string tab = open_tab(save_ftp("n"));
  struct Case {
    const char* method;
    Json params;
    Json expected;
  };
  const Json no_tab = {{"tab_id", nullptr}};
  const Json not_reading = {{"reading", false}};
  const std::vector<Case> cases = {
      {"connect_session", Json::array(), no_tab},
      {"connect_session", Json::array({42}), no_tab},
      {"connect_session", Json::array({std::string(32, 'a')}), no_tab},
      {"drain_terminal", Json::array(), ""},
      {"drain_terminal", Json::array({nullptr}), ""},
      {"drain_terminal", Json::array({"nosuchtab"}), ""},
      {"send_input", Json::array({tab}), false},
      {"send_input", Json::array({1, 2}), false},
      {"send_input", Json::array({"nosuchtab", "x"}), false},
      {"set_tab_encoding", Json::array({tab, 5}), false},
      {"set_tab_encoding", Json::array({tab}), false},
      {"get_tab_reading", Json::array({Json::array()}), not_reading},
      {"get_tab_reading", Json::array({"nosuchtab"}), not_reading},
      {"toggle_tab_reading", Json::array({Json::object()}), not_reading},
      {"toggle_tab_reading", Json::array({"nosuchtab"}), not_reading},
      {"resize_pty", Json::array(), nullptr},
      {"accept_host_key", Json::array({tab}), Json{{"ok", false}}},
      {"accept_host_key", Json::array({tab, "SHA256:x", "yes"}), Json{{"ok", false}}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(app().call(c.method, c.params), c.expected) << c.method << c.params.dump();
  }
  Json state = app().call("close_tab", Json::array({7}));
  EXPECT_EQ(tab_ids(state), std::vector<std::string>{tab}) << state.dump();
  EXPECT_EQ(app().call("get_tab_reading", Json::array({tab})), Json({{"reading", true}}))
      << "a wrong-typed toggle must not touch real tabs";
}

}  // namespace
}  // namespace veltaro::driver
