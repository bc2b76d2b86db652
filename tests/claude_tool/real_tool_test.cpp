// The assistant tool as the npm registry publishes it: found where users have it, its version
// read, and every option a conversation turn passes listed by its own --help, so that a renamed
// or removed option fails here rather than in a user's turn. Nothing here needs the network.
#include "common/subprocess.h"
#include "tests/gui/claude_standin.h"

#include <regex>

namespace veltaro::gui::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class RealToolTest : public DataDirTest {
 protected:
  void SetUp() override {
    DataDirTest::SetUp();
    const char* prefix = std::getenv("VELTARO_CLAUDE_PREFIX");
    ASSERT_NE(prefix, nullptr) << "VELTARO_CLAUDE_PREFIX is not set";
    bin_ = fs::path(prefix) / "node_modules" / ".bin";
    ASSERT_TRUE(fs::exists(bin_ / "claude")) << "the tool is not installed under " << prefix;
    std::ifstream manifest(fs::path(prefix) / "package.json");
    version_ = Json::parse(manifest)["dependencies"]["@anthropic-ai/claude-code"];
    home_ = root_ / "home";
    fs::create_directories(home_);
    // The tool keeps its state under HOME; it must not touch the real user's.
    home_env_.emplace("HOME", home_.string());
    quiet_.emplace("CLAUDE_CODE_DISABLE_NONESSENTIAL_TRAFFIC", "1");
    no_update_.emplace("DISABLE_AUTOUPDATER", "1");
  }
  void TearDown() override {
    home_env_.reset();
    quiet_.reset();
    no_update_.reset();
    DataDirTest::TearDown();
  }

  void expect_installed(const Json& status, const fs::path& exe) {
    EXPECT_TRUE(status["installed"]) << status.dump();
    EXPECT_EQ(status["exe"], exe.string());
    const std::string version = status["version"].is_string() ? status["version"] : "";
    EXPECT_EQ(version.rfind(version_, 0), 0u) << version;
    EXPECT_FALSE(status["logged_in"]);
  }

  fs::path bin_;
  fs::path home_;
  std::string version_;
  std::optional<ScopedEnv> home_env_;
  std::optional<ScopedEnv> quiet_;
  std::optional<ScopedEnv> no_update_;
};

TEST_F(RealToolTest, found_on_path_and_in_the_users_own_install_place) {
  {
    const ScopedEnv path("PATH", bin_.string() + ":/usr/bin:/bin");
    expect_installed(make_app()->claude_status(), bin_ / "claude");
  }
  const fs::path local = home_ / ".local" / "bin" / "claude";
  fs::create_directories(local.parent_path());
  fs::create_symlink(fs::canonical(bin_ / "claude"), local);
  const ScopedEnv path("PATH", (root_ / "empty").string() + ":/usr/bin:/bin");
  expect_installed(make_app()->claude_status(), local);
}

TEST_F(RealToolTest, every_option_of_a_turn_is_one_the_tool_lists) {
  const auto r = common::run_process({(bin_ / "claude").string(), "--help"}, 60s);
  ASSERT_EQ(r.exit_code, 0) << r.standard_error;
  const std::string help = common::utf8_replacing_invalid(r.standard_output);
  for (const char* option :
       {"-p", "--model", "--effort", "--add-dir", "--append-system-prompt", "--permission-mode",
        "--allowedTools", "--output-format", "--resume"}) {
    const std::regex listed(std::string("(^|[\\s,])") + option + "([\\s,=<\\[]|$)");
    EXPECT_TRUE(std::regex_search(help, listed)) << option << " is not in --help:\n" << help;
  }
  EXPECT_NE(help.find("\"json\""), std::string::npos) << "no \"json\" output format";
}

// The permission mode "default" is accepted without being among the choices --help lists, so the
// whole argument list of a turn is given to the tool: without a login it answers with a JSON error
// result, where a refused option or value would end it with a usage message instead.
TEST_F(RealToolTest, the_tool_accepts_a_whole_turn_and_reports_the_missing_login) {
  const ScopedEnv path("PATH", bin_.string() + ":/usr/bin:/bin");
  auto app = make_app();
  app->_claude_arch_dir = root_ / "architecture";
  const Json reply = app->claude_send("hello", "", std::nullopt, Json(120), Json());
  EXPECT_FALSE(reply["ok"]);
  const std::string error = reply["error"];
  EXPECT_EQ(error.find("invalid"), std::string::npos) << error;
  EXPECT_EQ(error.find("unknown option"), std::string::npos) << error;
  EXPECT_NE(error.find("Not logged in"), std::string::npos) << error;
}

}  // namespace
}  // namespace veltaro::gui::testing
