// Connecting and logging in to a real OpenSSH server: every way of authenticating, host-key
// pinning, algorithm preferences, compression and connections that fail before the login.
#include "model/transports/ssh2/legacy_prefs.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <thread>

namespace veltaro::ssh2::testing {
namespace {

using paramiko_legacy::AlgorithmPrefs;
using paramiko_legacy::ScopedOverride;

class OpenSshLogin : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    keys_ = new TempDir;
    plain_ = new KeyPair(make_key(*keys_ / "plain", "ed25519"));
    encrypted_ = new KeyPair(make_key(*keys_ / "encrypted", "ecdsa", "key-passphrase"));
    agent_key_ = new KeyPair(make_key(*keys_ / "agent", "ed25519"));
    default_key_ = new KeyPair(make_key(*keys_ / "default", "ed25519"));
    sshd_ = new Sshd(SshdKind::kModern, {plain_->public_line, encrypted_->public_line,
                                         agent_key_->public_line, default_key_->public_line});
  }
  static void TearDownTestSuite() {
    delete sshd_;
    delete plain_;
    delete encrypted_;
    delete agent_key_;
    delete default_key_;
    delete keys_;
  }

  // Opens a shell-less session channel and runs nothing: proof that the login went through.
  static void expect_usable(Client& client) {
    ASSERT_NE(client.get_transport(), nullptr);
    EXPECT_TRUE(client.get_transport()->is_active());
    EXPECT_NO_THROW(client.get_transport()->open_session()->close());
  }

  IsolatedHome home_;
  static TempDir* keys_;
  static KeyPair* plain_;
  static KeyPair* encrypted_;
  static KeyPair* agent_key_;
  static KeyPair* default_key_;
  static Sshd* sshd_;
};

TempDir* OpenSshLogin::keys_ = nullptr;
KeyPair* OpenSshLogin::plain_ = nullptr;
KeyPair* OpenSshLogin::encrypted_ = nullptr;
KeyPair* OpenSshLogin::agent_key_ = nullptr;
KeyPair* OpenSshLogin::default_key_ = nullptr;
Sshd* OpenSshLogin::sshd_ = nullptr;

TEST_F(OpenSshLogin, password) {
  auto o = options_for(sshd_->port());
  o.password = kTestPassword;
  expect_usable(*connect_client(o));
}

TEST_F(OpenSshLogin, key_file_needs_no_password) {
  auto o = options_for(sshd_->port());
  o.key_filename = plain_->private_key;
  expect_usable(*connect_client(o));
}

// The account's password is not this passphrase, so only the key can have let us in.
TEST_F(OpenSshLogin, encrypted_key_file_is_opened_with_the_password) {
  auto o = options_for(sshd_->port());
  o.key_filename = encrypted_->private_key;
  o.password = "key-passphrase";
  expect_usable(*connect_client(o));
}

TEST_F(OpenSshLogin, encrypted_key_without_its_passphrase_falls_through_to_refusal) {
  auto o = options_for(sshd_->port());
  o.key_filename = encrypted_->private_key;
  o.password = "not-the-passphrase";
  EXPECT_THROW(connect_client(o), AuthenticationError);
}

TEST_F(OpenSshLogin, agent_keys_are_used_when_allowed_and_only_then) {
  const Agent agent;
  agent.add(agent_key_->private_key);
  ::setenv("SSH_AUTH_SOCK", agent.socket().c_str(), 1);
  auto o = options_for(sshd_->port());
  o.allow_agent = true;
  expect_usable(*connect_client(o));

  o.allow_agent = false;
  EXPECT_THROW(connect_client(o), std::runtime_error);
}

TEST_F(OpenSshLogin, default_keys_come_from_home_not_from_the_password_database) {
  std::filesystem::copy_file(default_key_->private_key, home_.ssh_dir() / "id_ed25519");
  auto o = options_for(sshd_->port());
  o.look_for_keys = true;
  expect_usable(*connect_client(o));
}

TEST_F(OpenSshLogin, wrong_password_is_an_authentication_error_naming_what_was_tried) {
  auto o = options_for(sshd_->port());
  o.password = "wrong";
  try {
    connect_client(o);
    FAIL() << "connected with a wrong password";
  } catch (const AuthenticationError& e) {
    EXPECT_NE(std::string(e.what()).find("password"), std::string::npos) << e.what();
  }
}

