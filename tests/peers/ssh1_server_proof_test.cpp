// Two real SSH-1 clients log in to the test server and run a command: PuTTY's plink and
// OpenSSH's ssh1. This shows the server speaks SSH-1 as real peers do, not as our client reads it.
#include <gtest/gtest.h>

#include "process.h"
#include "ssh1_peer.h"

namespace veltaro::peers {
namespace {

using ssh2::testing::Process;
using ssh2::testing::read_text;
using ssh2::testing::SpawnOptions;
using ssh2::testing::TempDir;
using ssh2::testing::write_text;

constexpr std::chrono::seconds kClientWait{60};

struct ClientRun {
  int status;
  std::string output;
};

ClientRun run_client(const std::vector<std::string>& argv,
                     const std::map<std::string, std::string>& env, const TempDir& dir) {
  SpawnOptions options;
  options.env = env;
  options.output_file = dir / "client.log";
  auto process = Process::spawn(argv, options);
  const int status = process.wait(kClientWait);
  return {status, read_text(options.output_file)};
}

void expect_clean_login(const Ssh1Server& server) {
  ASSERT_TRUE(server.wait_for("exit_confirmation")) << server.log();
  const auto passwords = server.events("password");
  ASSERT_EQ(passwords.size(), 1u);
  EXPECT_EQ(passwords[0]["ok"], true);
  const auto keys = server.events("session_key");
  ASSERT_EQ(keys.size(), 1u);
  EXPECT_EQ(keys[0]["cipher"], 3) << "triple DES";
}

TEST(Ssh1ServerProof, PlinkLogsInRunsCommandAndGetsExitStatus) {
  Ssh1Server server;
  TempDir dir;
  const auto run = run_client(
      {"/usr/bin/plink", "-1", "-batch", "-P", std::to_string(server.port()), "-l", kSsh1User,
       "-pw", kSsh1Password, "-hostkey", server.host_key()["host_key_md5_ne"].get<std::string>(),
       "127.0.0.1", "echo hello-from-plink; echo to-stderr >&2; exit 3"},
      {{"HOME", dir.path().string()}}, dir);
  EXPECT_EQ(run.status, 3) << run.output;
  EXPECT_NE(run.output.find("hello-from-plink"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("to-stderr"), std::string::npos) << run.output;
  expect_clean_login(server);
  EXPECT_FALSE(server.events("skipped").empty()) << "plink hides its password among decoys";
}

TEST(Ssh1ServerProof, OpensshSsh1LogsInRunsCommandAndGetsExitStatus) {
  Ssh1Server server;
  TempDir dir;
  // Single DES, which SSH-1's triple DES is built from, lives in OpenSSL's legacy provider.
  write_text(dir / "openssl.cnf",
             "openssl_conf = init\n[init]\nproviders = prov\n[prov]\ndefault = on\nlegacy = on\n"
             "[on]\nactivate = 1\n");
  write_text(dir / "askpass", std::string("#!/bin/sh\necho '") + kSsh1Password + "'\n");
  std::filesystem::permissions(dir / "askpass", std::filesystem::perms::owner_all);
  // Without a terminal (setsid) ssh1 asks SSH_ASKPASS for the password.
  const auto run =
      run_client({"/usr/bin/setsid", "-w", "/usr/bin/ssh1", "-1", "-c", "3des", "-F", "/dev/null",
                  "-o", "StrictHostKeyChecking=no", "-o", "UserKnownHostsFile=/dev/null", "-p",
                  std::to_string(server.port()), std::string(kSsh1User) + "@127.0.0.1",
                  "echo hello-from-ssh1; echo to-stderr >&2; exit 4"},
                 {{"HOME", dir.path().string()},
                  {"OPENSSL_CONF", (dir / "openssl.cnf").string()},
                  {"DISPLAY", ":0"},
                  {"SSH_ASKPASS", (dir / "askpass").string()},
                  {"SSH_ASKPASS_REQUIRE", "force"}},
                 dir);
  EXPECT_EQ(run.status, 4) << run.output;
  EXPECT_NE(run.output.find("hello-from-ssh1"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("to-stderr"), std::string::npos) << run.output;
  expect_clean_login(server);
}

}  // namespace
}  // namespace veltaro::peers
