// The application controller: the session store, the tab table, the output pipeline and every
// operation the page may call. One instance lives until the process ends; background threads
// hold shared pointers to it.
#pragma once

#include "common/ipc_tables.h"
#include "common/values.h"
#include "model/gui/tab.h"
#include "model/gui/window.h"
#include "model/transports/transport.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace veltaro::ssh2 {
class Channel;
class Transport;
class HostKeyError;
}  // namespace veltaro::ssh2

namespace veltaro::transport {
class LoginPrompter;
}  // namespace veltaro::transport

namespace veltaro::gui {

class SerialPortLine;
using common::Json;

// Algorithm names per negotiation list ("kex", "ciphers", "macs", "keys"), in offer order: the
// same type as ssh2::paramiko_legacy::AlgorithmPrefs, named here so that this header needs
// nothing of the SSH library.
using AlgorithmPrefs = std::map<std::string, std::vector<std::string>>;

// A usable key path, or the reason there is none: exactly one of the two is set.
struct KeyPreparation {
  std::optional<std::filesystem::path> path;
  std::optional<std::string> error;
};

class VeltaroApp : public std::enable_shared_from_this<VeltaroApp> {
 public:
  static constexpr const char* APP_NAME = "Veltaro";
  // Fields that only take effect on a new connection.
  static constexpr std::array<const char*, 22> CONN_LEVEL_KEYS = {"protocol",
                                                                  "host",
                                                                  "port",
                                                                  "username",
                                                                  "password",
                                                                  "private_key",
                                                                  "compression",
                                                                  "agent_forwarding",
                                                                  "ip_version",
                                                                  "ssh_version",
                                                                  "ssh_legacy_compat",
                                                                  "ssh_kex",
                                                                  "ssh_ciphers",
                                                                  "ssh_macs",
                                                                  "ssh_keys",
                                                                  "serial_bits",
                                                                  "serial_parity",
                                                                  "serial_stop",
                                                                  "serial_flow",
                                                                  "serial_baud",
                                                                  "terminal_type",
                                                                  "port_forwards"};
  static constexpr std::array<const char*, 2> CLAUDE_TOGGLEABLE_FLAGS = {"lfhascr", "crhaslf"};

  // Creates the data directory, loads sessions and settings, looks for the key generator.
  // Throws only when the data directory cannot be created.
  VeltaroApp(common::QueueTable Queue_All_variable, common::EventTable Event_All_variable);
  VeltaroApp(const VeltaroApp&) = delete;
  VeltaroApp& operator=(const VeltaroApp&) = delete;

  // Paths, fixed at construction.
  const std::filesystem::path APP_DIR;
  const std::filesystem::path SESSIONS_FILE;
  const std::filesystem::path SETTINGS_FILE;
  const std::filesystem::path HOST_KEYS_FILE;

  // --- lifecycle ---
  // Creates the window and runs the host's loop on this thread; returns after _shutdown.
  void run(const std::shared_ptr<WindowHost>& host, std::string html_content);
  void _shutdown();
  bool _on_window_closing();
  void _poll_queue();
  std::optional<std::filesystem::path> _find_bundled(const std::string& name,
                                                     bool system_fallback = true) const;
  // The directory holding the GUI library: the page, images and key generator live beside it.
  static std::filesystem::path module_dir();
  static std::filesystem::path module_file();

  // --- page operations (never throw) ---
  Json get_initial_state();
  Json get_runtime_state();
  Json save_session(const Json& rec);
  Json delete_session(const Json& session_id);
  Json connect_session(const Json& session_id);
  Json close_tab(const std::string& tab_id);
  bool send_input(const std::string& tab_id, const std::string& data);
  void resize_pty(const std::string& tab_id, const Json& rows, const Json& cols);
  bool set_tab_encoding(const std::string& tab_id, const std::string& encoding);
  Json get_tab_reading(const std::string& tab_id);
  Json toggle_tab_reading(const std::string& tab_id);
  // One receive of a tab's reader: large enough that a fast peer costs few system calls and
  // chunks, and at most this much past the buffer limit.
  static constexpr std::size_t kReadSize = std::size_t{256} << 10;
  // The longest a drain_terminal may wait for something to answer.
  static constexpr std::chrono::milliseconds kMaxDrainWait{5000};
  // The page's one wait for all tabs: every change ends it at once, so its length only sets how
  // often an idle window calls at all.
  static constexpr std::chrono::milliseconds kMaxWatchWait{30000};
  // Everything buffered for the tab. With `wait` > 0 (at most kMaxDrainWait) an empty buffer is
  // waited on until output arrives, a status line is shown, the connection ends or the tab closes.
  std::string drain_terminal(const std::string& tab_id,
                             std::chrono::milliseconds wait = std::chrono::milliseconds::zero());
  // One wait for every tab, so that idle tabs cost one call between them: waits (at most
  // kMaxWatchWait) until some tab or the hosts' online states changed after the change count
  // `since`, then answers {generation: the count now, ready: ids of the tabs changed after
  // `since`, status: whether an online state changed after `since`}. A count ahead of the back
  // end's (a page from before a restart) answers at once with every tab that ever changed.
  Json wait_for_output(std::uint64_t since, std::chrono::milliseconds wait);
  Json get_images();
  bool open_url(const Json& url);
  std::string read_clipboard();
  std::string pick_private_key();

