// Saving a session that has an open tab: the tab takes the new record at once, and its status line
// tells whether the change needs a reconnect. Empty values (absent, null, false, 0, "", []) all
// count as the same "empty", so re-saving an unchanged form never asks for a reconnect.
#include <gtest/gtest.h>

#include "driver_fixture.h"

namespace veltaro::driver {
namespace {

struct EditCase {
  const char* name;
  Json before;  // merged over the base record
  Json after;   // the saved record: the first one with these members; kAbsent ones removed
  bool needs_reconnect;
};

// Failure messages name the case instead of dumping its bytes.
void PrintTo(const EditCase& c, std::ostream* os) {
  *os << c.name;
}

const char* const kAbsent = "<absent>";

Json apply(Json rec, const Json& changes) {
  for (const auto& [key, value] : changes.items()) {
    if (value == kAbsent) {
      rec.erase(key);
    } else {
      rec[key] = value;
    }
  }
  return rec;
}

class SessionEditTest : public DriverTest, public ::testing::WithParamInterface<EditCase> {};

TEST_P(SessionEditTest, OpenTabReportsWhetherReconnectIsNeeded) {
  const EditCase& c = GetParam();
  start();
  const Json base = {{"name", "編輯"}, {"protocol", "ftp"}, {"host", "h"}, {"port", 22}};
  Json before = apply(base, c.before);
  const std::string sid = save(before);
  before["id"] = sid;
  const std::string tab = open_tab(sid);
  // Let the tab's own start line come first, so the next line is the one the save caused.
  ASSERT_TRUE(app().wait_for_script(info_for(tab)));
  const std::size_t mark = app().scripts().size();

  Json after = apply(before, c.after);
  save(after);

  auto line = app().wait_for_script(info_for(tab), kEventWait, mark);
  ASSERT_TRUE(line) << "saving a session with an open tab must show a status line";
  EXPECT_TRUE(is_info_script(*line, tab,
                             c.needs_reconnect ? kSettingsNeedReconnect : kSettingsApplied, false))
      << line->text;
}

INSTANTIATE_TEST_SUITE_P(
    Edits, SessionEditTest,
    ::testing::Values(
        EditCase{"NameOnly", Json::object(), {{"name", "新名"}}, false},
        EditCase{"EolSwitch", Json::object(), {{"lfhascr", true}}, false},
        EditCase{"EncodingOnly", Json::object(), {{"line_code_page", "big5"}}, false},
        EditCase{"PortChanged", Json::object(), {{"port", 2222}}, true},
        EditCase{"HostChanged", Json::object(), {{"host", "h2"}}, true},
        EditCase{"LastConnectionFieldChanged",
                 {{"port_forwards", Json::array()}},
                 {{"port_forwards", Json::array({{{"type", "L"}, {"spec", "8080:h:80"}}})}},
                 true},
        EditCase{
            "TerminalTypeChanged", {{"terminal_type", ""}}, {{"terminal_type", "vt100"}}, true},
        EditCase{"EmptyUsernameRemoved", {{"username", ""}}, {{"username", kAbsent}}, false},
        EditCase{
            "FalseCompressionRemoved", {{"compression", false}}, {{"compression", kAbsent}}, false},
        EditCase{"EmptyPasswordBecomesNull", {{"password", ""}}, {{"password", nullptr}}, false},
        EditCase{"ZeroBaudBecomesEmptyText", {{"serial_baud", 0}}, {{"serial_baud", ""}}, false},
        EditCase{"UsernameAdded", Json::object(), {{"username", "pi"}}, true}),
    [](const auto& p) { return std::string(p.param.name); });

class TabTitleTest : public DriverTest {};

TEST_F(TabTitleTest, SavedNameRetitlesOpenTab) {
  start();
  Json rec = {{"name", "舊名"}, {"protocol", "ftp"}, {"host", "h"}};
  rec["id"] = save(rec);
  const std::string tab = open_tab(rec["id"].get<std::string>());

  rec["name"] = "新名";
  save(rec);
  EXPECT_EQ(tab_summary(tab)["display"], "新名");

  rec["name"] = "";
  rec["port"] = 2323;
  save(rec);
  EXPECT_EQ(tab_summary(tab)["display"], "h:2323");
}

}  // namespace
}  // namespace veltaro::driver
