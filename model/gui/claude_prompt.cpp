// The assistant's rule texts: read from the architecture directory beside the library and
// gathered into the runtime rule file the tool is told to read, or into the system prompt itself
// when that file cannot be written anywhere.
#include "common/diag.h"
#include "model/gui/veltaro_app.h"

#include <fstream>
#include <sstream>

namespace veltaro::gui {

namespace {

namespace fs = std::filesystem;

constexpr const char* kRulesFile = "claude規範提示詞.md";
constexpr const char* kIndexFile = "架構說明目錄.md";
constexpr const char* kRuntimeFile = "_runtime_system_prompt.md";

std::string join(const std::vector<std::string>& parts) {
  std::string out;
  for (std::size_t i = 0; i < parts.size(); ++i) out += (i ? "\n\n" : "") + parts[i];
  return out;
}

// The rules and the index, each under its heading, leaving out an empty one.
std::vector<std::string> rule_sections(const std::string& rules, const std::string& index) {
  std::vector<std::string> sections;
  if (!rules.empty()) sections.push_back(std::string("===== ") + kRulesFile + " =====\n" + rules);
  if (!index.empty()) sections.push_back(std::string("===== ") + kIndexFile + " =====\n" + index);
  return sections;
}

bool write_text(const fs::path& dir, const std::string& content) {
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec) return false;
  std::ofstream out(dir / kRuntimeFile, std::ios::binary | std::ios::trunc);
  out << content;
  out.close();
  return static_cast<bool>(out);
}

}  // namespace

std::string VeltaroApp::_read_text_safe(const fs::path& path) const {
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) return {};
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  if (!in) {
    common::diag("[claude] read " + path.string() + " failed:", "the file could not be read");
    return {};
  }
  return text.str();
}

std::optional<std::pair<fs::path, std::string>> VeltaroApp::_write_claude_runtime_system_prompt()
    const {
  const auto sections = rule_sections(_read_text_safe(_claude_arch_dir / kRulesFile),
                                      _read_text_safe(_claude_arch_dir / kIndexFile));
  if (sections.empty()) return std::nullopt;
  const std::string content = join(sections);
  for (const fs::path& dir : {_claude_arch_dir, APP_DIR}) {
    if (write_text(dir, content)) return std::pair{dir, std::string(kRuntimeFile)};
  }
  return std::nullopt;
}

std::string VeltaroApp::_build_claude_system_prompt() const {
  std::vector<std::string> parts = {
      "你正在透過 Claude Code CLI 為 Veltaro "
      "的使用者提供協助。以下是你必須遵守的規範與專案架構索引；"
      "需要更細的內容時，可用 Read 工具讀取 " +
      _claude_arch_dir.string() + " 下的 詳細說明*.md 檔。"};
  for (auto& s : rule_sections(_read_text_safe(_claude_arch_dir / kRulesFile),
                               _read_text_safe(_claude_arch_dir / kIndexFile))) {
    parts.push_back(std::move(s));
  }
  return join(parts);
}

}  // namespace veltaro::gui
