#include "model/desktop/page_confinement.h"

namespace veltaro::desktop {

namespace {

struct Confinement {
  std::string base_uri;
  bool initial_load_pending = true;
};

// Only the load made by load_only_page passes, and only once: a script that sets location to the
// same address afterwards must not get the folder listing.
bool is_initial_load(Confinement& confinement, WebKitNavigationPolicyDecision* decision) {
  WebKitNavigationAction* action =
      webkit_navigation_policy_decision_get_navigation_action(decision);
  const char* uri = webkit_uri_request_get_uri(webkit_navigation_action_get_request(action));
  const bool ours =
      confinement.initial_load_pending &&
      webkit_navigation_action_get_navigation_type(action) == WEBKIT_NAVIGATION_TYPE_OTHER && uri &&
      confinement.base_uri == uri;
  if (ours) confinement.initial_load_pending = false;
  return ours;
}

gboolean on_decide_policy(WebKitWebView*, WebKitPolicyDecision* decision,
                          WebKitPolicyDecisionType type, gpointer data) {
  // Responses follow only navigations let through here, i.e. our own page.
  if (type == WEBKIT_POLICY_DECISION_TYPE_RESPONSE) return FALSE;
  auto* confinement = static_cast<Confinement*>(data);
  if (type == WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION &&
      is_initial_load(*confinement, WEBKIT_NAVIGATION_POLICY_DECISION(decision))) {
    webkit_policy_decision_use(decision);
  } else {
    webkit_policy_decision_ignore(decision);
  }
  return TRUE;
}

}  // namespace

std::string page_base_uri(const std::filesystem::path& dir) {
  const std::filesystem::path absolute = std::filesystem::absolute(dir);
  gchar* uri = g_filename_to_uri(absolute.c_str(), nullptr, nullptr);
  std::string base = uri ? uri : "file://" + absolute.string();
  g_free(uri);
  if (base.back() != '/') base += '/';
  return base;
}

void load_only_page(WebKitWebView* view, const std::string& html, const std::string& base_uri) {
  auto* confinement = new Confinement{base_uri};
  g_signal_connect_data(
      view, "decide-policy", G_CALLBACK(on_decide_policy), confinement,
      +[](gpointer data, GClosure*) { delete static_cast<Confinement*>(data); }, G_CONNECT_DEFAULT);
  webkit_web_view_load_html(view, html.c_str(), base_uri.c_str());
}

}  // namespace veltaro::desktop
