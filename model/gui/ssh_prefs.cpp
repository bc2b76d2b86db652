// Which algorithms an SSH-2 tab offers: the legacy table for old servers, overridden list by
// list by what the session names.
#include "model/gui/veltaro_app.h"
#include "model/transports/ssh2/legacy_prefs.h"

#include <type_traits>

namespace veltaro::gui {

static_assert(std::is_same_v<AlgorithmPrefs, ssh2::paramiko_legacy::AlgorithmPrefs>);

namespace {

struct ListField {
  const char* session_key;
  const char* prefs_key;
};

constexpr ListField kListFields[] = {
    {"ssh_kex", "kex"}, {"ssh_ciphers", "ciphers"}, {"ssh_macs", "macs"}, {"ssh_keys", "keys"}};

}  // namespace

AlgorithmPrefs VeltaroApp::_build_ssh_prefs(const Json& sess) {
  AlgorithmPrefs prefs;
  const Json* legacy = common::member(sess, "ssh_legacy_compat");
  if (legacy && common::truthy(*legacy)) prefs = ssh2::paramiko_legacy::LEGACY_SSH_PREFS;
  for (const auto& field : kListFields) {
    const Json* list = common::member(sess, field.session_key);
    if (!list || !list->is_array() || list->empty()) continue;
    std::vector<std::string> names;
    names.reserve(list->size());
    for (const auto& name : *list) names.push_back(common::to_text(name));
    prefs[field.prefs_key] = std::move(names);
  }
  return prefs;
}

}  // namespace veltaro::gui
