// How the opening fails: each faulty server gives its own readable reason, the client ends up
// closed, and neither a silent server nor a close from another thread leaves connect hanging.
#include <gtest/gtest.h>

#include <future>

#include "client_support.h"
#include "model/transports/tarnlink/ssh1_errors.h"
#include "tcp_peer.h"

namespace tarnlink {
namespace {

using namespace std::chrono_literals;
using veltaro::peers::ssh1_banner;
using veltaro::peers::ssh1_fault;
using veltaro::peers::ssh1_version_line;
using veltaro::peers::Ssh1Server;
using veltaro::peers::Ssh1ServerOptions;

// The reason connect gave, or "" when it succeeded.
std::string connect_error(SSH1Backend& client) {
  try {
    client.connect();
  } catch (const std::exception& e) {
    EXPECT_TRUE(client.is_closed());
    return e.what();
  }
  return "";
}

struct FaultCase {
  const char* name;
  Ssh1ServerOptions server;
  std::string password;
  std::string expected;
};

void PrintTo(const FaultCase& c, std::ostream* os) {
  *os << c.name;
}

class FaultyServerTest : public ::testing::TestWithParam<FaultCase> {};

TEST_P(FaultyServerTest, ConnectFailsWithTheReason) {
  const FaultCase& c = GetParam();
  Ssh1Server server(c.server);
  SSH1Options o = testing::options_for(server);
  if (!c.password.empty()) o.password = c.password;
  auto client = std::make_shared<SSH1Backend>(std::move(o));
  const testing::Watchdog guard(client);
  EXPECT_EQ(connect_error(*client), c.expected);
}

const std::string kLine256 = "SSH-1.5-" + std::string(248, 'v');

INSTANTIATE_TEST_SUITE_P(
    Faults, FaultyServerTest,
    ::testing::Values(
        FaultCase{"NoTripleDes", ssh1_fault("wrong-cipher"), "",
                  "server 不支援 3DES；目前只實作 3DES，無法繼續"},
        FaultCase{"NoPasswordAuth", ssh1_fault("no-password-auth"), "",
                  "server 不支援 password 認證"},
        FaultCase{"WrongPassword", Ssh1ServerOptions{}, "not-the-password", "password 認證失敗"},
        FaultCase{"BadCrc", ssh1_fault("bad-crc"), "", "SSH-1 CRC 校驗失敗"},
        FaultCase{"LengthOutOfRange", ssh1_fault("bad-length"), "",
                  "SSH-1 packet length out of range: 262145"},
        FaultCase{"DebugInPlaceOfReply", ssh1_fault("debug-after-user"), "",
                  "USER 之後預期 SUCCESS/FAILURE 收到 type=36"},
        FaultCase{"EqualKeySizes", ssh1_fault("equal-keys"), "",
                  "RSA key 太短，無法 wrap session key"},
        FaultCase{"DisconnectMidPacket", ssh1_fault("disconnect-mid-packet"), "",
                  "EOF during read"},
        FaultCase{"Ssh2Only", ssh1_version_line("SSH-2.0-X"), "", "server不支援 SSH-1：SSH-2.0-X"},
        FaultCase{"TwoFieldVersion", ssh1_version_line("SSH-1.5"), "",
                  "server不支援 SSH-1：SSH-1.5"},
        FaultCase{"BannerFirst", ssh1_banner("Welcome"), "", "not an SSH server: 'Welcome'"},
        FaultCase{"VersionLineOf257Bytes", ssh1_version_line(kLine256 + "v"), "",
                  "version line too long"},
        FaultCase{"VersionLineOf256Bytes", ssh1_version_line(kLine256), "", ""},
        FaultCase{"Ssh199", ssh1_version_line("SSH-1.99-Both"), "", ""},
        FaultCase{"NoPasswordNeeded", ssh1_fault("no-auth-needed"), "wrong-but-unused", ""}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(ConnectFailure, NoKeyIsSentToAServerWithout3desAndNoPasswordWhenNoneIsNeeded) {
  Ssh1Server no_3des(ssh1_fault("wrong-cipher"));
  SSH1Backend a(testing::options_for(no_3des));
  EXPECT_NE(connect_error(a), "");
  ASSERT_TRUE(no_3des.wait_for("closed"));
  EXPECT_TRUE(no_3des.events("session_key").empty());

  Ssh1Server open_door(ssh1_fault("no-auth-needed"));
  SSH1Backend b(testing::options_for(open_door));
  EXPECT_EQ(connect_error(b), "");
  EXPECT_TRUE(open_door.events("password").empty());
}

TEST(ConnectFailure, HostKeyVerifierSeesTheModulusFingerprintAndCanRefuse) {
  Ssh1Server server;
  std::string seen_fp, seen_host;
  SSH1Options o = testing::options_for(server);
  o.host_key_verifier = [&](const std::string& fp, const std::string& host) {
    seen_fp = fp;
    seen_host = host;
    return false;
  };
  SSH1Backend client(std::move(o));
  EXPECT_EQ(connect_error(client), "host key 拒絕");
  EXPECT_EQ(seen_fp, server.host_key()["host_key_md5"]);
  EXPECT_EQ(seen_host, "127.0.0.1");
}

TEST(ConnectFailure, SilentServerFailsAfterTheTimeoutInsteadOfHanging) {
  Ssh1Server server(ssh1_fault("silent"));
  SSH1Options o = testing::options_for(server);
  o.timeout = 1s;
  auto client = std::make_shared<SSH1Backend>(std::move(o));
  auto result = std::async(std::launch::async, [&] { return connect_error(*client); });
  ASSERT_EQ(result.wait_for(20s), std::future_status::ready);
  EXPECT_EQ(result.get(), "socket error during read");
}

TEST(ConnectFailure, CloseFromAnotherThreadEndsAConnectInProgress) {
  Ssh1Server server(ssh1_fault("silent"));
  auto client = std::make_shared<SSH1Backend>(testing::options_for(server));
  auto result = std::async(std::launch::async, [&] {
    try {
      client->connect();
    } catch (const SSH1Closed& e) {
      return std::string(e.what());
    } catch (const std::exception& e) {
      return std::string("not SSH1Closed: ") + e.what();
    }
    return std::string("connected");
  });
  EXPECT_EQ(result.wait_for(500ms), std::future_status::timeout);
  client->close();
  ASSERT_EQ(result.wait_for(10s), std::future_status::ready);
  const std::string why = result.get();
  EXPECT_TRUE(why == "EOF during read" || why == "socket error during read") << why;
}

TEST(ConnectFailure, RefusedPortGivesTheSocketReason) {
  SSH1Options o;
  o.host = "127.0.0.1";
  o.port = veltaro::peers::refused_port();
  SSH1Backend client(std::move(o));
  EXPECT_NE(connect_error(client).find("refused"), std::string::npos);
}

}  // namespace
}  // namespace tarnlink
