// Servers other than a default OpenSSH: one that offers only legacy algorithms, and Dropbear.
#include "model/transports/ssh2/legacy_prefs.h"
#include "test_support.h"

#include <gtest/gtest.h>

namespace veltaro::ssh2::testing {
namespace {

using paramiko_legacy::LEGACY_SSH_PREFS;
using paramiko_legacy::ScopedOverride;

class LegacyOnlyServer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    keys_ = new TempDir;
    rsa_ = new KeyPair(make_key(*keys_ / "rsa", "rsa"));
    sshd_ = new Sshd(SshdKind::kLegacyOnly, {rsa_->public_line});
  }
  static void TearDownTestSuite() {
    delete sshd_;
    delete rsa_;
    delete keys_;
  }

  IsolatedHome home_;
  static TempDir* keys_;
  static KeyPair* rsa_;
  static Sshd* sshd_;
};

TempDir* LegacyOnlyServer::keys_ = nullptr;
KeyPair* LegacyOnlyServer::rsa_ = nullptr;
Sshd* LegacyOnlyServer::sshd_ = nullptr;

TEST_F(LegacyOnlyServer, is_refused_with_the_default_algorithms) {
  auto o = options_for(sshd_->port());
  o.password = kTestPassword;
  try {
    connect_client(o);
    FAIL() << "negotiated with a legacy-only server by default";
  } catch (const AuthenticationError& e) {
    FAIL() << "failed at the login instead of the key exchange: " << e.what();
  } catch (const std::runtime_error& e) {
    EXPECT_STRNE(e.what(), "");
  }
}

TEST_F(LegacyOnlyServer, is_reached_with_the_legacy_table_by_password) {
  const ScopedOverride prefs(LEGACY_SSH_PREFS);
  auto o = options_for(sshd_->port());
  o.password = kTestPassword;
  const auto from = sshd_->log_size();
  auto client = connect_client(o);
  EXPECT_NO_THROW(client->get_transport()->open_session()->close());
  EXPECT_TRUE(sshd_->wait_for_log("MAC: hmac-sha1", from)) << sshd_->log_text();
}

// The server accepts only SHA-1 RSA signatures, which libssh does not make by default.
TEST_F(LegacyOnlyServer, rsa_key_signs_with_ssh_rsa_under_the_legacy_table) {
  const ScopedOverride prefs(LEGACY_SSH_PREFS);
  auto o = options_for(sshd_->port());
  o.key_filename = rsa_->private_key;
  auto client = connect_client(o);
  EXPECT_NO_THROW(client->get_transport()->open_session()->close());
}

TEST_F(LegacyOnlyServer, legacy_table_still_reaches_a_modern_server) {
  const Sshd modern(SshdKind::kModern, {});
  const ScopedOverride prefs(LEGACY_SSH_PREFS);
  auto o = options_for(modern.port());
  o.password = kTestPassword;
  EXPECT_NO_THROW(connect_client(o));
}

TEST(DropbearServer, password_login_and_shell) {
  const IsolatedHome home;
  const Dropbear dropbear;
  auto o = options_for(dropbear.port());
  o.password = kTestPassword;
  auto client = connect_client(o);
  auto channel = client->get_transport()->open_session();
  channel->get_pty("xterm", 80, 24);
  channel->invoke_shell();
  channel->send("echo dropbear-$((6*7))\n");
  EXPECT_NE(read_until(*channel, "dropbear-42").find("dropbear-42"), std::string::npos);
  channel->send("exit\n");
  EXPECT_TRUE(read_to_end(*channel));
}

}  // namespace
}  // namespace veltaro::ssh2::testing