TEST_F(OpenSshLogin, nothing_to_try_is_no_authentication_error) {
  try {
    connect_client(options_for(sshd_->port()));
    FAIL() << "connected without credentials";
  } catch (const AuthenticationError& e) {
    FAIL() << "reported as a refused login: " << e.what();
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("No authentication methods"), std::string::npos)
        << e.what();
  }
}

TEST_F(OpenSshLogin, new_host_key_is_appended_in_a_form_openssh_reads_then_accepted) {
  const TempDir dir;
  const auto known = dir / "known_hosts";
  auto o = options_for(sshd_->port());
  o.password = kTestPassword;
  EXPECT_THROW(Client().connect(o), HostKeyError);  // unknown keys are refused by default
  {
    auto first = connect_client(o);
    first->save_host_keys(known);
    first->save_host_keys(known);  // a second save adds nothing
  }
  const std::string text = read_text(known);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
  const std::string id = "[127.0.0.1]:" + std::to_string(sshd_->port());
  EXPECT_NE(run_tool({"/usr/bin/ssh-keygen", "-F", id, "-f", known.string()}).find(id),
            std::string::npos);

  Client second;
  second.load_host_keys(known);
  second.connect(o);
  EXPECT_NE(second.get_transport(), nullptr);
}

TEST_F(OpenSshLogin, changed_host_key_is_refused_and_not_pinned_again) {
  const TempDir dir;
  const auto known = dir / "known_hosts";
  const auto impostor = make_key(dir / "other", "ed25519");
  const std::string id = "[127.0.0.1]:" + std::to_string(sshd_->port());
  write_text(known, id + " " + impostor.public_line + "\n");
  const std::string before = read_text(known);

  Client client;
  client.load_host_keys(known);
  client.set_missing_host_key_policy(MissingHostKeyPolicy::kAutoAdd);
  auto o = options_for(sshd_->port());
  o.password = kTestPassword;
  try {
    client.connect(o);
    FAIL() << "connected to a host whose key changed";
  } catch (const HostKeyError& e) {
    EXPECT_NE(std::string(e.what()).find("host key of " + id + " has changed"), std::string::npos)
        << e.what();
  }
  client.save_host_keys(known);
  EXPECT_EQ(read_text(known), before);
}

TEST_F(OpenSshLogin, unsupported_algorithm_names_are_dropped_from_a_list) {
  const ScopedOverride prefs(
      AlgorithmPrefs{{"ciphers", {"made-up-cipher@example.com", "aes128-ctr"}}});
  auto o = options_for(sshd_->port());
  o.password = kTestPassword;
  const auto from = sshd_->log_size();
  expect_usable(*connect_client(o));
  EXPECT_TRUE(sshd_->wait_for_log("cipher: aes128-ctr", from)) << sshd_->log_text();
}

TEST_F(OpenSshLogin, a_list_of_only_unsupported_algorithms_fails_naming_them) {
  const ScopedOverride prefs(
      AlgorithmPrefs{{"macs", {"made-up-mac@example.com", "hmac-md5-made-up"}}});
  auto o = options_for(sshd_->port());
  o.password = kTestPassword;
  try {
    connect_client(o);
    FAIL() << "connected without a MAC";
  } catch (const std::runtime_error& e) {
    const std::string what = e.what();
    EXPECT_NE(what.find("made-up-mac@example.com"), std::string::npos) << what;
    EXPECT_NE(what.find("hmac-md5-made-up"), std::string::npos) << what;
  }
}

TEST_F(OpenSshLogin, preferences_are_seen_only_by_the_thread_that_set_them) {
  const ScopedOverride prefs(AlgorithmPrefs{{"kex", {"made-up-kex@example.com"}}});
  auto o = options_for(sshd_->port());
  o.password = kTestPassword;
  std::exception_ptr failure;
  std::thread other([&] {
    try {
      connect_client(o);
    } catch (...) {
      failure = std::current_exception();
    }
  });
  other.join();
  EXPECT_EQ(failure, nullptr);
  EXPECT_THROW(connect_client(o), std::runtime_error);
}

