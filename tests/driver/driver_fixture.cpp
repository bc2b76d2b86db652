#include "driver_fixture.h"

#include <stdlib.h>

#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

namespace veltaro::driver {

namespace {

constexpr Ms kStatePoll{25};

std::string describe_scripts(const std::vector<Script>& scripts) {
  std::string out;
  for (const auto& s : scripts) out += "\n  " + s.text;
  return out.empty() ? " (none)" : out;
}

}  // namespace

std::string raw_connecting_line(std::string_view host, unsigned port) {
  return "正在連線到 " + std::string(host) + ":" + std::to_string(port) + "（Raw）...";
}

bool is_lower_hex(std::string_view s, std::size_t length) {
  if (s.size() != length) return false;
  for (char c : s) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

std::function<bool(const Script&)> info_for(std::string tab) {
  return [tab](const Script& s) { return s.function == "setTerminalInfo" && s.tab() == tab; };
}

std::function<bool(const Script&)> info_is(std::string tab, std::string message) {
  return [tab, message](const Script& s) {
    return s.function == "setTerminalInfo" && s.tab() == tab && s.message() == message;
  };
}

std::function<bool(const Script&)> connected_for(std::string tab) {
  return [tab](const Script& s) { return s.function == "terminalConnected" && s.tab() == tab; };
}

void DriverTest::SetUp() {
  std::string pattern = (std::filesystem::temp_directory_path() / "veltaro-drv-XXXXXX").string();
  ASSERT_NE(::mkdtemp(pattern.data()), nullptr) << "cannot create a temporary directory";
  root_ = pattern;
  std::filesystem::create_directories(root_ / "home");
  std::filesystem::create_directories(root_ / "data");
}

void DriverTest::TearDown() {
  end_program();
  std::error_code ec;
  std::filesystem::remove_all(root_, ec);
}

void DriverTest::end_program() {
  if (!app_) return;
  const ExitStatus st = app_->finish();
  EXPECT_TRUE(st.exited && st.code == 0)
      << "veltaro-headless must exit 0 at end of input; it " << st.describe();
  const auto stray = app_->stray_lines();
  EXPECT_TRUE(stray.empty()) << "standard output must carry protocol lines only; first stray line: "
                             << (stray.empty() ? "" : stray.front());
  if (HasFailure()) {
    std::cerr << "---- veltaro-headless stderr ----\n"
              << app_->stderr_text() << "---- scripts ----" << describe_scripts(app_->scripts())
              << "\n---- end ----\n";
  }
  app_.reset();
}

HeadlessClient& DriverTest::start(const std::vector<std::string>& args) {
  if (!app_) {
    app_ = std::make_unique<HeadlessClient>(VELTARO_HEADLESS, root_ / "home", root_ / "data", args);
  }
  return *app_;
}

HeadlessClient& DriverTest::restart() {
  end_program();
  return start();
}

HeadlessClient& DriverTest::app() {
  return start();
}

std::filesystem::path DriverTest::home_dir() const {
  return root_ / "home";
}

std::filesystem::path DriverTest::data_dir() const {
  return root_ / "data" / "quillmoor" / "Veltaro";
}

void DriverTest::write_sessions_file(std::string_view content) {
  std::filesystem::create_directories(data_dir());
  std::ofstream out(sessions_file(), std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  ASSERT_TRUE(out.good()) << "cannot write " << sessions_file();
}

std::string DriverTest::read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string DriverTest::save(const Json& rec) {
  Json answer = app().call("save_session", Json::array({rec}));
  EXPECT_TRUE(answer.is_object() && !answer.contains("error")) << answer.dump();
  if (!answer.is_object() || !answer.contains("id") || !answer["id"].is_string()) {
    ADD_FAILURE() << "save_session answered without an id: " << answer.dump();
    return {};
  }
  return answer["id"].get<std::string>();
}

Json DriverTest::stored(const std::string& id) {
  Json state = app().call("get_initial_state");
  for (const auto& rec : state.value("sessions", Json::array())) {
    if (rec.is_object() && rec.value("id", "") == id) return rec;
  }
  return nullptr;
}

std::string DriverTest::open_tab(const std::string& session_id) {
  Json state = app().call("connect_session", Json::array({session_id}));
  if (!state.is_object() || !state.contains("tab_id") || !state["tab_id"].is_string()) {
    ADD_FAILURE() << "connect_session gave no tab id: " << state.dump();
    return {};
  }
  return state["tab_id"].get<std::string>();
}

Json DriverTest::tab_summary(const std::string& tab) {
  Json state = app().call("get_runtime_state");
  for (const auto& t : state.value("tabs", Json::array())) {
    if (t.is_object() && t.value("id", "") == tab) return t;
  }
  return nullptr;
}

bool DriverTest::wait_until_dead(const std::string& tab, Ms timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    Json t = tab_summary(tab);
    if (t.is_object() && t.value("alive", true) == false) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kStatePoll);
  }
}

::testing::AssertionResult DriverTest::saw_info(const std::string& tab, std::string_view message,
                                                bool is_error, std::size_t from, Ms timeout) {
  auto found = app().wait_for_script(info_is(tab, std::string(message)), timeout, from);
  if (!found) {
    return ::testing::AssertionFailure() << "no status line \"" << message << "\" for tab " << tab
                                         << "; scripts seen:" << describe_scripts(app().scripts());
  }
  if (!is_info_script(*found, tab, message, is_error)) {
    return ::testing::AssertionFailure() << "script text differs: " << found->text;
  }
  return ::testing::AssertionSuccess();
}

}  // namespace veltaro::driver
