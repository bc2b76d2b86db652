// Which algorithm lists an SSH-2 tab offers, from the session's fields.
#include "model/gui/veltaro_app.h"
#include "model/transports/ssh2/legacy_prefs.h"

#include <gtest/gtest.h>

namespace veltaro::gui {
namespace {

using ssh2::paramiko_legacy::LEGACY_SSH_PREFS;

TEST(BuildSshPrefs, session_lists_replace_only_their_own_entry_of_the_legacy_table) {
  const Json sess = {{"ssh_legacy_compat", 1},
                     {"ssh_kex", Json::array()},
                     {"ssh_ciphers", {"aes256-ctr", "aes128-ctr"}},
                     {"ssh_macs", nullptr}};
  AlgorithmPrefs expected = LEGACY_SSH_PREFS;
  expected["ciphers"] = {"aes256-ctr", "aes128-ctr"};
  EXPECT_EQ(VeltaroApp::_build_ssh_prefs(sess), expected);
}

TEST(BuildSshPrefs, without_legacy_compatibility_only_named_lists_are_set) {
  EXPECT_TRUE(VeltaroApp::_build_ssh_prefs(Json::object()).empty());
  EXPECT_TRUE(VeltaroApp::_build_ssh_prefs({{"ssh_legacy_compat", ""}, {"ssh_kex", Json::array()}})
                  .empty());
  const AlgorithmPrefs keys_only = {{"keys", {"ssh-ed25519"}}};
  EXPECT_EQ(VeltaroApp::_build_ssh_prefs({{"ssh_keys", {"ssh-ed25519"}}}), keys_only);
}

}  // namespace
}  // namespace veltaro::gui
