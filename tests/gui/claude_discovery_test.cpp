// Finding the assistant tool and reading its state, against stand-in programs on a PATH and in a
// home directory the test owns.
#include "tests/gui/claude_standin.h"

#include <unistd.h>

namespace veltaro::gui::testing {
namespace {

namespace fs = std::filesystem;

class ClaudeDiscoveryTest : public DataDirTest {
 protected:
  void SetUp() override {
    DataDirTest::SetUp();
    bin_ = root_ / "bin";
    home_ = root_ / "home";
    fs::create_directories(bin_);
    fs::create_directories(home_);
    path_.emplace("PATH", bin_.string());
    home_env_.emplace("HOME", home_.string());
    profile_.emplace("USERPROFILE", std::nullopt);
  }
  void TearDown() override {
    path_.reset();
    home_env_.reset();
    profile_.reset();
    DataDirTest::TearDown();
  }

  // A stand-in that answers --version with `body`.
  void tool(const fs::path& path, const std::string& body = "print('2.1.0 (Claude Code)')") {
    write_standin(path, root_ / "runs.jsonl", body);
  }

  fs::path bin_;
  fs::path home_;
  std::optional<ScopedEnv> path_;
  std::optional<ScopedEnv> home_env_;
  std::optional<ScopedEnv> profile_;
};

TEST_F(ClaudeDiscoveryTest, path_names_are_tried_in_order_before_any_fallback) {
  tool(home_ / ".local" / "bin" / "claude");
  tool(bin_ / "claude.exe");
  tool(bin_ / "claude.cmd");
  EXPECT_EQ(make_app()->_resolve_claude_exe(), bin_ / "claude.cmd");
  tool(bin_ / "claude");
  EXPECT_EQ(make_app()->_resolve_claude_exe(), bin_ / "claude");
}

TEST_F(ClaudeDiscoveryTest, fallbacks_are_taken_in_order_and_only_exist_checked) {
  auto app = make_app();
  const Json missing = app->claude_status();
  EXPECT_FALSE(missing["installed"]);
  EXPECT_TRUE(missing["exe"].is_null());
  const std::string hint = missing["hint"];
  EXPECT_EQ(hint.rfind("找不到 claude 執行檔。請先安裝 Claude Code：https://", 0), 0u) << hint;

  // Installed after the first call: the next call finds it, and remembers it.
  std::ofstream(home_ / "plain") << "not a program";
  fs::create_directories(home_ / ".claude" / "local");
  fs::copy_file(home_ / "plain", home_ / ".claude" / "local" / "claude");
  const Json unstartable = app->claude_status();
  EXPECT_EQ(unstartable["exe"], (home_ / ".claude" / "local" / "claude").string());
  EXPECT_FALSE(unstartable["installed"]);
  EXPECT_EQ(std::string(unstartable["hint"]).rfind("執行 claude --version 失敗：", 0), 0u);

  tool(home_ / ".local" / "bin" / "claude");
  EXPECT_EQ(make_app()->_resolve_claude_exe(), home_ / ".local" / "bin" / "claude");
}

TEST_F(ClaudeDiscoveryTest, an_empty_home_never_names_a_program_in_the_current_directory) {
  tool(root_ / ".local" / "bin" / "claude");
  tool(root_ / ".claude" / "local" / "claude");
  const fs::path before = fs::current_path();
  fs::current_path(root_);
  const ScopedEnv empty_home("HOME", "");
  const auto found = make_app()->_resolve_claude_exe();
  fs::current_path(before);
  EXPECT_FALSE(found.has_value()) << *found;
}

TEST_F(ClaudeDiscoveryTest, the_version_probe_cases) {
  const auto status_with = [&](const std::string& body) {
    fs::remove(bin_ / "claude");
    tool(bin_ / "claude", body);
    return make_app()->claude_status();
  };
  const Json good = status_with("print('  2.1.0 (Claude Code)  ')\nprint('second line')");
  EXPECT_TRUE(good["installed"]);
  EXPECT_EQ(good["version"], "2.1.0 (Claude Code)");
  EXPECT_EQ(good["model"], "claude-opus-4-7");
  EXPECT_EQ(good["exe"], (bin_ / "claude").string());
  EXPECT_EQ(good["hint"], "尚未登入 Claude Code。請在終端機執行 `claude` 並依瀏覽器流程登入。");
  EXPECT_EQ(recorded_runs(root_ / "runs.jsonl").back()["argv"], Json::array({"--version"}));

  const Json failed = status_with("print('1.0'); sys.exit(1)");
  EXPECT_TRUE(failed["installed"]);
  EXPECT_TRUE(failed["version"].is_null());

  EXPECT_EQ(status_with("pass")["version"], "");

  const Json blank = status_with("print('   '); print('')");
  EXPECT_FALSE(blank["installed"]);
  EXPECT_TRUE(blank["version"].is_null());
  EXPECT_EQ(std::string(blank["hint"]).rfind("執行 claude --version 失敗：", 0), 0u);

  EXPECT_EQ(status_with("sys.stdout.buffer.write(b'v\\xff1\\n')")["version"], "v\uFFFD1");
}

TEST_F(ClaudeDiscoveryTest, login_files) {
  tool(bin_ / "claude");
  const fs::path dir = home_ / ".claude";
  fs::create_directories(dir);
  const auto logged_in = [&] { return make_app()->claude_status()["logged_in"].get<bool>(); };
  EXPECT_FALSE(logged_in());
  for (const char* settings :
       {"[1, 2]", "{\"oauthAccount\": {}}", "{broken", "{\"primaryApiKey\": \"\"}"}) {
    std::ofstream(dir / "settings.json") << settings;
    EXPECT_FALSE(logged_in()) << settings;
  }
  std::ofstream(dir / "settings.json") << R"({"oauthAccount": {}, "primaryApiKey": "k"})";
  EXPECT_TRUE(logged_in());
  std::ofstream(dir / "settings.json") << R"({"oauthAccount": {"emailAddress": "a@b"}})";
  const Json status = make_app()->claude_status();
  EXPECT_TRUE(status["logged_in"]);
  EXPECT_EQ(status["hint"], "");

  fs::remove(dir / "settings.json");
  std::ofstream(dir / ".credentials.json") << "";
  EXPECT_TRUE(logged_in());
  {
    // An empty USERPROFILE is passed over; a set one is where the files are looked for.
    const ScopedEnv empty("USERPROFILE", "");
    EXPECT_TRUE(logged_in());
  }
  const ScopedEnv elsewhere("USERPROFILE", root_.string());
  EXPECT_FALSE(logged_in());
}

}  // namespace
}  // namespace veltaro::gui::testing
