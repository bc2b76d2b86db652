// How the controller reaches the window and the desktop without knowing which toolkit hosts them.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace veltaro::gui {

class VeltaroApp;

// The window showing the page. Every call is safe from any thread and never throws; a call made
// while the page is not ready is dropped.
class Window {
 public:
  virtual ~Window() = default;
  virtual void evaluate_script(const std::string& script) = 0;
  virtual void show() = 0;
  virtual void hide() = 0;
  virtual void destroy() = 0;
};

// The notification-area icon; stop() ends its loop. Never throws.
class TrayIcon {
 public:
  virtual ~TrayIcon() = default;
  virtual void stop() = 0;
};

// Desktop facilities the page cannot reach by itself. Each answers through `done`, possibly on
// another thread and possibly never (a dialog left open); callers bound their wait.
class Desktop {
 public:
  virtual ~Desktop() = default;
  // The clipboard's text, or empty text when it holds none.
  virtual void read_clipboard(std::function<void(std::string)> done) = 0;
  // The chosen key file's path, or empty text when cancelled.
  virtual void pick_private_key(std::function<void(std::string)> done) = 0;
  // Hands an address (already checked to be http, https or mailto) to the default browser.
  virtual bool open_url(const std::string& url) = 0;
  // Shows the folder holding `file` in the file manager, with the file selected where the file
  // manager can do that. False when nothing could show it.
  virtual bool show_in_folder(const std::filesystem::path& file) = 0;
};

struct WindowOptions {
  std::string title;
  std::string html;  // the page as text, not as an address
  int width = 900;
  int height = 550;
  int min_width = 600;
  int min_height = 400;
  bool resizable = true;
  std::string background = "#0d0f14";
};

struct LoopOptions {
  bool private_mode = false;                  // the page's local storage persists
  std::optional<std::filesystem::path> icon;  // only when the file exists
  std::filesystem::path storage_dir;          // the web engine's data directory
};

// What runs the window: the desktop toolkit, or the line-protocol driver without a window.
class WindowHost {
 public:
  virtual ~WindowHost() = default;
  // Creates the window; the page's calls reach `app` through its operation table, and the
  // window's close button asks app._on_window_closing() whether to close.
  virtual std::shared_ptr<Window> create_window(const WindowOptions& options, VeltaroApp& app) = 0;
  // Sets up the tray icon for `app`; empty when this host has none.
  virtual std::shared_ptr<TrayIcon> setup_tray(VeltaroApp& app) = 0;
  virtual void apply_dark_titlebar() = 0;
  // The desktop facilities of this host; empty when it has none.
  virtual std::shared_ptr<Desktop> desktop() = 0;
  // Runs the event loop on the calling thread until the window is destroyed.
  virtual void run_loop(const LoopOptions& options) = 0;
};

}  // namespace veltaro::gui