  // --- PuTTY import ---
  // PuTTY's saved sessions, read afresh each time: {name, and the values each holds}.
  Json import_list_from_putty();
  // Appends one new session per entry, saves once; {sessions, and error when the save failed}.
  Json import_putty_sessions(const Json& putty_records);
  static Json _read_putty_registry_sessions();
  static std::string _unescape_putty_name(const std::string& name);
  void _import_one(const Json& rec);

  // Runs the page operation `name` with positional `params`. Unknown names give nullopt.
  // Never throws.
  std::optional<Json> call_operation(const std::string& name, const Json& params);

  // --- session store ---
  void _load_sessions();
  // Writes the store; the reason when it could not be written.
  std::optional<std::string> _save_sessions();
  void _load_settings();
  std::optional<std::string> _save_settings();
  void _apply_session_changes_to_open_tabs(const SessionPtr& new_rec, const SessionPtr& old_rec);
  std::vector<SessionPtr> sessions_snapshot() const;
  Json sessions_json() const;

  // --- tabs ---
  TabPtr find_tab(const std::string& tab_id) const;
  std::vector<TabPtr> tabs_in_order() const;
  Json _tabs_for_js() const;
  void _close_tab_internal(const std::string& tab_id);
  void _start_ssh(const std::string& tab_id);
  void _start_raw_impl(const std::string& tab_id, const SessionPtr& sess, const TabPtr& tab);
  void _start_ssh1_impl(const std::string& tab_id, const SessionPtr& sess, const TabPtr& tab);
  // Hands a starter's open connection to its tab, tells the page and starts the reader; when the
  // tab was closed meanwhile, closes the connection instead.
  void attach_connection(const TabPtr& tab, std::shared_ptr<TabConnection> connection,
                         std::shared_ptr<common::Decoder> decoder);
  // The reader thread of every tab: the connection's bytes, decoded, into the output pipeline
  // until the connection ends; then the end line, and the connection closed.
  void _reader_loop(const std::string& tab_id);
  // Where the tab's byte stream ends (the connection's end, a serial port pulled out): a character
  // its last bytes left unfinished is shown and logged as U+FFFD instead of being lost.
  void finish_stream(Tab& tab);

  // --- session logs ---
  // Opens the log the tab's session asks for; a log that cannot be opened is one error line.
  void open_tab_log(const TabPtr& tab);
  static std::shared_ptr<SessionLog> tab_log(const Tab& tab);
  // The start marker in the tab's log, naming the peer as the session does now.
  void log_connected(const Tab& tab);
  // Shows the folder of the tab's log file in the desktop's file manager. False when the tab
  // keeps no log or the desktop could not show it. Never throws.
  bool show_tab_log(const std::string& tab_id);

  // --- Telnet tabs, plain and with COM port control ---
  void _start_telnet_impl(const std::string& tab_id, const SessionPtr& sess, const TabPtr& tab);
  void _start_telnet_serial_impl(const std::string& tab_id, const SessionPtr& sess,
                                 const TabPtr& tab);
  // --- serial tabs ---
  struct SerialOpened {
    std::shared_ptr<SerialPortLine> port;
    std::string com;
    long long baud = 0;
  };
  // Opens the port the session describes. Throws std::exception whose text is shown to the user.
  SerialOpened _serial_open(const Json& sess);
  // Opens the port and hands the tab a SerialConnection, also when the first open failed (its
  // reader then begins by waiting for the device).
  void _start_serial_impl(const std::string& tab_id, const SessionPtr& sess, const TabPtr& tab);

