// The saved-session store as the page uses it: save, list, replace, delete, the file on disk, and
// what happens when the file is broken, hand-edited or cannot be written.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "driver_fixture.h"

namespace veltaro::driver {
namespace {

namespace fs = std::filesystem;

std::string without_trailing_space(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
  return s;
}

// The file as the page's editor and the pinger expect it: two-space indent, ": " after names,
// members in the order received, non-ASCII characters as themselves.
std::string expected_file(const Json& sessions) {
  Json doc = Json::object();
  doc["sessions"] = sessions;
  return doc.dump(2, ' ', /*ensure_ascii=*/false);
}

std::vector<fs::path> broken_copies(const fs::path& dir) {
  std::vector<fs::path> found;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dir, ec)) {
    if (entry.path().filename().string().starts_with("sessions.json.broken-")) {
      found.push_back(entry.path());
    }
  }
  return found;
}

class StoreOpsTest : public DriverTest {};

TEST_F(StoreOpsTest, SaveAssignsIdAndWritesReadableFile) {
  start();
  Json rec = {{"name", "台北機房"}, {"host", "10.0.0.5"}, {"port", 22}, {"protocol", "ssh"}};
  Json answer = app().call("save_session", Json::array({rec}));

  ASSERT_TRUE(answer.is_object()) << answer.dump();
  ASSERT_TRUE(answer.contains("id") && answer["id"].is_string()) << answer.dump();
  const std::string id = answer["id"].get<std::string>();
  EXPECT_TRUE(is_lower_hex(id, 32)) << id;
  EXPECT_FALSE(answer.contains("error")) << answer.dump();

  Json expected = rec;
  expected["id"] = id;
  EXPECT_EQ(answer["sessions"], Json::array({expected}));

  const std::string file = read_file(sessions_file());
  EXPECT_NE(file.find("\"name\": \"台北機房\""), std::string::npos)
      << "Chinese names must be stored readable, not escaped:\n"
      << file;
  EXPECT_EQ(without_trailing_space(file), expected_file(Json::array({expected})));
}

TEST_F(StoreOpsTest, InitialStateListsSessionsAndFileAcrossRestart) {
  start();
  const std::string a = save({{"name", "甲"}, {"host", "a.example"}});
  const std::string b = save({{"name", "乙"}, {"host", "b.example"}, {"port", "2323"}});
  ASSERT_NE(a, b);

  Json before = app().call("get_initial_state");
  restart();
  Json after = app().call("get_initial_state");

  ASSERT_TRUE(after.is_object()) << after.dump();
  EXPECT_EQ(after["sessions"], before["sessions"]);
  ASSERT_EQ(after["sessions"].size(), 2u);
  EXPECT_EQ(after["sessions"][0]["id"], a);
  EXPECT_EQ(after["sessions"][1]["port"], "2323") << "a numeric string stays as it was received";
  EXPECT_EQ(after["sessions_file"], sessions_file().string());
  EXPECT_TRUE(after["puttygen_path"].is_string()) << after.dump();
}

TEST_F(StoreOpsTest, SaveWithKnownIdReplacesWholeRecordInPlace) {
  start();
  const std::string a = save({{"name", "a"}, {"host", "ha"}, {"username", "root"}});
  const std::string b = save({{"name", "b"}, {"host", "hb"}});

  Json edited = {{"id", a}, {"name", "a2"}, {"port", 2222}};
  Json answer = app().call("save_session", Json::array({edited}));

  EXPECT_EQ(answer["id"], a);
  ASSERT_EQ(answer["sessions"].size(), 2u) << answer.dump();
  EXPECT_EQ(answer["sessions"][0], edited) << "the stored record is replaced, not merged";
  EXPECT_EQ(answer["sessions"][1]["id"], b);
  Json file = Json::parse(read_file(sessions_file()));
  EXPECT_EQ(file["sessions"], answer["sessions"]);
}

