// Telnet tabs against real servers through the whole back end: inetutils telnetd running a shell,
// and ser2net in front of a pseudo-terminal pair for a tab with COM port control.
#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <thread>

#include "driver_fixture.h"
#include "telnet_peers.h"

namespace veltaro::driver {
namespace {

using Clock = std::chrono::steady_clock;

class TelnetServerTabTest : public DriverTest {
 protected:
  std::string open_connected(Json rec, std::uint16_t port) {
    rec["host"] = "127.0.0.1";
    rec["port"] = port;
    const std::string tab = open_tab(save(rec));
    EXPECT_TRUE(app().wait_for_script(connected_for(tab))) << "no terminalConnected";
    return tab;
  }

  // Types a command whose answer line is "<tag>:" and its output, and returns that output. The
  // tag is put together by the shell, so the echo of the typed line never matches.
  std::string ask(const std::string& tab, const std::string& tag, const std::string& command) {
    const std::string typed =
        "echo \"" + tag.substr(0, 1) + "\"\"" + tag.substr(1) + ":$(" + command + ")\"\r";
    EXPECT_EQ(app().call("send_input", Json::array({tab, typed})), true);
    const std::regex line(tag + ":([^\r\n]*)\r?\n");
    const std::string text =
        app().drain_until(tab, [&](const std::string& t) { return std::regex_search(t, line); });
    std::smatch m;
    if (!std::regex_search(text, m, line)) return "(no answer; received: " + text + ")";
    return m[1];
  }
};

TEST_F(TelnetServerTabTest, InetutilsShellSeesTheSessionsTypeSpeedEnvironmentAndWindowSizes) {
  peers::InetutilsTelnetd server({"LANG", "VELTARO_MARK"});
  start();
  const Json env = Json::array({Json{{"key", "LANG"}, {"value", "zh_TW.UTF-8"}},
                                Json{{"key", ""}, {"value", "skipped"}}, "not an entry",
                                Json{{"key", "VELTARO_MARK"}, {"value", 7}},
                                Json{{"key", "LANG"}, {"value", "C.UTF-8"}}});
  const std::string tab = open_connected({{"name", "t"},
                                          {"protocol", "telnet"},
                                          {"terminal_type", "XTERM-256COLOR"},
                                          {"term_speed", "19200,19200"},
                                          {"username", "tester"},
                                          {"telnet_env", env}},
                                         server.port());

  EXPECT_EQ(ask(tab, "TERM", "echo $TERM"), "xterm-256color");
  EXPECT_EQ(ask(tab, "ENV", "echo $USER/$LANG/$VELTARO_MARK"), "tester/C.UTF-8/7");
  EXPECT_EQ(ask(tab, "SPEED", "stty speed"), "19200");
  EXPECT_EQ(ask(tab, "SIZE", "stty size"), "24 80");
  app().call("resize_pty", Json::array({tab, 40, 120}));
  EXPECT_EQ(ask(tab, "RESIZED", "stty size"), "40 120");

  ASSERT_EQ(app().call("send_input", Json::array({tab, "exit\r"})), true);
  EXPECT_TRUE(saw_info(tab, kConnectionEnded, false));
  EXPECT_TRUE(wait_until_dead(tab));
}

TEST_F(TelnetServerTabTest, Ser2netTabSetsTheLineAndCarriesBytesBothWays) {
  peers::PtyPair pty;
  peers::Ser2net server(pty.device());
  start();
  const std::string tab = open_connected({{"name", "s"},
                                          {"protocol", "telnet-serial"},
                                          {"serial_baud", 57600},
                                          {"serial_stop", "2"},
                                          {"serial_flow", "R"}},
                                         server.port());

  // The tab is connected once the settings are sent; ser2net applies them as they arrive.
  std::string stty;
  const auto deadline = Clock::now() + kEventWait;
  do {
    stty = pty.stty();
    if (stty.find("speed 57600 baud") != std::string::npos) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  } while (Clock::now() < deadline);
  EXPECT_NE(stty.find("speed 57600 baud"), std::string::npos) << stty;
  EXPECT_NE(stty.find(" cstopb"), std::string::npos) << stty;
  EXPECT_NE(stty.find(" crtscts"), std::string::npos) << stty;

  peers::FarEnd far(pty.far_end());
  ASSERT_TRUE(far.write_all("from device \xff#END"));
  EXPECT_EQ(app().drain_until_contains(tab, "#END"), "from device \xef\xbf\xbd#END");
  ASSERT_EQ(app().call("send_input", Json::array({tab, "to device"})), true);
  EXPECT_EQ(far.read_until_size(9, kEventWait), "to device");
}

}  // namespace
}  // namespace veltaro::driver
