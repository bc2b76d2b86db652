// Clipboard, key-file dialog and browser through GTK and GIO.
#pragma once

#include "model/gui/window.h"

#include <memory>

namespace veltaro::desktop {

class PageWindow;

class GtkDesktop final : public gui::Desktop {
 public:
  explicit GtkDesktop(std::shared_ptr<PageWindow> window) : window_(std::move(window)) {}
  void read_clipboard(std::function<void(std::string)> done) override;
  void pick_private_key(std::function<void(std::string)> done) override;
  bool open_url(const std::string& url) override;
  bool show_in_folder(const std::filesystem::path& file) override;

 private:
  std::shared_ptr<PageWindow> window_;
};

}  // namespace veltaro::desktop
