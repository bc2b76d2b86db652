// Finding the assistant tool, probing its version and telling whether the user has logged in.
#include "common/paths.h"
#include "common/subprocess.h"
#include "common/values.h"
#include "model/gui/veltaro_app.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace veltaro::gui {

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr std::chrono::milliseconds kVersionProbeTimeout = 10s;
constexpr const char* kNotFoundHint =
    "找不到 claude 執行檔。請先安裝 Claude Code：https://www.anthropic.com/claude-code";
constexpr const char* kNotLoggedInHint =
    "尚未登入 Claude Code。請在終端機執行 `claude` 並依瀏覽器流程登入。";

// An environment variable's value, or nullopt when it is unset or empty.
std::optional<std::string> env_value(const char* name) {
  const char* v = std::getenv(name);
  if (v == nullptr || *v == '\0') return std::nullopt;
  return std::string(v);
}

// The places the tool's own installers put it when it is not on PATH. A place whose base
// variable is unset or empty is left out: joined with nothing it would name a file relative to
// the current directory, where anyone could plant a program.
std::vector<fs::path> fallback_candidates() {
  std::vector<fs::path> out;
  if (const auto home = env_value("HOME")) {
    out.push_back(fs::path(*home) / ".local" / "bin" / "claude");
    out.push_back(fs::path(*home) / ".claude" / "local" / "claude");
  }
  return out;
}

std::optional<fs::path> search_claude() {
  for (const char* name : {"claude", "claude.cmd", "claude.exe"}) {
    fs::path found = common::find_on_path(name);
    if (!found.empty()) return found;
  }
  for (const auto& candidate : fallback_candidates()) {
    std::error_code ec;
    if (fs::is_regular_file(candidate, ec)) return candidate;
  }
  return std::nullopt;
}

std::string trim(const std::string& s) {
  const auto* ws = " \t\r\n\v\f";
  const auto first = s.find_first_not_of(ws);
  if (first == std::string::npos) return {};
  return s.substr(first, s.find_last_not_of(ws) - first + 1);
}

fs::path login_home() {
  if (const auto profile = env_value("USERPROFILE")) return *profile;
  if (const auto home = env_value("HOME")) return *home;
  return {};
}

// The version text, nullopt for a non-zero exit. Throws std::runtime_error on any failure.
std::optional<std::string> probe_version(const fs::path& exe) {
  const auto r = common::run_process({exe.string(), "--version"}, kVersionProbeTimeout);
  if (r.exit_code != 0) return std::nullopt;
  const std::string out = common::utf8_replacing_invalid(r.standard_output);
  if (out.empty()) return std::string();
  const std::string stripped = trim(out);
  if (stripped.empty()) throw std::runtime_error("版本輸出只有空白");
  return trim(stripped.substr(0, stripped.find_first_of("\r\n")));
}

Json status_map(bool installed, bool logged_in, const Json& version, const std::string& model,
                const Json& exe, const std::string& hint) {
  return Json{{"installed", installed},
              {"logged_in", logged_in},
              {"version", version},
              {"model", model},
              {"exe", exe},
              {"hint", hint}};
}

}  // namespace

std::optional<fs::path> VeltaroApp::_resolve_claude_exe() {
  {
    const std::lock_guard lock(claude_mutex);
    if (_claude_exe_resolved) return _claude_exe;
  }
  const auto found = search_claude();
  const std::lock_guard lock(claude_mutex);
  if (found) _claude_exe = found;
  if (_claude_exe && !_claude_exe->empty()) _claude_exe_resolved = true;
  return _claude_exe;
}

bool VeltaroApp::_claude_logged_in() const noexcept {
  try {
    const fs::path dir = login_home() / ".claude";
    std::error_code ec;
    if (fs::is_regular_file(dir / ".credentials.json", ec)) return true;
    if (!fs::is_regular_file(dir / "settings.json", ec)) return false;
    std::ifstream in(dir / "settings.json", std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    const Json stored = Json::parse(text.str());
    if (!stored.is_object()) return false;
    const Json* account = common::member(stored, "oauthAccount");
    const Json* key = common::member(stored, "primaryApiKey");
    return (account && common::truthy(*account)) || (key && common::truthy(*key));
  } catch (...) {
    return false;
  }
}

Json VeltaroApp::claude_status() {
  const auto exe = _resolve_claude_exe();
  if (!exe || exe->empty())
    return status_map(false, false, nullptr, _claude_model, nullptr, kNotFoundHint);
  const Json exe_text = exe->string();
  Json version;
  try {
    if (auto v = probe_version(*exe)) version = std::move(*v);
  } catch (const std::exception& e) {
    return status_map(false, false, nullptr, _claude_model, exe_text,
                      std::string("執行 claude --version 失敗：") + e.what());
  }
  const bool logged = _claude_logged_in();
  return status_map(true, logged, version, _claude_model, exe_text, logged ? "" : kNotLoggedInHint);
}

}  // namespace veltaro::gui
