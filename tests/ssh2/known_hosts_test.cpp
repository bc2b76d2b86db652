// The known_hosts reader and appender, against lines written by hand and by OpenSSH's tools.
#include "model/transports/ssh2/known_hosts.h"
#include "process.h"
#include "ssh_peers.h"

#include <gtest/gtest.h>

#include <thread>

namespace veltaro::ssh2::testing {
namespace {

HostKey key_of(const KeyPair& pair) {
  const auto space = pair.public_line.find(' ');
  const auto end = pair.public_line.find(' ', space + 1);
  return *host_key_from_base64(pair.public_line.substr(0, space),
                               pair.public_line.substr(space + 1, end - space - 1));
}

class KnownHosts : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir;
    ed_ = new HostKey(key_of(make_key(*dir_ / "ed", "ed25519")));
    ed2_ = new HostKey(key_of(make_key(*dir_ / "ed2", "ed25519")));
    ec_ = new HostKey(key_of(make_key(*dir_ / "ec", "ecdsa")));
  }
  static void TearDownTestSuite() {
    delete ed_;
    delete ed2_;
    delete ec_;
    delete dir_;
  }
  static TempDir* dir_;
  static HostKey* ed_;
  static HostKey* ed2_;
  static HostKey* ec_;
};

TempDir* KnownHosts::dir_ = nullptr;
HostKey* KnownHosts::ed_ = nullptr;
HostKey* KnownHosts::ed2_ = nullptr;
HostKey* KnownHosts::ec_ = nullptr;

TEST_F(KnownHosts, a_pinned_host_is_held_to_its_keys_of_every_type) {
  HostKeys keys;
  keys.parse(HostKeys::format_line("[h]:2222", *ed_));
  EXPECT_EQ(keys.check("[h]:2222", *ed_), HostKeyStatus::kKnown);
  EXPECT_EQ(keys.check("[h]:2222", *ed2_), HostKeyStatus::kChanged);
  EXPECT_EQ(keys.check("[h]:2222", *ec_), HostKeyStatus::kChanged);
  EXPECT_EQ(keys.check("h", *ed2_), HostKeyStatus::kUnknown);  // port 22 is another entry
}

TEST_F(KnownHosts, patterns_wildcards_and_negation) {
  HostKeys keys;
  std::string line = HostKeys::format_line("!bad.example.com,*.EXAMPLE.com,10.0.0.?", *ed_);
  keys.parse(line);
  EXPECT_EQ(keys.check("www.example.com", *ed2_), HostKeyStatus::kChanged);
  EXPECT_EQ(keys.check("10.0.0.7", *ed_), HostKeyStatus::kKnown);
  EXPECT_EQ(keys.check("10.0.0.77", *ed2_), HostKeyStatus::kUnknown);
  EXPECT_EQ(keys.check("bad.example.com", *ed2_), HostKeyStatus::kUnknown);
}

TEST_F(KnownHosts, unusable_lines_do_not_hide_the_usable_ones) {
  HostKeys keys;
  keys.parse("# comment\n\n[h]:1 ssh-dss AAAA!!notbase64\n[h]:1 ssh-ed25519\n@cert-authority " +
             HostKeys::format_line("[h]:1", *ed2_) + HostKeys::format_line("[h]:1", *ed_));
  EXPECT_EQ(keys.check("[h]:1", *ed_), HostKeyStatus::kKnown);
  EXPECT_EQ(keys.check("[h]:1", *ed2_), HostKeyStatus::kChanged);
}

TEST_F(KnownHosts, revoked_key_is_refused_even_when_also_pinned) {
  HostKeys keys;
  keys.parse(HostKeys::format_line("h", *ed_) + "@revoked * " +
             HostKeys::format_line("", *ed_).substr(1));
  EXPECT_EQ(keys.check("h", *ed_), HostKeyStatus::kRevoked);
}

TEST_F(KnownHosts, lines_hashed_by_ssh_keygen_match_their_host_only) {
  const auto file = *dir_ / "hashed";
  write_text(file, HostKeys::format_line("[127.0.0.1]:2222", *ed_));
  run_tool({"/usr/bin/ssh-keygen", "-q", "-H", "-f", file.string()});
  const std::string text = read_text(file);
  ASSERT_EQ(text.rfind("|1|", 0), 0u) << text;
  HostKeys keys;
  keys.load(file);
  EXPECT_EQ(keys.check("[127.0.0.1]:2222", *ed_), HostKeyStatus::kKnown);
  EXPECT_EQ(keys.check("[127.0.0.1]:2222", *ed2_), HostKeyStatus::kChanged);
  EXPECT_EQ(keys.check("[127.0.0.1]:2223", *ed2_), HostKeyStatus::kUnknown);
}

