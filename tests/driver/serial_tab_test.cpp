// Serial tabs end to end on socat pseudo-terminals: opening, bytes both ways, unplugging and
// plugging the device back, closing a tab that waits for its device, and the board-reset
// operations.
#include <gtest/gtest.h>

#include <regex>
#include <thread>

#include "driver_fixture.h"
#include "socat_pty.h"
#include "tcp_peer.h"

namespace veltaro::driver {
namespace {

using namespace std::chrono_literals;
using peers::SocatPty;

// 31 failed reads 0.1 s apart, then the reopen attempts every 2 s: generous on a loaded machine.
constexpr Ms kReopenWait{20'000};

std::string disconnect_line(const std::string& com) {
  return "─── 序列埠 " + com + " 已斷線，等待重新連接... ───";
}
std::string reconnect_line(const std::string& com, long long baud) {
  return "─── 已重新連接 " + com + " @ " + std::to_string(baud) + " ───";
}

class SerialTabTest : public DriverTest {
 protected:
  // Saves a serial session for `pty` and opens its tab.
  std::string open_serial(const SocatPty& pty, const Json& extra = Json::object()) {
    Json rec = {{"name", "board"}, {"protocol", "serial"}, {"host", pty.device().string()}};
    for (const auto& [key, value] : extra.items()) rec[key] = value;
    return open_tab(save(rec));
  }
  std::string com(const SocatPty& pty) const { return pty.device().string(); }
};

TEST_F(SerialTabTest, OpensWithBannerAndCarriesBytesBothWays) {
  start();
  SocatPty pty;
  const std::string tab = open_serial(pty, {{"port", "115200"}, {"serial_parity", "e"}});
  EXPECT_TRUE(saw_info(tab, "正在開啟序列埠 " + com(pty) + " @ 115200 bps ...", false));
  ASSERT_TRUE(app().wait_for_script(connected_for(tab)));
  EXPECT_TRUE(app().wait_for_stderr("[serial] opening " + com(pty) +
                                    " @ 115200 bps  bits=8 parity=e stop=1 flow=N "
                                    "encoding=utf-8 (Win32 backend)"));
  EXPECT_TRUE(app().wait_for_stderr("[serial] " + com(pty) + " open OK (handle="));
  const std::string banner = "\r\n--- 已連接 " + com(pty) + " @ 115200 ---\r\n";
  EXPECT_NE(app().drain_until_contains(tab, banner).find(banner), std::string::npos);
  EXPECT_EQ(tab_summary(tab)["alive"], true);

  pty.send("boot \xe4\xbd");
  std::this_thread::sleep_for(150ms);
  pty.send("\xa0 ok\r\n");
  EXPECT_NE(app().drain_until_contains(tab, "ok\r\n").find("boot 你 ok\r\n"), std::string::npos);
  EXPECT_TRUE(app().wait_for_stderr("[serial] read 7 bytes (total 7): b'boot \\xe4\\xbd'"));

  EXPECT_EQ(app().call("send_input", Json::array({tab, "ls -l\r"})), true);
  EXPECT_EQ(pty.receive_until_contains("\r"), "ls -l\r");

  // More than the device takes within one write's second: the rest follows in further writes.
  const std::string paste(1 << 20, 'p');
  std::string received;
  std::thread device([&] {
    std::this_thread::sleep_for(1500ms);
    received = pty.receive_until([&](const std::string& s) { return s.size() >= paste.size(); },
                                 Ms(30'000));
  });
  const Json sent = app().call("send_input", Json::array({tab, paste}), Ms(40'000));
  device.join();
  EXPECT_EQ(sent, true);
  EXPECT_EQ(received.size(), paste.size());
}

TEST_F(SerialTabTest, MissingPortNameIsRefusedAndBadBaudOpensAt9600) {
  start();
  const std::string blank = open_tab(save({{"name", "x"}, {"protocol", "serial"}, {"host", "  "}}));
  EXPECT_TRUE(saw_info(blank, "請填入 COM 端口（例如 COM3）", true));
  EXPECT_TRUE(wait_until_dead(blank));

  SocatPty pty;
  const std::string tab = open_serial(pty, {{"port", "abc"}});
  const std::string banner = "--- 已連接 " + com(pty) + " @ 9600 ---";
  EXPECT_NE(app().drain_until_contains(tab, banner).find(banner), std::string::npos);
}

TEST_F(SerialTabTest, FirstOpenFailureWaitsForTheDeviceAndOpensWhenItAppears) {
  start();
  SocatPty pty;
  pty.unplug();
  const std::string tab = open_serial(pty, {{"port", 57600}});
  EXPECT_TRUE(saw_info(tab,
                       "開啟序列埠失敗：(2, 'CreateFile', 'No such file or directory')"
                       "（將持續嘗試重新連接）",
                       true));
  EXPECT_TRUE(app().wait_for_script(connected_for(tab)));
  EXPECT_TRUE(saw_info(tab, disconnect_line(com(pty)), false));
  EXPECT_TRUE(app().wait_for_stderr("[serial] reopen attempt #1 failed: (2, 'CreateFile', "));
  EXPECT_EQ(tab_summary(tab)["alive"], false);
  EXPECT_EQ(app().call("hard_reset_esp", Json::array({tab})), false);
  EXPECT_TRUE(app().wait_for_stderr("[esp_reset:hard_reset] ser=None open=None"));

  pty.plug();
  EXPECT_TRUE(saw_info(tab, reconnect_line(com(pty), 57600), false, 0, kReopenWait));
  EXPECT_TRUE(app().wait_for_stderr("[serial] reopen OK (handle="));
  EXPECT_EQ(tab_summary(tab)["alive"], true);
  pty.send("after plug");
  EXPECT_NE(app().drain_until_contains(tab, "after plug").find("after plug"), std::string::npos);
}

// A character cut in half by the unplugging is shown as U+FFFD and does not join the first bytes
// after the reopen.
TEST_F(SerialTabTest, UnplugShowsTheDisconnectLineAndPlugBackReopensWithAFreshDecoder) {
  start();
  SocatPty pty;
  const std::string tab = open_serial(pty, {{"port", 921600}});
  ASSERT_TRUE(app().wait_for_script(connected_for(tab)));
  app().drain_until_contains(tab, "921600 ---\r\n");
  pty.send("\xe4\xbd");
  ASSERT_TRUE(app().wait_for_stderr("[serial] read 2 bytes"));

  pty.unplug();
  EXPECT_TRUE(saw_info(tab, disconnect_line(com(pty)), false, 0, kReopenWait));
  EXPECT_TRUE(
      app().wait_for_stderr("[serial] read err #31: ReadFile failed: (5, 'ReadFile', "
                            "'Input/output error')"));
  EXPECT_TRUE(app().wait_for_stderr("[serial] too many errors, will try to reopen"));
  EXPECT_TRUE(wait_until_dead(tab));
  EXPECT_EQ(app().drain_until_contains(tab, "\xef\xbf\xbd"), "\xef\xbf\xbd");

  pty.plug();
  EXPECT_TRUE(saw_info(tab, reconnect_line(com(pty), 921600), false, 0, kReopenWait));
  pty.send("\xa0Z");
  const std::string text = app().drain_until_contains(tab, "Z");
  EXPECT_NE(text.find("\xef\xbf\xbdZ"), std::string::npos) << text;
  EXPECT_EQ(text.find("你"), std::string::npos) << text;
}

// One log file holds the whole life of the tab: each opening of the port and each loss of it.
TEST_F(SerialTabTest, LogMarksEveryOpeningAndLossOfThePort) {
  start();
  SocatPty pty;
  const std::string tab = open_serial(pty, {{"port", 115200}, {"log_file", "board.log"}});
  ASSERT_TRUE(app().wait_for_script(connected_for(tab)));
  pty.send("boot\r\n");
  app().drain_until_contains(tab, "boot");
  pty.unplug();
  EXPECT_TRUE(wait_until_dead(tab, kReopenWait));
  pty.plug();
  EXPECT_TRUE(saw_info(tab, reconnect_line(com(pty), 115200), false, 0, kReopenWait));
  pty.send("again\r\n");
  app().drain_until_contains(tab, "again");
  app().call("close_tab", Json::array({tab}));

  const std::string time = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)";
  const std::string opened = "=== 連線開始 " + com(pty) + " @ 115200 " + time + " ===\n";
  const std::string ended = "=== 連線結束 " + time + " ===\n";
  const std::string text = read_file(home_dir() / "board.log");
  EXPECT_TRUE(
      std::regex_match(text, std::regex(opened + "boot\n" + ended + opened + "again\n" + ended)))
      << text;
}

TEST_F(SerialTabTest, ClosingTheTabDuringTheWaitEndsItAndOpensNothing) {
  start();
  SocatPty pty;
  pty.unplug();
  const std::string tab = open_serial(pty);
  ASSERT_TRUE(saw_info(tab, disconnect_line(com(pty)), false));
  ASSERT_TRUE(app().wait_for_stderr("[serial] reopen attempt #1 failed"));
  app().call("close_tab", Json::array({tab}));
  EXPECT_TRUE(app().wait_for_stderr("[serial] reader loop ended (total 0 bytes)"));

  pty.plug();
  std::this_thread::sleep_for(2500ms);
  EXPECT_EQ(app().stderr_text().find("reopen OK"), std::string::npos);
  // Nobody holds the device: another program may have it.
  const std::string other = open_serial(pty);
  EXPECT_TRUE(app().wait_for_stderr(" open OK (handle="));
  app().call("close_tab", Json::array({other}));
}

TEST_F(SerialTabTest, BoardResetNeedsAnOpenPort) {
  start();
  peers::TcpListener listener;
  const std::string raw = open_tab(save(
      {{"name", "raw"}, {"protocol", "raw"}, {"host", "127.0.0.1"}, {"port", listener.port()}}));
  auto conn = listener.accept();
  ASSERT_TRUE(app().wait_for_script(connected_for(raw)));
  EXPECT_EQ(app().call("hard_reset_esp", Json::array({raw})), false);
  EXPECT_TRUE(app().wait_for_stderr("[esp_reset:hard_reset] ser=None open=None"));
  EXPECT_EQ(app().call("enter_bootloader_esp", Json::array({"00000000"})), false);
  EXPECT_TRUE(app().wait_for_stderr("[esp_reset:enter_bootloader] tab 00000000 not found"));

  // A pseudo-terminal has no modem lines: the reset is dispatched and its failure logged.
  SocatPty pty;
  const std::string tab = open_serial(pty);
  ASSERT_TRUE(app().wait_for_script(connected_for(tab)));
  app().drain_until_contains(tab, "9600 ---\r\n");
  EXPECT_EQ(app().call("enter_bootloader_esp", Json::array({tab})), true);
  EXPECT_TRUE(app().wait_for_stderr("[esp_reset:enter_bootloader] dispatching to worker thread"));
  EXPECT_TRUE(app().wait_for_stderr(
      "[esp_reset:enter_bootloader] modem ctrl failed: EscapeCommFunction err=25, "
      "DeviceIoControl err=25"));
  pty.send("still reading");
  EXPECT_NE(app().drain_until_contains(tab, "reading").find("still reading"), std::string::npos);
}

}  // namespace
}  // namespace veltaro::driver