TEST_F(OpenSshLogin, compression_is_negotiated_when_asked_for) {
  auto o = options_for(sshd_->port());
  o.password = kTestPassword;
  o.compress = true;
  const auto from = sshd_->log_size();
  expect_usable(*connect_client(o));
  EXPECT_TRUE(sshd_->wait_for_log("compression: zlib@openssh.com", from)) << sshd_->log_text();
}

// Servers taking turns on one port, each with host keys of the types given.
class HostKeyPinning : public ::testing::Test {
 protected:
  ConnectOptions options(int port) const {
    auto o = options_for(port);
    o.password = kTestPassword;
    return o;
  }
  // Connects with a client that auto-adds, loaded from and saved to `known`.
  void connect_pinning(const ConnectOptions& o) const {
    Client client;
    if (std::filesystem::exists(known_)) client.load_host_keys(known_);
    client.set_missing_host_key_policy(MissingHostKeyPolicy::kAutoAdd);
    client.connect(o);
    client.save_host_keys(known_);
  }

  IsolatedHome home_;
  TempDir dir_;
  const std::filesystem::path known_ = dir_ / "known_hosts";
};

TEST_F(HostKeyPinning, a_key_of_a_type_not_pinned_for_the_host_is_refused_as_changed) {
  for (const auto& [pinned_type, other_type] :
       {std::pair{"ed25519", "rsa"}, std::pair{"rsa", "ed25519"}}) {
    std::filesystem::remove(known_);
    int port = 0;
    {
      const Sshd first(SshdKind::kModern, {}, {{pinned_type}});
      port = first.port();
      connect_pinning(options(port));
    }
    const std::string pinned = read_text(known_);
    ASSERT_EQ(std::count(pinned.begin(), pinned.end(), '\n'), 1) << pinned;

    const Sshd impostor(SshdKind::kModern, {}, {{other_type}, port});
    const std::string id = "[127.0.0.1]:" + std::to_string(port);
    try {
      connect_pinning(options(port));
      ADD_FAILURE() << other_type << " key accepted where " << pinned_type << " is pinned";
    } catch (const HostKeyError& e) {
      EXPECT_NE(std::string(e.what()).find("host key of " + id + " has changed"), std::string::npos)
          << e.what();
    }
    EXPECT_EQ(read_text(known_), pinned) << "nothing is pinned beside the known key";
  }
}

TEST_F(HostKeyPinning, the_pinned_type_is_asked_for_first_when_the_server_has_several) {
  const Sshd both(SshdKind::kModern, {}, {{"ed25519", "rsa"}});
  const std::string id = "[127.0.0.1]:" + std::to_string(both.port());
  const std::string rsa_line = id + " " + read_text(both.host_key_pub(1));
  write_text(known_, rsa_line);
  const auto from = both.log_size();
  connect_pinning(options(both.port()));
  EXPECT_EQ(read_text(known_), rsa_line);
  EXPECT_TRUE(both.wait_for_log("kex: host key algorithm: rsa-sha2", from)) << both.log_text();
}

TEST(SshConnectFailure, server_that_closes_at_once) {
  peers::TcpListener listener;
  std::thread closer([&] {
    try {
      listener.accept().close();
    } catch (...) {
    }
  });
  Client client;
  client.set_missing_host_key_policy(MissingHostKeyPolicy::kAutoAdd);
  auto o = options_for(listener.port());
  o.password = "x";
  try {
    client.connect(o);
    FAIL() << "connected to a server that said nothing";
  } catch (const AuthenticationError& e) {
    FAIL() << e.what();
  } catch (const std::runtime_error& e) {
    EXPECT_STRNE(e.what(), "");
  }
  closer.join();
  EXPECT_EQ(client.get_transport(), nullptr);
}

TEST(SshConnectFailure, unreachable_port) {
  Client client;
  client.set_missing_host_key_policy(MissingHostKeyPolicy::kAutoAdd);
  auto o = options_for(peers::refused_port());
  o.password = "x";
  try {
    client.connect(o);
    FAIL() << "connected to a closed port";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("refused"), std::string::npos) << e.what();
  }
}

}  // namespace
}  // namespace veltaro::ssh2::testing
