#include "common/atomic_file.h"
#include "test_support.h"

#include <sys/stat.h>

#include <fstream>
#include <regex>

namespace veltaro::gui {
namespace {

using common::Json;

class SessionStore : public testing::DataDirTest {
 protected:
  void write_store(const std::string& text) {
    std::filesystem::create_directories(data_dir());
    std::ofstream(data_dir() / "sessions.json") << text;
  }
  std::string store_text() { return common::read_file(data_dir() / "sessions.json"); }
  std::vector<std::filesystem::path> broken_copies() {
    std::vector<std::filesystem::path> out;
    for (const auto& e : std::filesystem::directory_iterator(data_dir())) {
      if (e.path().filename().string().starts_with("sessions.json.broken-"))
        out.push_back(e.path());
    }
    return out;
  }
};

TEST_F(SessionStore, SaveAssignsAnIdAndWritesThePythonLikeFormat) {
  auto app = make_app();
  const Json result =
      app->save_session(Json{{"name", "辦公室路由器"}, {"host", "h"}, {"port", 22}});
  const std::string id = result["id"];
  EXPECT_TRUE(std::regex_match(id, std::regex("[0-9a-f]{32}")));
  EXPECT_FALSE(result.contains("error"));
  EXPECT_EQ(store_text(),
            "{\n  \"sessions\": [\n    {\n      \"name\": \"辦公室路由器\",\n"
            "      \"host\": \"h\",\n      \"port\": 22,\n      \"id\": \"" +
                id + "\"\n    }\n  ]\n}");
  struct stat st {};
  ASSERT_EQ(::stat((data_dir() / "sessions.json").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat(data_dir().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST_F(SessionStore, SaveReplacesWholeRecordsAndDeleteKeepsOrder) {
  auto app = make_app();
  const std::string a = app->save_session(Json{{"name", "a"}, {"user", "x"}})["id"];
  const std::string b = app->save_session(Json{{"name", "b"}})["id"];
  app->save_session(Json{{"id", "given"}, {"name", "c"}});
  const Json replaced = app->save_session(Json{{"id", a}, {"name", "A"}});
  ASSERT_EQ(replaced["sessions"].size(), 3u);
  EXPECT_EQ(replaced["sessions"][0], (Json{{"id", a}, {"name", "A"}})) << "replaced, not merged";
  EXPECT_EQ(replaced["sessions"][2]["id"], "given");
  const Json after = app->delete_session(b);
  ASSERT_EQ(after["sessions"].size(), 2u);
  EXPECT_EQ(after["sessions"][1]["name"], "c");
  // What another process reads back is what was returned.
  auto reloaded = make_app();
  EXPECT_EQ(reloaded->sessions_json(), after["sessions"]);
}

TEST_F(SessionStore, BrokenFileIsCopiedAsideAtOnceAndAnnounced) {
  const std::string broken = "{\"sessions\": [{\"name\": \"typo\",}]}";
  write_store(broken);
  ::testing::internal::CaptureStdout();
  auto app = make_app();
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_TRUE(out.starts_with("load_sessions: ")) << out;
  EXPECT_TRUE(app->sessions_json().empty());
  EXPECT_EQ(store_text(), broken) << "loading never touches the file";
  const auto copies = broken_copies();
  ASSERT_EQ(copies.size(), 1u) << "kept before anything can be saved";
  EXPECT_EQ(common::read_file(copies[0]), broken);
  const Json notice = app->get_initial_state()["broken_store"];
  EXPECT_EQ(notice["copy"], copies[0].string());
  EXPECT_EQ(notice["file"], (data_dir() / "sessions.json").string());
  EXPECT_EQ(notice["folder"], data_dir().string());
  EXPECT_NE(notice["reason"].get<std::string>().find("parse error"), std::string::npos) << notice;

  // A second start on the same broken file reuses the copy instead of adding one per start.
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(make_app()->get_initial_state()["broken_store"]["copy"], copies[0].string());
  ::testing::internal::GetCapturedStdout();
  app->save_session(Json{{"name", "new"}});
  app->save_session(Json{{"name", "newer"}});
  EXPECT_EQ(broken_copies(), copies) << "only the broken original is kept";
  EXPECT_EQ(common::read_file(copies[0]), broken);
  EXPECT_TRUE(make_app()->get_initial_state()["broken_store"].is_null());
}

TEST_F(SessionStore, UnreadableStoreIsAnnouncedWithoutACopyAndNotSavedOver) {
  std::filesystem::create_directories(data_dir() / "sessions.json" / "inside");
  ::testing::internal::CaptureStdout();
  auto app = make_app();
  const Json notice = app->get_initial_state()["broken_store"];
  EXPECT_TRUE(notice.is_object() && notice["copy"].is_null()) << notice;
  EXPECT_TRUE(app->save_session(Json{{"name", "x"}}).contains("error"));
  ::testing::internal::GetCapturedStdout();
  EXPECT_TRUE(std::filesystem::is_directory(data_dir() / "sessions.json" / "inside"));
}

TEST_F(SessionStore, BareListLoadsEmptyAndIdlessRecordsGetIds) {
  write_store("[1, 2]");
  ::testing::internal::CaptureStdout();
  EXPECT_TRUE(make_app()->sessions_json().empty());
  ::testing::internal::GetCapturedStdout();

  write_store(R"({"sessions": [{"name": "hand-made"}, {"id": "", "name": "blank"}]})");
  auto app = make_app();
  const Json list = app->sessions_json();
  ASSERT_EQ(list.size(), 2u);
  const std::string id = list[0]["id"];
  EXPECT_EQ(id.size(), 32u);
  EXPECT_NE(list[1]["id"], "");
  EXPECT_EQ(app->delete_session(id)["sessions"].size(), 1u);
}

TEST_F(SessionStore, UnwritableStoreReportsTheErrorAndKeepsTheOldFile) {
  auto app = make_app();
  app->save_session(Json{{"name", "kept"}});
  const std::string before = store_text();
  // Tests run as root, which ignores permissions; a rename cannot replace a non-empty
  // directory, so one standing where the store belongs makes every write fail.
  std::filesystem::rename(data_dir() / "sessions.json", data_dir() / "saved");
  std::filesystem::create_directories(data_dir() / "sessions.json" / "x");
  ::testing::internal::CaptureStdout();
  const Json result = app->save_session(Json{{"name", "lost?"}});
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_TRUE(result.contains("error"));
  EXPECT_EQ(result["sessions"].size(), 2u);
  EXPECT_TRUE(out.starts_with("save_sessions: ")) << out;
  EXPECT_TRUE(app->delete_session("nothing").contains("error"));
  for (const auto& e : std::filesystem::directory_iterator(data_dir())) {
    EXPECT_FALSE(e.path().filename().string().starts_with(".sessions.json")) << "temp file left";
  }
  EXPECT_EQ(common::read_file(data_dir() / "saved"), before);
}

TEST_F(SessionStore, SettingsMergeOverDefaults) {
  std::filesystem::create_directories(data_dir());
  std::ofstream(data_dir() / "settings.json") << R"({"window_w": 1600, "extra": 1})";
  auto app = make_app();
  EXPECT_EQ(app->settings["window_w"], 1600);
  EXPECT_EQ(app->settings["window_h"], 720);
  std::ofstream(data_dir() / "settings.json") << "not json";
  ::testing::internal::CaptureStdout();
  auto defaults = make_app();
  EXPECT_TRUE(::testing::internal::GetCapturedStdout().starts_with("load_settings: "));
  EXPECT_EQ(defaults->settings, (Json{{"window_w", 1280}, {"window_h", 720}}));
}

class SessionEdits : public testing::DataDirTest {};

TEST_F(SessionEdits, OpenTabsFollowEditsAndSayWhetherToReconnect) {
  auto app = make_app();
  const Json saved = app->save_session(
      Json{{"name", "r"}, {"host", "h"}, {"port", 22}, {"username", ""}, {"compression", false}});
  const std::string id = saved["id"];
  auto tab = testing::add_tab(*app, "t1", app->sessions_json()[0]);

  app->save_session(Json{{"id", id}, {"name", "renamed"}, {"host", "h"}, {"port", 22}});
  EXPECT_EQ(tab->display, "renamed");
  EXPECT_TRUE(window_->wait_for("\\u9023\\u7dda\\u8a2d\\u5b9a\\u5df2\\u5957\\u7528"))
      << "empty username and false compression count as unchanged";

  app->save_session(Json{{"id", id}, {"host", "h"}, {"port", 2222}, {"line_code_page", "BIG5"}});
  EXPECT_EQ(tab->display, "h:2222");
  EXPECT_EQ(tab->encoding, "big5");
  EXPECT_EQ(tab->session->at("port"), 2222);
  EXPECT_TRUE(window_->wait_for("\\u9700\\u91cd\\u65b0\\u9023\\u7dda"));

  ::testing::internal::CaptureStdout();
  app->save_session(Json{{"id", id}, {"host", "h"}, {"port", 2222}, {"line_code_page", "nope"}});
  EXPECT_TRUE(::testing::internal::GetCapturedStdout().starts_with(
      "[apply_session] encoding lookup failed: "));
  EXPECT_EQ(tab->encoding, "big5");
}

}  // namespace
}  // namespace veltaro::gui