  // --- board reset (serial tabs) ---
  // True when a reset was dispatched to a worker; false when the tab has no open serial port.
  bool hard_reset_esp(const std::string& tab_id);
  bool enter_bootloader_esp(const std::string& tab_id);
  bool _fire_esp_reset(const std::string& tab_id, const std::string& mode);

  // --- SSH-2 tabs ---
  void _start_ssh_impl(const std::string& tab_id, const SessionPtr& sess, const TabPtr& tab);
  // The session's algorithm lists over the legacy table when ssh_legacy_compat is on. Never
  // throws except std::bad_alloc.
  static AlgorithmPrefs _build_ssh_prefs(const Json& sess);
  // The key file itself, or an OpenSSH copy of a .ppk key made by the key generator (a new
  // temporary file readable by the user alone). Never throws except std::bad_alloc.
  KeyPreparation _ensure_openssh_key(const std::filesystem::path& key_path) const;

  // --- login prompts (SSH tabs) ---
  // A prompter that asks in the tab's terminal; from now on the tab's keys answer it. nullptr when
  // the tab is closed already. Never throws except std::bad_alloc.
  std::shared_ptr<transport::LoginPrompter> begin_login(const TabPtr& tab);
  // Keys go to the connection again; whatever was typed and not taken is wiped. Never throws.
  void end_login(Tab& tab) noexcept;

  // --- host keys (SSH-2 tabs) ---
  // The error line for a refused host key; a changed one is kept on the tab for the user to
  // accept. Never throws except std::bad_alloc.
  std::string refuse_host_key(Tab& tab, const ssh2::HostKeyError& error);
  // Pins the changed host key the tab was refused in place of what the known-hosts file pins for
  // that host, when `fingerprint` is still the key's; then, with `reconnect`, closes the tab and
  // opens the session anew. {ok, error} (plus the runtime state and the new tab_id after a
  // reconnect). Never throws.
  Json accept_host_key(const std::string& tab_id, const std::string& fingerprint, bool reconnect);

  // --- port forwarding (SSH-2 tabs) ---
  // Sets up one rule of the session's port_forwards; reports its own failures in the tab. The
  // listener of a local rule is returned for the connection to close; otherwise nullptr.
  std::shared_ptr<transport::Closeable> _setup_forward(
      const std::shared_ptr<ssh2::Transport>& transport, const Json& rule,
      const std::string& tab_id);
  // Listens on 127.0.0.1:local_port and carries each connection to remote_host:remote_port as
  // the server sees it. Throws std::runtime_error when the port cannot be bound.
  std::shared_ptr<transport::Closeable> _open_local_forward(
      const std::shared_ptr<ssh2::Transport>& transport, int local_port,
      const std::string& remote_host, int remote_port);
  // Serves one connection the server forwarded: connects to local_host:local_port and copies
  // both ways until either side ends. Never throws.
  void _remote_handler(const std::shared_ptr<ssh2::Channel>& channel, const std::string& local_host,
                       int local_port);

  // --- assistant ---
  // The assistant tool's path, searched for until a search succeeds. Never throws.
  std::optional<std::filesystem::path> _resolve_claude_exe();
  bool _claude_logged_in() const noexcept;
  Json claude_status();
  // One conversation turn; always the map {ok, error, reply}. Never throws except bad_alloc.
  Json claude_send(const std::string& user_text, const std::string& terminal_text,
                   const std::optional<std::string>& target_tab_id, const Json& timeout,
                   const Json& tab_texts);
  bool claude_reset_session();
  bool claude_inject(const std::string& tab_id, const std::string& command, bool append_newline);
  Json claude_toggle_session_flag(const std::string& tab_id, const std::string& flag_name);
  // The message of one turn: the user's text, the target tab, its output and the other tabs.
  std::string _claude_message(const std::string& user_text, const std::string& terminal_text,
                              const std::optional<std::string>& target_tab_id,
                              const Json& tab_texts) const;
  std::string _read_text_safe(const std::filesystem::path& path) const;
  // Where the runtime rule file was written (directory, file name), or nullopt when nowhere.
  std::optional<std::pair<std::filesystem::path, std::string>> _write_claude_runtime_system_prompt()
      const;
  std::string _build_claude_system_prompt() const;

