// SSH-2 tabs: key preparation, login with known hosts and algorithm preferences, the shell with
// its pseudo-terminal and the session's port forwards, then the reader.
#include "common/atomic_file.h"
#include "model/gui/login_scope.h"
#include "model/gui/ssh2_connection.h"
#include "model/gui/tab_fields.h"
#include "model/gui/veltaro_app.h"
#include "model/transports/ssh2/client.h"
#include "model/transports/ssh2/known_hosts.h"
#include "model/transports/ssh2/legacy_prefs.h"

#include <system_error>

namespace veltaro::gui {

namespace {

constexpr std::chrono::seconds kConnectTimeout{15};
constexpr long long kDefaultPort = 22;
constexpr long long kDefaultKeepAlive = 30;  // seconds
constexpr int kInitialCols = 80;
constexpr int kInitialRows = 24;

// Throws std::runtime_error for a value that is no number: the shell setup then fails with it.
std::chrono::seconds session_keepalive(const Json& sess) {
  const Json* raw = common::member(sess, "keepalive_sec");
  if (!raw || !common::truthy(*raw)) return std::chrono::seconds(kDefaultKeepAlive);
  const auto seconds = common::to_int(*raw);
  if (!seconds) throw std::runtime_error("invalid keepalive_sec " + common::to_text(*raw));
  if (*seconds == 0) return std::chrono::seconds(kDefaultKeepAlive);
  if (*seconds < 0) throw std::runtime_error("invalid keepalive_sec " + std::to_string(*seconds));
  return std::chrono::seconds(*seconds);
}

// The OpenSSH copy of a converted .ppk key is needed only while logging in: it is removed as
// soon as the attempt has ended, either way, so that a decrypted key never sits on disk for the
// tab's whole life (nor for ever after a crash).
class LoginKeyCopy {
 public:
  LoginKeyCopy(Tab& tab, std::optional<std::filesystem::path> copy)
      : tab_(tab), copy_(std::move(copy)) {}
  ~LoginKeyCopy() {
    if (!copy_) return;
    common::remove_quietly(*copy_);
    const std::lock_guard lock(tab_.mutex);
    if (tab_.tmp_keyfile == copy_) tab_.tmp_keyfile.reset();
  }
  LoginKeyCopy(const LoginKeyCopy&) = delete;
  LoginKeyCopy& operator=(const LoginKeyCopy&) = delete;

 private:
  Tab& tab_;
  const std::optional<std::filesystem::path> copy_;
};

}  // namespace

void VeltaroApp::_start_ssh_impl(const std::string& tab_id, const SessionPtr& sess,
                                 const TabPtr& tab) {
  const std::string host = common::text_or(*sess, "host", "");
  const PortField port = session_port(*sess, kDefaultPort);
  const std::string username = common::text_or(*sess, "username", "");
  const std::string password = common::text_or(*sess, "password", "");
  const std::string key_path = common::text_or(*sess, "private_key", "");

  _push_info(tab_id, "正在連線到 " + host + ":" + port.shown + "...");
  const auto fail = [&](const std::string& line) {
    _push_info(tab_id, line, true);
    mark_ended(*tab);
  };
  if (!port.value || *port.value < 1 || *port.value > 65535) {
    fail("連線失敗：invalid port " + port.shown);
    return;
  }

  std::optional<std::filesystem::path> key_file;
  std::optional<std::filesystem::path> key_copy;
  if (!key_path.empty()) {
    KeyPreparation key = _ensure_openssh_key(key_path);
    if (key.error) {
      fail("金鑰錯誤：" + *key.error);
      return;
    }
    key_file = key.path;
    const bool converted = *key_file != std::filesystem::path(key_path);
    bool tab_closed = false;
    {
      const std::lock_guard lock(tab->mutex);
      tab_closed = tab->closed;
      if (!tab_closed) {
        tab->tmp_keyfile = converted ? key_file : std::nullopt;
      }
    }
    if (tab_closed) {
      // The tab's close has already passed its clean-up: the copy is ours to remove.
      if (converted) common::remove_quietly(*key_file);
      return;
    }
    if (converted) key_copy = key_file;
  }

  auto client = std::make_shared<ssh2::Client>();
  std::error_code ec;
  if (std::filesystem::is_regular_file(HOST_KEYS_FILE, ec)) {
    try {
      client->load_host_keys(HOST_KEYS_FILE);
    } catch (const std::exception&) {
      // The client then never writes to that file, so the keys pinned in it survive.
    }
  }
  client->set_missing_host_key_policy(ssh2::MissingHostKeyPolicy::kAutoAdd);

  ssh2::ConnectOptions options;
  options.hostname = host;
  options.port = static_cast<int>(*port.value);
  if (!username.empty()) options.username = username;
  if (!password.empty()) options.password = password;
  options.key_filename = key_file;
  const Json* agent = common::member(*sess, "agent_forwarding");
  options.allow_agent = agent && common::truthy(*agent);
  options.look_for_keys = true;
  const Json* compression = common::member(*sess, "compression");
  options.compress = compression && common::truthy(*compression);
  options.timeout = kConnectTimeout;

  {
    const LoginKeyCopy login_only(*tab, key_copy);
    const LoginScope login(*this, tab);
    if (!login.prompter()) return;  // closed meanwhile
    options.prompter = login.prompter();
    try {
      const ssh2::paramiko_legacy::ScopedOverride prefs(_build_ssh_prefs(*sess));
      client->connect(options);
    } catch (const ssh2::HostKeyError& e) {
      client->close();
      fail(refuse_host_key(*tab, e));
      return;
    } catch (const transport::LoginAbandoned& e) {
      client->close();
      fail(std::string("驗證失敗：") + e.what());
      return;
    } catch (const ssh2::AuthenticationError& e) {
      client->close();
      fail(std::string("驗證失敗：") + e.what());
      return;
    } catch (const std::exception& e) {
      client->close();
      fail(std::string("連線失敗：") + e.what());
      return;
    }
  }

  try {
    client->save_host_keys(HOST_KEYS_FILE);
    for (const auto& added : client->added_host_keys()) {
      _push_info(tab_id, "─── 已記住主機金鑰：" + added.key.type + " " +
                             ssh2::sha256_fingerprint(added.key) + " ───");
    }
  } catch (const std::exception&) {
    // An unwritable known-hosts file only means the key is asked about again next time.
  }

  const auto connection = std::make_shared<Ssh2Connection>(client);
  std::shared_ptr<common::Decoder> decoder;
  try {
    const auto transport = client->get_transport();
    if (!transport) throw std::runtime_error("no transport");
    transport->set_keepalive(session_keepalive(*sess));
    const auto channel = transport->open_session();
    connection->adopt_shell(channel);
    channel->get_pty(common::text_or(*sess, "terminal_type", "xterm-256color"), kInitialCols,
                     kInitialRows);
    if (const Json* rules = common::member(*sess, "port_forwards"); rules && rules->is_array()) {
      for (const auto& rule : *rules) {
        if (auto listener = _setup_forward(transport, rule, tab_id)) {
          connection->adopt_forward(std::move(listener));
        }
      }
    }
    channel->invoke_shell();
    decoder = decoder_for(*tab);
  } catch (const std::exception& e) {
    fail(std::string("建立 shell 失敗：") + e.what());
    connection->close();
    return;
  }
  attach_connection(tab, connection, std::move(decoder));
}

}  // namespace veltaro::gui
