// One conversation turn: the assistant tool runs once in print mode with the message on its
// standard input, and its JSON result becomes the panel's reply.
//
// The message carries remote terminal output that whoever is on the far side controls, so the tool
// runs with its permissions restricted to reading files; commands reach a tab only through the
// page's consent buttons (claude_inject).
#include "common/subprocess.h"
#include "common/values.h"
#include "model/gui/veltaro_app.h"

#include <algorithm>
#include <cctype>
#include <cmath>

namespace veltaro::gui {

namespace {

namespace fs = std::filesystem;

std::string strip(const std::string& s) {
  const auto* ws = " \t\r\n\v\f";
  const auto first = s.find_first_not_of(ws);
  if (first == std::string::npos) return {};
  return s.substr(first, s.find_last_not_of(ws) - first + 1);
}

Json reply_map(bool ok, const std::string& error, const std::string& reply) {
  return Json{{"ok", ok}, {"error", error}, {"reply", reply}};
}

Json failure(const std::string& error) {
  return reply_map(false, error, "");
}

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

std::string runtime_prompt(const std::string& runtime_name, const fs::path& arch_dir) {
  return "你正在透過 Claude Code CLI 為 Veltaro 的使用者提供協助。\n你的完整運作規則與架構索引在 "
         "add-dir 內的 `" +
         runtime_name +
         "` 檔案 —— **第一輪回覆前必須先用 Read 工具讀完它**,並把其中所有規則當作 system prompt "
         "一樣強制遵守。同一 session 不必再讀(--resume "
         "會保留上下文)。\n需要更細的內容時可額外讀取 " +
         arch_dir.string() + " 下的 詳細說明*.md / 系統說明_*.md 等。";
}

// The turn's answer from the tool's standard output (exit code 0).
Json reply_from_output(const std::string& out, std::optional<std::string>& session_id) {
  const Json parsed = Json::parse(out, nullptr, false);
  if (parsed.is_discarded()) return reply_map(true, "", strip(out));
  if (!parsed.is_object()) return reply_map(true, "", common::to_text(parsed));
  if (const Json* id = common::member(parsed, "session_id"); id && common::truthy(*id))
    session_id = common::to_text(*id);
  if (const Json* is_error = common::member(parsed, "is_error");
      is_error && common::truthy(*is_error)) {
    return failure(
        common::text_or(parsed, "result", common::text_or(parsed, "error", "claude 回報錯誤")));
  }
  return reply_map(true, "",
                   common::text_or(parsed, "result", common::text_or(parsed, "text", "")));
}

}  // namespace

Json VeltaroApp::claude_send(const std::string& user_text, const std::string& terminal_text,
                             const std::optional<std::string>& target_tab_id, const Json& timeout,
                             const Json& tab_texts) {
  const auto exe = _resolve_claude_exe();
  if (!exe || exe->empty()) return failure("找不到 claude 執行檔，請先安裝 Claude Code。");
  if (!timeout.is_number()) return failure("執行 claude 失敗：timeout is not a number");

  const std::string message = _claude_message(user_text, terminal_text, target_tab_id, tab_texts);
  const auto runtime = _write_claude_runtime_system_prompt();
  const std::string system_prompt =
      runtime ? runtime_prompt(runtime->second, _claude_arch_dir) : _build_claude_system_prompt();

  std::optional<std::string> resume;
  {
    const std::lock_guard lock(claude_mutex);
    resume = _claude_session_id;
  }
  std::vector<std::string> argv = {exe->string(),
                                   "-p",
                                   "--model",
                                   _claude_model,
                                   "--effort",
                                   "xhigh",
                                   "--append-system-prompt",
                                   system_prompt,
                                   "--add-dir",
                                   _claude_arch_dir.string()};
  if (runtime && runtime->first != _claude_arch_dir) {
    argv.insert(argv.end(), {"--add-dir", runtime->first.string()});
  }
  argv.insert(argv.end(), {"--permission-mode", "default", "--allowedTools", "Read",
                           "--output-format", "json"});
  if (resume) argv.insert(argv.end(), {"--resume", *resume});

  const double seconds = std::max(0.0, timeout.get<double>());
  common::ProcessResult run;
  try {
    run = common::run_process(
        argv, std::chrono::milliseconds(static_cast<long long>(std::min(seconds, 1e9) * 1000)),
        message);
  } catch (const common::ProcessTimeout&) {
    return failure("Claude 回應逾時（" + common::to_text(timeout) + " 秒）。");
  } catch (const std::exception& e) {
    return failure(std::string("執行 claude 失敗：") + e.what());
  }
  const std::string out = common::utf8_replacing_invalid(run.standard_output);
  const std::string err = common::utf8_replacing_invalid(run.standard_error);

  if (run.exit_code != 0) {
    std::string msg = strip(err);
    if (msg.empty()) msg = strip(out);
    if (msg.empty()) msg = "claude exit code " + std::to_string(run.exit_code);
    const std::string low = lower(msg);
    if (resume &&
        (low.find("resume") != std::string::npos || low.find("session") != std::string::npos)) {
      {
        const std::lock_guard lock(claude_mutex);
        _claude_session_id.reset();
      }
      // The stale conversation is dropped; the retry runs without --resume, so it cannot loop.
      return claude_send(user_text, terminal_text, target_tab_id, timeout, Json());
    }
    return failure(msg);
  }

  std::optional<std::string> new_id;
  Json reply = reply_from_output(out, new_id);
  if (new_id) {
    const std::lock_guard lock(claude_mutex);
    _claude_session_id = std::move(new_id);
  }
  return reply;
}

bool VeltaroApp::claude_reset_session() {
  const std::lock_guard lock(claude_mutex);
  _claude_session_id.reset();
  return true;
}

}  // namespace veltaro::gui