  // --- output ---
  void _push_to_term(const std::string& tab_id, std::string text);
  // _push_to_term for a tab in hand. A reader whose connection can wait is held here while the
  // buffer is full; false once the tab is closed (the reader then stops). `chars`, when given, is
  // the number of characters in `text`, as its decoder counted them.
  bool push_output(Tab& tab, std::string text,
                   std::optional<common::CharCount> chars = std::nullopt);
  // Returns `text` itself (moved) when neither switch is set.
  std::string _apply_eol_translation(Tab& tab, std::string text);
  void _push_info(const std::string& tab_id, const std::string& message, bool is_error = false);
  void _push_connected(const std::string& tab_id);
  // Wakes a drain waiting on the tab: a status line, the connection's end or (`closing`) the
  // tab's close.
  void note_output_event(Tab& tab, bool closing = false);
  // Cuts the buffer where a status line goes; returns the number of the drain after whose text
  // the page writes the line. Called with _buf_lock held.
  std::uint64_t place_status_line(OutputBuffer& buf);
  // Under _buf_lock: the buffer changed in a way the page must look at.
  void count_change(OutputBuffer& buf);
  // A host's online state changed: a waiting wait_for_output answers. Never throws.
  void note_status_change() noexcept;
  // A reader waiting for room looks again at the capture switch and the shutdown flag.
  void wake_waiting_reader(Tab& tab);
  // The connection is over: "alive" false, and a waiting drain answers.
  void mark_ended(Tab& tab);
  // No caller will read another answer: every waiting drain answers now, later ones at once.
  void release_waiting_drains();

  // --- fields, in the order the constructor sets them ---
  common::QueueTable queue_all;
  common::EventTable event_all;

  mutable std::mutex sessions_mutex;  // swaps of `sessions` only
  std::vector<SessionPtr> sessions;
  Json settings;

  mutable std::mutex tabs_mutex;  // `tabs`, `tab_order`, `active_tab_id`
  std::map<std::string, TabPtr> tabs;
  std::vector<std::string> tab_order;
  std::optional<std::string> active_tab_id;

  mutable std::mutex status_mutex;
  std::map<std::string, std::string> session_status;

  std::mutex _buf_lock;                     // every tab's output buffer
  bool drains_released_ = false;            // guarded by _buf_lock
  std::uint64_t output_generation_ = 0;     // guarded by _buf_lock; see OutputBuffer::changed_at
  std::uint64_t status_changed_at_ = 0;     // guarded by _buf_lock; as changed_at, for the hosts
  std::condition_variable output_changed_;  // a waiting wait_for_output

  std::optional<std::filesystem::path> puttygen_exe;

  std::shared_ptr<Window> window() const;
  void set_window(std::shared_ptr<Window> w);
  void set_desktop(std::shared_ptr<Desktop> d);

  std::atomic<bool> _stop{false};

  // Guards the three fields below, held only to read or set them.
  mutable std::mutex claude_mutex;
  std::optional<std::string> _claude_session_id;
  std::string _claude_model = "claude-opus-4-7";
  std::optional<std::filesystem::path> _claude_exe;
  bool _claude_exe_resolved = false;
  std::filesystem::path _claude_arch_dir;

 private:
  Json runtime_state_with(const char* key, const Json& value);
  void show_unsupported(const TabPtr& tab, const std::string& protocol);

  mutable std::mutex window_mutex_;
  std::shared_ptr<Window> _window;
  std::shared_ptr<TrayIcon> _tray_icon;
  std::shared_ptr<Desktop> desktop_;

  // Serialises whole edits of the store (change, write) so the file always holds the latest list.
  std::mutex store_mutex_;
  // The session file failed to load: keep a copy of it before the first save replaces it.
  bool broken_store_pending_ = false;
  // What the page is told about a session file that failed to load; null when it loaded.
  Json broken_store_;
  void note_broken_store(const std::string& reason);
  // Copies the unloadable session file aside and returns the copy's path. Throws on failure.
  std::filesystem::path keep_broken_store_copy();
};

// Starts a thread that does not keep the process alive and never lets an error escape.
void spawn_detached(std::function<void()> body);

// The whole entry: loads the page, builds the controller, runs it on `host`. Errors are reported
// as "[GUI] fatal:" lines; returns normally.
void run_gui(common::QueueTable Queue_All_variable, common::EventTable Event_All_variable,
             const std::shared_ptr<WindowHost>& host);

// The page text: html/index.html beside the GUI library. Throws std::runtime_error when missing.
std::string _load_html_content();

}  // namespace veltaro::gui
