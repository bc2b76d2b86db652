// Conversation turns against a stand-in tool: the argument list and message it receives, the
// rule file, the resume retry, the time-out and how its answers become replies.
#include "tests/gui/claude_standin.h"

#include <signal.h>

#include <algorithm>

namespace veltaro::gui::testing {
namespace {

namespace fs = std::filesystem;

constexpr const char* kAnswer =
    "print(json.dumps({'type': 'result', 'session_id': 'S1', 'result': 'ok then'}))";

class ClaudeTurnTest : public DataDirTest {
 protected:
  void SetUp() override {
    DataDirTest::SetUp();
    exe_ = root_ / "bin" / "claude";
    record_ = root_ / "runs.jsonl";
    path_.emplace("PATH", (root_ / "bin").string());
    app_ = make_app();
    app_->_claude_arch_dir = root_ / "architecture";
  }
  void TearDown() override {
    path_.reset();
    DataDirTest::TearDown();
  }

  void tool(const std::string& body) {
    fs::remove(exe_);
    write_standin(exe_, record_, body);
  }
  void rules(const std::string& rules_text, const std::string& index_text) {
    fs::create_directories(app_->_claude_arch_dir);
    std::ofstream(app_->_claude_arch_dir / "claude規範提示詞.md") << rules_text;
    std::ofstream(app_->_claude_arch_dir / "架構說明目錄.md") << index_text;
  }
  Json send(const std::string& text, const std::string& terminal = "",
            std::optional<std::string> target = std::nullopt, Json timeout = 20,
            const Json& tab_texts = Json()) {
    return app_->claude_send(text, terminal, target, timeout, tab_texts);
  }
  std::vector<Json> runs() const { return recorded_runs(record_); }

