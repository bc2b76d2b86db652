// Shared set-up of the driver tests: every test gets its own HOME and XDG_DATA_HOME in a fresh
// temporary directory (tests never touch the real store and can run in parallel), starts
// veltaro-headless on demand, and at the end checks that the program exits 0 on end of input and
// kept its standard output to protocol lines.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "headless_client.h"

namespace veltaro::driver {

// Status lines the page shows to the user, exactly.
inline constexpr std::string_view kSettingsApplied = "─── 連線設定已套用 ───";
inline constexpr std::string_view kSettingsNeedReconnect =
    "─── 連線設定已更新（部分連線層級欄位需重新連線後才會套用） ───";
inline constexpr std::string_view kConnectionEnded = "─── 連線已結束 ───";
inline constexpr std::string_view kConnectFailedPrefix = "連線失敗：";

std::string raw_connecting_line(std::string_view host, unsigned port);

bool is_lower_hex(std::string_view s, std::size_t length);

// Script predicates.
std::function<bool(const Script&)> info_for(std::string tab);
std::function<bool(const Script&)> info_is(std::string tab, std::string message);
std::function<bool(const Script&)> connected_for(std::string tab);

class DriverTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Starts the program (once) with `args`; later calls return the running one.
  HeadlessClient& start(const std::vector<std::string>& args = {});
  // Ends the running program (expecting a clean exit) and starts a new one on the same data.
  HeadlessClient& restart();
  HeadlessClient& app();

  std::filesystem::path data_dir() const;  // $XDG_DATA_HOME/quillmoor/Veltaro
  std::filesystem::path home_dir() const;  // the program's $HOME
  std::filesystem::path sessions_file() const { return data_dir() / "sessions.json"; }
  void write_sessions_file(std::string_view content);
  static std::string read_file(const std::filesystem::path& path);

  // save_session(rec); returns the new id and checks the answer has no "error".
  std::string save(const Json& rec);
  // The stored record with this id, from get_initial_state; null when absent.
  Json stored(const std::string& id);
  // connect_session(id); returns the tab id.
  std::string open_tab(const std::string& session_id);
  // The tab's summary in get_runtime_state, or null when it is not listed.
  Json tab_summary(const std::string& tab);
  // Polls get_runtime_state until the tab is listed with "alive" false.
  bool wait_until_dead(const std::string& tab, Ms timeout = kEventWait);
  // Waits for the given status line in the tab, from script index `from` on.
  ::testing::AssertionResult saw_info(const std::string& tab, std::string_view message,
                                      bool is_error, std::size_t from = 0, Ms timeout = kEventWait);

 private:
  void end_program();

  std::filesystem::path root_;
  std::unique_ptr<HeadlessClient> app_;
};

}  // namespace veltaro::driver
