// The page's operations by name, with positional arguments. A missing trailing argument is null;
// an argument of the wrong type gives the operation's neutral result. Nothing throws out of here.
#include "common/diag.h"
#include "common/values.h"
#include "model/gui/veltaro_app.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <map>

namespace veltaro::gui {

namespace {

using Operation = Json (*)(VeltaroApp&, const Json& params);

const Json& arg(const Json& params, std::size_t i) {
  static const Json kMissing;
  return params.is_array() && i < params.size() ? params[i] : kMissing;
}

const std::string* text_arg(const Json& params, std::size_t i) {
  const Json& a = arg(params, i);
  return a.is_string() ? &a.get_ref<const std::string&>() : nullptr;
}

// A wait in milliseconds: missing or null is no wait, a number is clamped to [0, longest];
// anything else is no valid argument.
std::optional<std::chrono::milliseconds> wait_arg(const Json& params, std::size_t i,
                                                  std::chrono::milliseconds longest) {
  const Json& a = arg(params, i);
  if (a.is_null()) return std::chrono::milliseconds::zero();
  if (!a.is_number()) return std::nullopt;
  const double ms = std::clamp(a.get<double>(), 0.0, static_cast<double>(longest.count()));
  return std::chrono::milliseconds(static_cast<long long>(ms));
}

// A change count as the back end handed it out: a whole number from 0 up to 2^53, which a page's
// number holds exactly; missing or null is 0.
std::optional<std::uint64_t> count_arg(const Json& params, std::size_t i) {
  constexpr double kMaxExact = 9007199254740992.0;
  const Json& a = arg(params, i);
  if (a.is_null()) return 0;
  if (!a.is_number()) return std::nullopt;
  const double n = a.get<double>();
  if (!(n >= 0 && n <= kMaxExact) || n != std::floor(n)) return std::nullopt;
  return static_cast<std::uint64_t>(n);
}

// An operation on one tab whose id must be text; anything else gets `neutral`.
template <typename F>
Json on_tab(const Json& params, const Json& neutral, F&& body) {
  const std::string* tab_id = text_arg(params, 0);
  return tab_id ? body(*tab_id) : neutral;
}

// claude_send(user_text, terminal_text="", target_tab_id=None, timeout=180, is_followup=False,
// tab_texts=None); is_followup is accepted and has no effect on the turn.
Json claude_send_operation(VeltaroApp& app, const Json& p) {
  const std::string* user_text = text_arg(p, 0);
  const std::string* terminal_text = text_arg(p, 1);
  const std::string* target = text_arg(p, 2);
  const Json& timeout = arg(p, 3);
  return app.claude_send(user_text ? *user_text : "", terminal_text ? *terminal_text : "",
                         target ? std::optional<std::string>(*target) : std::nullopt,
                         timeout.is_null() ? Json(180) : timeout, arg(p, 5));
}

const std::map<std::string, Operation>& operations() {
  static const std::map<std::string, Operation> table = {
      {"get_initial_state", [](VeltaroApp& app, const Json&) { return app.get_initial_state(); }},
      {"get_runtime_state", [](VeltaroApp& app, const Json&) { return app.get_runtime_state(); }},
      {"save_session", [](VeltaroApp& app, const Json& p) { return app.save_session(arg(p, 0)); }},
      {"delete_session",
       [](VeltaroApp& app, const Json& p) { return app.delete_session(arg(p, 0)); }},
      {"connect_session",
       [](VeltaroApp& app, const Json& p) { return app.connect_session(arg(p, 0)); }},
      {"close_tab",
       [](VeltaroApp& app, const Json& p) {
         return on_tab(p, app.get_runtime_state(),
                       [&](const std::string& id) { return app.close_tab(id); });
       }},
      {"send_input",
       [](VeltaroApp& app, const Json& p) {
         const std::string* data = text_arg(p, 1);
         return on_tab(p, Json(false), [&](const std::string& id) {
           return Json(data != nullptr && app.send_input(id, *data));
         });
       }},
      // accept_host_key(tab_id, fingerprint, reconnect=true)
      {"accept_host_key",
       [](VeltaroApp& app, const Json& p) {
         const std::string* fingerprint = text_arg(p, 1);
         const Json& reconnect = arg(p, 2);
         const Json neutral = Json{{"ok", false}};
         if (!fingerprint || !(reconnect.is_null() || reconnect.is_boolean())) return neutral;
         return on_tab(p, neutral, [&](const std::string& id) {
           return app.accept_host_key(id, *fingerprint,
                                      reconnect.is_null() || reconnect.get<bool>());
         });
       }},
      {"resize_pty",
       [](VeltaroApp& app, const Json& p) {
         return on_tab(p, Json(), [&](const std::string& id) {
           app.resize_pty(id, arg(p, 1), arg(p, 2));
           return Json();
         });
       }},
      {"set_tab_encoding",
       [](VeltaroApp& app, const Json& p) {
         const std::string* enc = text_arg(p, 1);
         return on_tab(p, Json(false), [&](const std::string& id) {
           return Json(enc != nullptr && app.set_tab_encoding(id, *enc));
         });
       }},
      {"get_tab_reading",
       [](VeltaroApp& app, const Json& p) {
         return on_tab(p, Json{{"reading", false}},
                       [&](const std::string& id) { return app.get_tab_reading(id); });
       }},
      {"toggle_tab_reading",
       [](VeltaroApp& app, const Json& p) {
         return on_tab(p, Json{{"reading", false}},
                       [&](const std::string& id) { return app.toggle_tab_reading(id); });
       }},
      {"drain_terminal",
       [](VeltaroApp& app, const Json& p) {
         const auto wait = wait_arg(p, 1, VeltaroApp::kMaxDrainWait);
         return on_tab(p, Json(""), [&](const std::string& id) {
           return wait ? Json(app.drain_terminal(id, *wait)) : Json("");
         });
       }},
      {"wait_for_output",
       [](VeltaroApp& app, const Json& p) {
         const auto since = count_arg(p, 0);
         const auto wait = wait_arg(p, 1, VeltaroApp::kMaxWatchWait);
         return since && wait ? app.wait_for_output(*since, *wait) : Json(nullptr);
       }},
      {"hard_reset_esp",
       [](VeltaroApp& app, const Json& p) {
         return on_tab(p, Json(false),
                       [&](const std::string& id) { return Json(app.hard_reset_esp(id)); });
       }},
      {"enter_bootloader_esp",
       [](VeltaroApp& app, const Json& p) {
         return on_tab(p, Json(false),
                       [&](const std::string& id) { return Json(app.enter_bootloader_esp(id)); });
       }},
      {"show_tab_log",
       [](VeltaroApp& app, const Json& p) {
         return on_tab(p, Json(false),
                       [&](const std::string& id) { return Json(app.show_tab_log(id)); });
       }},
      {"get_images", [](VeltaroApp& app, const Json&) { return app.get_images(); }},
      {"open_url", [](VeltaroApp& app, const Json& p) { return Json(app.open_url(arg(p, 0))); }},
      {"read_clipboard", [](VeltaroApp& app, const Json&) { return Json(app.read_clipboard()); }},
      {"pick_private_key",
       [](VeltaroApp& app, const Json&) { return Json(app.pick_private_key()); }},
      {"import_list_from_putty",
       [](VeltaroApp& app, const Json&) { return app.import_list_from_putty(); }},
      {"import_putty_sessions",
       [](VeltaroApp& app, const Json& p) { return app.import_putty_sessions(arg(p, 0)); }},
      {"claude_status", [](VeltaroApp& app, const Json&) { return app.claude_status(); }},
      {"claude_send", claude_send_operation},
      {"claude_reset_session",
       [](VeltaroApp& app, const Json&) { return Json(app.claude_reset_session()); }},
      {"claude_inject",
       [](VeltaroApp& app, const Json& p) {
         const std::string* command = text_arg(p, 1);
         const Json& newline = arg(p, 2);
         return on_tab(p, Json(false), [&](const std::string& id) {
           return Json(
               command != nullptr &&
               app.claude_inject(id, *command, newline.is_null() || common::truthy(newline)));
         });
       }},
      {"claude_toggle_session_flag",
       [](VeltaroApp& app, const Json& p) {
         const std::string flag = common::to_text(arg(p, 1));
         return on_tab(p, app.claude_toggle_session_flag("", flag), [&](const std::string& id) {
           return app.claude_toggle_session_flag(id, flag);
         });
       }},
  };
  return table;
}

}  // namespace

std::optional<Json> VeltaroApp::call_operation(const std::string& name, const Json& params) {
  const auto& table = operations();
  const auto it = table.find(name);
  if (it == table.end()) return std::nullopt;
  try {
    return it->second(*this, params);
  } catch (const std::exception& e) {
    common::diag("[" + name + "]", e.what());
  } catch (...) {
    common::diag("[" + name + "]", "unknown error");
  }
  return Json();
}

}  // namespace veltaro::gui