TEST_F(KnownHosts, append_adds_only_hosts_without_pins_and_keeps_what_is_pinned) {
  const TempDir dir;
  const auto file = dir / "known_hosts";
  const std::string pinned = "# mine\n" + HostKeys::format_line("a", *ed_);
  write_text(file, pinned.substr(0, pinned.size() - 1));  // no final newline
  append_known_hosts(file, {{"a", *ed_}, {"a", *ed2_}, {"b", *ed_}, {"a", *ec_}, {"b", *ec_}});
  EXPECT_EQ(read_text(file), pinned + HostKeys::format_line("b", *ed_));
}

TEST_F(KnownHosts, appends_from_many_threads_lose_nothing) {
  const TempDir dir;
  const auto file = dir / "known_hosts";
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&, i] {
      const std::string host = "host" + std::to_string(i);
      append_known_hosts(file, {{host, *ed_}, {"shared", *ec_}});
    });
  }
  for (auto& t : threads) t.join();
  HostKeys keys;
  keys.load(file);
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(keys.check("host" + std::to_string(i), *ed_), HostKeyStatus::kKnown);
  }
  const std::string text = read_text(file);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 9) << text;
  EXPECT_EQ(std::filesystem::status(file).permissions(), std::filesystem::perms(0600));
}

TEST_F(KnownHosts, unreadable_file_is_reported_and_left_alone) {
  const TempDir dir;
  const auto not_a_file = dir / "known_hosts";
  std::filesystem::create_directory(not_a_file);
  HostKeys keys;
  EXPECT_THROW(keys.load(not_a_file), std::runtime_error);
  EXPECT_THROW(append_known_hosts(not_a_file, {{"a", *ed_}}), std::runtime_error);
  EXPECT_TRUE(std::filesystem::is_empty(not_a_file));
}

TEST_F(KnownHosts, fingerprint_is_the_one_ssh_keygen_prints) {
  const auto key = make_key(*dir_ / "printed", "ed25519");
  const std::string printed = run_tool(
      {"/usr/bin/ssh-keygen", "-l", "-E", "sha256", "-f", key.private_key.string() + ".pub"});
  // "256 SHA256:... comment (ED25519)"
  const auto start = printed.find("SHA256:");
  ASSERT_NE(start, std::string::npos) << printed;
  EXPECT_EQ(sha256_fingerprint(key_of(key)),
            printed.substr(start, printed.find(' ', start) - start));
}

TEST_F(KnownHosts, replacing_a_hosts_keys_leaves_every_other_host_and_decision_as_written) {
  const TempDir dir;
  const auto file = dir / "known_hosts";
  const std::string other_port = HostKeys::format_line("[h]:2223", *ed_);
  const std::string plain_h = HostKeys::format_line("h", *ed_);
  const std::string wildcard = HostKeys::format_line("*.example.com,[h]:2*", *ec_);
  const std::string revoked = "@revoked " + HostKeys::format_line("[h]:2222", *ec_);
  const std::string hashed_other_line = HostKeys::format_line("[g]:2222", *ec_);
  write_text(dir / "hashed", HostKeys::format_line("[h]:2222", *ed_) + hashed_other_line);
  run_tool({"/usr/bin/ssh-keygen", "-q", "-H", "-f", (dir / "hashed").string()});
  const std::string hashed = read_text(dir / "hashed");
  const std::string hashed_other = hashed.substr(hashed.find('\n') + 1);
  write_text(file, "# keep me\n" + other_port + HostKeys::format_line("[h]:2222", *ed_) +
                       "a,[H]:2222,b " + HostKeys::format_line("", *ed_).substr(1) + plain_h +
                       wildcard + revoked + hashed);
  std::filesystem::permissions(file, std::filesystem::perms(0644));

  replace_host_keys(file, "[h]:2222", *ed2_);

  EXPECT_EQ(read_text(file), "# keep me\n" + other_port + "a,b " +
                                 HostKeys::format_line("", *ed_).substr(1) + plain_h + wildcard +
                                 revoked + hashed_other + HostKeys::format_line("[h]:2222", *ed2_));
  EXPECT_EQ(std::filesystem::status(file).permissions(), std::filesystem::perms(0600));
  HostKeys keys;
  keys.load(file);
  EXPECT_EQ(keys.check("[h]:2222", *ed2_), HostKeyStatus::kKnown);
  EXPECT_EQ(keys.check("[h]:2222", *ed_), HostKeyStatus::kChanged);
  EXPECT_EQ(keys.check("[g]:2222", *ec_), HostKeyStatus::kKnown);

  const auto missing = dir / "new_known_hosts";
  replace_host_keys(missing, "h", *ed_);
  EXPECT_EQ(read_text(missing), plain_h);
}

TEST_F(KnownHosts, a_file_that_cannot_be_replaced_is_left_as_it_was) {
  const TempDir dir;
  const auto not_a_file = dir / "known_hosts";
  std::filesystem::create_directory(not_a_file);
  EXPECT_THROW(replace_host_keys(not_a_file, "h", *ed_), std::runtime_error);
  EXPECT_TRUE(std::filesystem::is_directory(not_a_file));
}

}  // namespace
}  // namespace veltaro::ssh2::testing