  fs::path exe_;
  fs::path record_;
  std::optional<ScopedEnv> path_;
  std::shared_ptr<VeltaroApp> app_;
};

TEST_F(ClaudeTurnTest, argument_list_message_and_rule_file_of_a_turn) {
  tool(kAnswer);
  rules("RULES", "INDEX");
  add_tab(*app_, "t1",
          Json{{"id", "a"}, {"protocol", "ssh"}, {"host", "h1"}, {"port", 22}, {"lfhascr", 1}})
      ->display = "h1 ssh";
  auto serial = add_tab(*app_, "t2", Json{{"id", "b"}, {"protocol", "serial"}, {"port", "9600"}});
  serial->display = "COM3";
  serial->alive = false;
  add_tab(*app_, "t3",
          Json{{"protocol", "telnet-serial"},
               {"host", "x"},
               {"serial_bits", 7},
               {"serial_flow", nullptr},
               {"terminal_type", "vt100"}});

  const Json reply = send("hi ", "  \nline1\nline2\n\n", "t1", 20,
                          Json{{"t1", "ignored"}, {"t2", " \n "}, {"t3", "\n out3 \n"}});
  EXPECT_EQ(reply, (Json{{"ok", true}, {"error", ""}, {"reply", "ok then"}}));

  const auto all = runs();
  ASSERT_EQ(all.size(), 1u);
  const std::string arch = app_->_claude_arch_dir.string();
  const std::string prompt =
      "你正在透過 Claude Code CLI 為 Veltaro 的使用者提供協助。\n你的完整運作規則與架構索引在 "
      "add-dir "
      "內的 `_runtime_system_prompt.md` 檔案 —— **第一輪回覆前必須先用 Read "
      "工具讀完它**,並把其中所有規則當作 system prompt 一樣強制遵守。同一 session "
      "不必再讀(--resume "
      "會保留上下文)。\n需要更細的內容時可額外讀取 " +
      arch + " 下的 詳細說明*.md / 系統說明_*.md 等。";
  EXPECT_EQ(all[0]["argv"],
            Json::array({"-p", "--model", "claude-opus-4-7", "--effort", "xhigh",
                         "--append-system-prompt", prompt, "--add-dir", arch, "--permission-mode",
                         "default", "--allowedTools", "Read", "--output-format", "json"}));
  EXPECT_EQ(
      all[0]["stdin"],
      "hi \n\n----- 當前 target 分頁設定（ssh · h1 ssh） -----\n"
      "protocol: ssh\nhost: h1\nport: 22\nencoding: utf-8\n"
      "lfhascr (LF 後隱含 CR): True\ncrhaslf (CR 後隱含 LF): False\n"
      "terminal_type: xterm-256color\n-----"
      "\n\n----- 當前終端機輸出（最近幾行，供你參考；如使用者沒問終端機相關問題就忽略）-----\n"
      "line1\nline2"
      "\n\n----- 其他已開啟的分頁（僅顯示設定；要看內容請用 `read_tab <tab_id>` action "
      "取得使用者同意） -----\n"
      "tab_id: t2\ndisplay: COM3\nprotocol: serial\nhost: None\nport: 9600\nencoding: utf-8\n"
      "alive: False\nlfhascr: False\ncrhaslf: False\nserial: 8-N-1 flow=N\n\n"
      "tab_id: t3\ndisplay: \nprotocol: telnet-serial\nhost: x\nport: None\nencoding: utf-8\n"
      "alive: True\nlfhascr: False\ncrhaslf: False\nserial: 7-N-1 flow=None\n"
      "--- 該分頁最近輸出 ---\nout3\n-----");
  std::ifstream runtime(app_->_claude_arch_dir / "_runtime_system_prompt.md");
  std::stringstream content;
  content << runtime.rdbuf();
  EXPECT_EQ(content.str(),
            "===== claude規範提示詞.md =====\nRULES\n\n===== 架構說明目錄.md =====\nINDEX");
}

TEST_F(ClaudeTurnTest, without_a_target_every_tab_is_listed_and_rule_files_fall_back) {
  tool(kAnswer);
  add_tab(*app_, "t1", Json{{"protocol", "raw"}});
  add_tab(*app_, "t2", Json{{"protocol", "ssh"}});
  send("q", " \n\t ", "no-such-tab");
  Json argv = runs().back()["argv"];
  const std::string message = runs().back()["stdin"];
  EXPECT_EQ(message.find("target"), std::string::npos);
  EXPECT_EQ(message.find("當前終端機輸出"), std::string::npos);
  EXPECT_LT(message.find("tab_id: t1"), message.find("tab_id: t2"));
  // Neither rule file: nothing is written and the prompt is the fallback's head alone.
  EXPECT_FALSE(fs::exists(app_->_claude_arch_dir / "_runtime_system_prompt.md"));
  EXPECT_EQ(argv[6],
            "你正在透過 Claude Code CLI 為 Veltaro 的使用者提供協助。以下是你必須遵守的規範與"
            "專案架構索引；需要更細的內容時，可用 Read 工具讀取 " +
                app_->_claude_arch_dir.string() + " 下的 詳細說明*.md 檔。");
  EXPECT_EQ(std::count(argv.begin(), argv.end(), Json("--add-dir")), 1);

  // The rule directory cannot take the file: it goes to the data directory, named a second time.
  rules("RULES", "");
  fs::create_directories(app_->_claude_arch_dir / "_runtime_system_prompt.md");
  send("q");
  argv = runs().back()["argv"];
  EXPECT_EQ(argv[9], "--add-dir");
  EXPECT_EQ(argv[10], app_->APP_DIR.string());
  EXPECT_TRUE(fs::is_regular_file(app_->APP_DIR / "_runtime_system_prompt.md"));
}

TEST_F(ClaudeTurnTest, conversation_id_resume_and_the_one_retry) {
  tool(
      "if '--resume' in args and args[args.index('--resume') + 1] == 'S1':\n"
      "    sys.stderr.write('No conversation found with Session ID S1\\n'); sys.exit(1)\n" +
      std::string(kAnswer));
  add_tab(*app_, "t1", Json{{"protocol", "raw"}});
  EXPECT_TRUE(send("one")["ok"]);
  const Json retried = send("two", "", std::nullopt, 20, Json{{"t1", "shared text"}});
  EXPECT_EQ(retried["reply"], "ok then");
  const auto all = runs();
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0]["argv"].back(), "json");
  EXPECT_EQ(all[1]["argv"].back(), "S1");
  EXPECT_NE(std::string(all[1]["stdin"]).find("shared text"), std::string::npos);
  EXPECT_EQ(all[2]["argv"].back(), "json");
  EXPECT_EQ(std::string(all[2]["stdin"]).find("shared text"), std::string::npos);