TEST_F(StoreOpsTest, SaveWithUnknownOrEmptyId) {
  start();
  const std::string first = save({{"name", "first"}});
  const std::string chosen(32, 'c');

  Json answer = app().call("save_session", Json::array({{{"id", chosen}, {"name", "kept id"}}}));
  EXPECT_EQ(answer["id"], chosen);
  ASSERT_EQ(answer["sessions"].size(), 2u);
  EXPECT_EQ(answer["sessions"][1]["id"], chosen) << "an unknown id is appended, not dropped";

  answer = app().call("save_session", Json::array({{{"id", ""}, {"name", "empty id"}}}));
  ASSERT_TRUE(answer["id"].is_string()) << answer.dump();
  const std::string fresh = answer["id"].get<std::string>();
  EXPECT_TRUE(is_lower_hex(fresh, 32)) << fresh;
  EXPECT_NE(fresh, first);
  ASSERT_EQ(answer["sessions"].size(), 3u);
  EXPECT_EQ(answer["sessions"][2]["id"], fresh);
}

TEST_F(StoreOpsTest, DeleteRemovesOnlyThatSession) {
  start();
  const std::string a = save({{"name", "a"}});
  const std::string b = save({{"name", "b"}});
  const std::string c = save({{"name", "c"}});

  Json answer = app().call("delete_session", Json::array({b}));
  ASSERT_TRUE(answer.is_object()) << answer.dump();
  EXPECT_FALSE(answer.contains("error")) << answer.dump();
  ASSERT_EQ(answer["sessions"].size(), 2u) << answer.dump();
  EXPECT_EQ(answer["sessions"][0]["id"], a);
  EXPECT_EQ(answer["sessions"][1]["id"], c);
  EXPECT_EQ(Json::parse(read_file(sessions_file()))["sessions"], answer["sessions"]);

  answer = app().call("delete_session", Json::array({std::string(32, 'f')}));
  EXPECT_EQ(answer["sessions"].size(), 2u) << "deleting an unknown id changes nothing";
}

TEST_F(StoreOpsTest, ConcurrentSavesLoseNoSession) {
  // The page saves from several bridge threads at once; each save must land in the list.
  start();
  constexpr int kThreads = 4;
  constexpr int kSavesEach = 10;
  std::vector<std::thread> threads;
  std::mutex ids_mu;
  std::set<std::string> ids;
  std::vector<std::string> errors;
  HeadlessClient& client = app();
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kSavesEach; ++i) {
        Json rec = {{"name", "s" + std::to_string(t) + "-" + std::to_string(i)}};
        try {
          Json answer = client.call("save_session", Json::array({rec}));
          std::lock_guard lock(ids_mu);
          ids.insert(answer.value("id", ""));
        } catch (const std::exception& e) {
          std::lock_guard lock(ids_mu);
          errors.push_back(e.what());
        }
      }
    });
  }
  for (auto& th : threads) th.join();

  ASSERT_TRUE(errors.empty()) << errors.front();
  EXPECT_EQ(ids.size(), static_cast<std::size_t>(kThreads * kSavesEach));
  Json sessions = app().call("get_initial_state")["sessions"];
  EXPECT_EQ(sessions.size(), static_cast<std::size_t>(kThreads * kSavesEach));
  EXPECT_EQ(Json::parse(read_file(sessions_file()))["sessions"], sessions);
}

TEST_F(StoreOpsTest, StoreWriteFailureIsReportedAndEditKeptInMemory) {
  start();
  app().call("get_initial_state");  // the data directory exists once the program answers
  // Root ignores permissions, so block the file's path itself: nothing can be renamed or
  // written over a non-empty directory.
  fs::create_directories(sessions_file() / "blocker");
  std::ofstream(sessions_file() / "blocker" / "f") << "x";

  Json answer = app().call("save_session", Json::array({{{"name", "unsaved"}}}));
  ASSERT_TRUE(answer.is_object()) << answer.dump();
  ASSERT_TRUE(answer.contains("error")) << "a lost edit must not look saved: " << answer.dump();
  EXPECT_TRUE(answer["error"].is_string() && !answer["error"].get<std::string>().empty());
  ASSERT_TRUE(answer["id"].is_string()) << answer.dump();
  const std::string id = answer["id"].get<std::string>();
  ASSERT_EQ(answer["sessions"].size(), 1u);
  EXPECT_TRUE(app().wait_for_stderr("save_sessions:"));

  answer = app().call("delete_session", Json::array({id}));
  EXPECT_TRUE(answer.contains("error")) << answer.dump();
  EXPECT_EQ(answer["sessions"], Json::array());

  fs::remove_all(sessions_file());
  answer = app().call("save_session", Json::array({{{"name", "saved"}}}));
  EXPECT_FALSE(answer.contains("error")) << "a writable store saves again: " << answer.dump();
  EXPECT_EQ(Json::parse(read_file(sessions_file()))["sessions"], answer["sessions"]);
}

