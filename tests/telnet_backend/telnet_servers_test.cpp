// The transport against real Telnet servers: inetutils telnetd and busybox telnetd, each running
// a shell the test types into.
#include "model/transports/telnet_backend/telnet_backend.h"
#include "receiver.h"
#include "telnet_peers.h"

#include <gtest/gtest.h>

#include <regex>

namespace veltaro::telnet {
namespace {

using testing::Receiver;

TelnetOptions options_for(std::uint16_t port) {
  TelnetOptions o;
  o.host = "127.0.0.1";
  o.port = port;
  o.term_type = "XTERM-256COLOR";
  o.term_speed = "19200,19200";
  o.username = "tester";
  o.environment = {{"LANG", "zh_TW.UTF-8"}, {"VELTARO_MARK", "m1"}};
  return o;
}

// Types a command whose answer line is "<tag>:" followed by the output, and waits for it. The
// tag is built by the shell, so the typed command echoed by the terminal never matches.
std::string ask(TelnetBackend& t, Receiver& r, const std::string& tag, const std::string& command) {
  const std::string head = tag.substr(0, 1);
  const std::string rest = tag.substr(1);
  t.send("echo \"" + head + "\"\"" + rest + ":$(" + command + ")\"\r");
  const std::regex line(tag + ":([^\r\n]*)\r?\n");
  std::smatch m;
  const bool found =
      r.wait_for([&](const std::string& text) { return std::regex_search(text, m, line); });
  if (!found) return "(no answer; received: " + r.text() + ")";
  const std::string text = r.text();
  std::regex_search(text, m, line);
  return m[1];
}

TEST(TelnetServers, InetutilsTelnetdGetsTypeSpeedEnvironmentAndEachWindowSize) {
  peers::InetutilsTelnetd server({"LANG", "VELTARO_MARK"});
  TelnetBackend telnet(options_for(server.port()));
  telnet.connect();
  Receiver received(telnet);

  EXPECT_EQ(ask(telnet, received, "TERM", "echo $TERM"), "xterm-256color");
  EXPECT_EQ(ask(telnet, received, "ENV", "echo $USER/$LANG/$VELTARO_MARK"),
            "tester/zh_TW.UTF-8/m1");
  EXPECT_EQ(ask(telnet, received, "SPEED", "stty speed"), "19200");
  EXPECT_EQ(ask(telnet, received, "SIZE", "stty size"), "24 80");
  telnet.resize(40, 120);
  EXPECT_EQ(ask(telnet, received, "RESIZED", "stty size"), "40 120");
  telnet.resize(255, 300);
  EXPECT_EQ(ask(telnet, received, "BIG", "stty size"), "255 300");
}

TEST(TelnetServers, InetutilsTelnetdServesAPassiveClientWithEitherEnvironCoding) {
  peers::InetutilsTelnetd server({"LANG"});
  for (const bool rfc : {true, false}) {
    TelnetOptions o = options_for(server.port());
    o.passive = true;
    o.rfc_environ = rfc;
    TelnetBackend telnet(o);
    telnet.connect();
    Receiver received(telnet);
    EXPECT_EQ(ask(telnet, received, "LANGIS", "echo $LANG"), "zh_TW.UTF-8") << "rfc " << rfc;
  }
}

// busybox telnetd asks only for NAWS and passes any other sub-negotiation to the shell as typed
// text, so this guards telnet_unsolicited_subnegotiation_is_never_sent.
TEST(TelnetServers, BusyboxShellNeverSeesUnsolicitedSubnegotiations) {
  peers::BusyboxTelnetd server;
  TelnetBackend telnet(options_for(server.port()));
  telnet.connect();
  Receiver received(telnet);
  // The server's request for the size comes with its first bytes; once the shell answers, our
  // reply has been sent.
  EXPECT_EQ(ask(telnet, received, "READY", "echo yes"), "yes");
  EXPECT_EQ(ask(telnet, received, "SIZE", "stty size"), "24 80");
  telnet.resize(50, 160);
  EXPECT_EQ(ask(telnet, received, "RESIZED", "stty size"), "50 160");
  const std::string all = received.text();
  for (const char* leaked : {"XTERM", "19200", "tester", "zh_TW"}) {
    EXPECT_EQ(all.find(leaked), std::string::npos) << leaked << " reached the shell: " << all;
  }
}

}  // namespace
}  // namespace veltaro::telnet
