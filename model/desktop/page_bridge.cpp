#include "model/desktop/page_bridge.h"

#include "common/uuid.h"
#include "model/desktop/main_thread.h"
#include "model/gui/veltaro_app.h"

namespace veltaro::desktop {

namespace {

using common::Json;

// The page sees a plain object of functions; every name becomes a message with its arguments.
// Each message carries a secret known only to this script: window.webkit.messageHandlers is
// reachable from every frame, this script runs only in our page's top frame.
constexpr const char* kBridgeBody = R"JS(
  const handler = window.webkit.messageHandlers.veltaro;
  const post = (method, params) => handler.postMessage({ method, params, secret });
  const api = new Proxy({}, {
    // "then" stays undefined so that the api object is never mistaken for a promise.
    get: (_, name) =>
      typeof name === 'string' && name !== 'then' ? (...args) => post(name, args) : undefined,
  });
  Object.defineProperty(window, 'veltaro', { value: Object.freeze({ api }), writable: false });
})();
)JS";

std::string bridge_script(const std::string& secret) {
  return "(() => {\n  const secret = '" + secret + "';" + kBridgeBody;
}

struct Bridge {
  std::shared_ptr<gui::VeltaroApp> app;
  WebKitWebView* view;
  std::string page_uri;
  std::string secret;
};

bool from_our_page(const Bridge& bridge, const Json& message) {
  const Json* secret = common::member(message, "secret");
  const char* shown = webkit_web_view_get_uri(bridge.view);
  return secret && secret->is_string() && secret->get<std::string>() == bridge.secret && shown &&
         bridge.page_uri == shown;
}

// An answer made ready on the worker thread, so that the main thread only hands it over.
struct Answer {
  enum class Kind { json, text, unknown };
  Kind kind;
  std::string body;  // JSON text, or for kind text the UTF-8 text itself
};

// Text (terminal output above all, megabytes per drain) crosses as a string made straight from
// its UTF-8 bytes: writing it out as JSON and parsing that again took most of the main thread's
// time per drain. Text that is not valid UTF-8, or holds a NUL, takes the JSON road with escapes.
Answer prepare(std::optional<Json> result) {
  if (!result) return {Answer::Kind::unknown, {}};
  if (result->is_string()) {
    auto& text = result->get_ref<std::string&>();
    if (g_utf8_validate_len(text.data(), text.size(), nullptr)) {
      return {Answer::Kind::text, std::move(text)};
    }
  }
  return {Answer::Kind::json, common::dump_utf8(*result)};
}

JSCValue* value_of(JSCContext* context, const Answer& answer) {
  if (answer.kind == Answer::Kind::json)
    return jsc_value_new_from_json(context, answer.body.c_str());
  GBytes* bytes = g_bytes_new_static(answer.body.data(), answer.body.size());
  JSCValue* value = jsc_value_new_string_from_bytes(context, bytes);
  g_bytes_unref(bytes);
  return value;
}

void answer(WebKitScriptMessageReply* reply, JSCContext* context, std::optional<Json> result,
            std::string method) {
  run_on_main([reply, context, prepared = prepare(std::move(result)), method] {
    if (prepared.kind != Answer::Kind::unknown) {
      JSCValue* value = value_of(context, prepared);
      webkit_script_message_reply_return_value(reply, value);
      g_object_unref(value);
    } else {
      webkit_script_message_reply_return_error_message(reply,
                                                       ("unknown method: " + method).c_str());
    }
    webkit_script_message_reply_unref(reply);
    g_object_unref(context);
  });
}

gboolean on_message(WebKitUserContentManager*, JSCValue* value, WebKitScriptMessageReply* reply,
                    gpointer data) {
  const auto* bridge = static_cast<Bridge*>(data);
  char* json_text = jsc_value_to_json(value, 0);
  Json message;
  try {
    message = Json::parse(json_text ? json_text : "null");
  } catch (const std::exception&) {
    message = Json();
  }
  g_free(json_text);
  if (!from_our_page(*bridge, message)) {
    webkit_script_message_reply_return_error_message(reply, "refused");
    return TRUE;
  }
  const Json* method = common::member(message, "method");
  const Json* params = common::member(message, "params");
  if (!method || !method->is_string()) {
    webkit_script_message_reply_return_error_message(reply, "malformed call");
    return TRUE;
  }
  webkit_script_message_reply_ref(reply);
  JSCContext* context = JSC_CONTEXT(g_object_ref(jsc_value_get_context(value)));
  gui::spawn_detached([app = bridge->app, reply, context, name = method->get<std::string>(),
                       args = params ? *params : Json::array()] {
    answer(reply, context, app->call_operation(name, args), name);
  });
  return TRUE;
}

}  // namespace

void install_page_bridge(WebKitWebView* view, std::shared_ptr<gui::VeltaroApp> app,
                         const std::string& page_uri) {
  // Lives as long as the window: the whole run.
  auto* bridge = new Bridge{std::move(app), view, page_uri, common::new_uuid_hex()};
  WebKitUserContentManager* manager = webkit_web_view_get_user_content_manager(view);
  g_signal_connect(manager, "script-message-with-reply-received::veltaro", G_CALLBACK(on_message),
                   bridge);
  webkit_user_content_manager_register_script_message_handler_with_reply(manager, "veltaro",
                                                                         nullptr);
  const std::string source = bridge_script(bridge->secret);
  const gchar* const allow[] = {page_uri.c_str(), nullptr};
  WebKitUserScript* script =
      webkit_user_script_new(source.c_str(), WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
                             WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, allow, nullptr);
  webkit_user_content_manager_add_script(manager, script);
  webkit_user_script_unref(script);
}

}  // namespace veltaro::desktop