// A session file that does not load is kept aside before the first save replaces it, so a
// hand-edit with one typo does not silently destroy every saved session.
class BrokenStoreTest : public DriverTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(BrokenStoreTest, UnloadableFileIsCopiedAsideBeforeFirstSave) {
  const std::string original = GetParam();
  write_sessions_file(original);
  start();

  Json state = app().call("get_initial_state");
  EXPECT_EQ(state["sessions"], Json::array());
  EXPECT_TRUE(app().wait_for_stderr("load_sessions:"));

  const std::string id = save({{"name", "新的"}});
  auto copies = broken_copies(data_dir());
  ASSERT_EQ(copies.size(), 1u);
  EXPECT_EQ(read_file(copies.front()), original) << "the copy keeps the bytes as they were";
  EXPECT_EQ(state["broken_store"]["copy"], copies.front().string()) << "the page is told where";
  Json file = Json::parse(read_file(sessions_file()));
  ASSERT_EQ(file["sessions"].size(), 1u);
  EXPECT_EQ(file["sessions"][0]["id"], id);

  save({{"name", "second"}});
  EXPECT_EQ(broken_copies(data_dir()).size(), 1u) << "only the first save copies the file aside";
}

std::string broken_file_name(const ::testing::TestParamInfo<std::string>& p) {
  static const char* const kNames[] = {"Typo", "BareList", "NoSessionsMember", "NotUtf8"};
  return kNames[p.index];
}

INSTANTIATE_TEST_SUITE_P(
    Files, BrokenStoreTest,
    ::testing::Values(std::string("{\"sessions\": [{\"name\": \"a\", }"),  // typo
                      std::string("[{\"name\": \"a\"}]"),                  // bare list
                      std::string("{\"other\": []}"),                      // no sessions member
                      std::string("{\"sessions\": [{\"name\": \"\xA4\xA4\"}]}")),  // Big5 bytes
    broken_file_name);

TEST_F(StoreOpsTest, HealthyFileIsNotCopiedAside) {
  write_sessions_file("{\"sessions\": []}");
  start();
  save({{"name", "x"}});
  EXPECT_TRUE(broken_copies(data_dir()).empty());
}

TEST_F(StoreOpsTest, RecordsWithoutIdGetOneAndCanBeOpenedAndDeleted) {
  // A hand-edited file: the first two records never went through save_session.
  const std::string kept(32, 'e');
  write_sessions_file(
      "{\n  \"sessions\": [\n"
      "    {\"name\": \"甲\", \"protocol\": \"ftp\", \"host\": \"h1\"},\n"
      "    {\"name\": \"乙\", \"protocol\": \"ftp\", \"host\": \"h2\"},\n"
      "    {\"id\": \"" +
      kept + "\", \"name\": \"丙\", \"protocol\": \"ftp\"}\n  ]\n}\n");
  start();

  Json sessions = app().call("get_initial_state")["sessions"];
  ASSERT_EQ(sessions.size(), 3u) << sessions.dump();
  const std::string first = sessions[0].value("id", "");
  const std::string second = sessions[1].value("id", "");
  EXPECT_TRUE(is_lower_hex(first, 32)) << sessions.dump();
  EXPECT_TRUE(is_lower_hex(second, 32)) << sessions.dump();
  EXPECT_NE(first, second);
  EXPECT_EQ(sessions[2]["id"], kept);
  EXPECT_EQ(app().call("get_initial_state")["sessions"], sessions) << "ids are given once";

  const std::string tab = open_tab(first);
  EXPECT_TRUE(is_lower_hex(tab, 8)) << tab;

  // The next save writes the given ids.
  save({{"name", "丁"}});
  Json file = Json::parse(read_file(sessions_file()));
  ASSERT_EQ(file["sessions"].size(), 4u);
  EXPECT_EQ(file["sessions"][0]["id"], first);
  EXPECT_EQ(file["sessions"][1]["id"], second);
  EXPECT_TRUE(broken_copies(data_dir()).empty()) << "an id-less record is no broken file";

  Json answer = app().call("delete_session", Json::array({second}));
  ASSERT_EQ(answer["sessions"].size(), 3u) << answer.dump();
  EXPECT_EQ(answer["sessions"][0]["id"], first);
  EXPECT_EQ(answer["sessions"][1]["id"], kept);
}

}  // namespace
}  // namespace veltaro::driver