  EXPECT_TRUE(app_->claude_reset_session());
  send("three");
  EXPECT_EQ(runs().back()["argv"].back(), "json");
}

TEST_F(ClaudeTurnTest, failures_and_answers_that_are_not_plain_results) {
  const auto answer = [&](const std::string& body) {
    tool(body);
    return send("x");
  };
  EXPECT_EQ(answer("sys.exit(1)"),
            (Json{{"ok", false}, {"error", "claude exit code 1"}, {"reply", ""}}));
  EXPECT_EQ(answer("print(' out only '); sys.exit(2)")["error"], "out only");
  EXPECT_EQ(answer("print('plain words\\n')")["reply"], "plain words");
  EXPECT_EQ(answer("print('[1, 2]')")["reply"], "[1,2]");
  EXPECT_EQ(answer("print(json.dumps({'text': 't'}))")["reply"], "t");
  EXPECT_EQ(answer("print(json.dumps({'is_error': True, 'error': 'E', 'result': ''}))")["error"],
            "E");

  // An error result still carries the conversation forward; the retry rule does not apply to it.
  EXPECT_EQ(answer("print(json.dumps({'is_error': True, 'session_id': 'S9'}))"),
            (Json{{"ok", false}, {"error", "claude 回報錯誤"}, {"reply", ""}}));
  send("y");
  EXPECT_EQ(runs().back()["argv"].back(), "S9");

  tool("pass");
  fs::permissions(exe_, fs::perms::owner_read, fs::perm_options::replace);
  EXPECT_EQ(std::string(send("z")["error"]).rfind("執行 claude 失敗：", 0), 0u);
}

TEST_F(ClaudeTurnTest, a_tool_past_its_time_out_is_killed) {
  tool("time.sleep(60)");
  const Json reply = send("x", "", std::nullopt, 3.5);
  EXPECT_EQ(reply, (Json{{"ok", false}, {"error", "Claude 回應逾時（3.5 秒）。"}, {"reply", ""}}));
  ASSERT_EQ(runs().size(), 1u);
  const int pid = runs().back()["pid"];
  EXPECT_NE(::kill(pid, 0), 0) << "the stand-in still runs";
}

TEST_F(ClaudeTurnTest, a_large_message_reaches_the_tool_whole) {
  tool(
      "print(json.dumps({'result': str(stdin_text.startswith('u\\n') and "
      "stdin_text.endswith('a' * 3000000))}))");
  EXPECT_EQ(send("u", std::string(3'000'000, 'a'))["reply"], "True");
}

TEST(ClaudeNotFound, a_turn_without_the_tool_says_so) {
  char pattern[] = "/tmp/veltaro-test-XXXXXX";
  const fs::path root = ::mkdtemp(pattern);
  const ScopedEnv data("XDG_DATA_HOME", root.string());
  const ScopedEnv path("PATH", (root / "none").string());
  const ScopedEnv home("HOME", (root / "none").string());
  VeltaroApp app({}, {});
  EXPECT_EQ(app.claude_send("x", "", std::nullopt, 5, Json()),
            (Json{{"ok", false},
                  {"error", "找不到 claude 執行檔，請先安裝 Claude Code。"},
                  {"reply", ""}}));
  fs::remove_all(root);
}

}  // namespace
}  // namespace veltaro::gui::testing
