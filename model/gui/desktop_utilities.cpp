// Images, browser, clipboard and key-file dialog for the page.
#include "common/atomic_file.h"
#include "common/diag.h"
#include "common/text.h"
#include "model/gui/veltaro_app.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>

namespace veltaro::gui {

namespace {

using namespace std::chrono_literals;
constexpr auto kClipboardWait = 5s;
constexpr auto kKeyDialogWait = 180s;

std::string data_url(const std::filesystem::path& file) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(file, ec)) return "";
  try {
    std::string ext = common::ascii_lower(file.extension().string());
    if (!ext.empty()) ext.erase(0, 1);
    if (ext == "ico") ext = "x-icon";
    return "data:image/" + ext + ";base64," + common::base64_encode(common::read_file(file));
  } catch (const std::exception&) {
    return "";
  }
}

// Only addresses a browser shows: a file: or custom-scheme address from terminal text could
// otherwise start a local program.
bool is_browsable(const std::string& url) {
  const std::string lower = common::ascii_lower(url.substr(0, 8));
  const bool scheme =
      lower.starts_with("http://") || lower.starts_with("https://") || lower.starts_with("mailto:");
  const bool clean = std::none_of(url.begin(), url.end(), [](unsigned char c) { return c < 0x20; });
  return scheme && clean && url.size() > 7;
}

// The answer of a desktop call, or empty text when it did not come within `limit`.
std::string wait_for_answer(const std::function<void(std::function<void(std::string)>)>& ask,
                            std::chrono::seconds limit) {
  struct Holder {
    std::mutex mutex;
    std::condition_variable ready;
    std::optional<std::string> text;
  };
  auto holder = std::make_shared<Holder>();
  ask([holder](std::string text) {
    {
      const std::lock_guard lock(holder->mutex);
      holder->text = std::move(text);
    }
    holder->ready.notify_all();
  });
  std::unique_lock lock(holder->mutex);
  holder->ready.wait_for(lock, limit, [&] { return holder->text.has_value(); });
  return holder->text.value_or("");
}

}  // namespace

Json VeltaroApp::get_images() {
  const auto dir = module_dir() / "格式範本";
  return Json{{"logo", data_url(dir / "logo.png")}, {"logo_ico", data_url(dir / "logo.ico")}};
}

bool VeltaroApp::open_url(const Json& url) {
  if (!url.is_string()) return false;
  const std::string& text = url.get_ref<const std::string&>();
  std::shared_ptr<Desktop> d;
  {
    const std::lock_guard lock(window_mutex_);
    d = desktop_;
  }
  if (!d || text.empty() || !is_browsable(text)) return false;
  try {
    return d->open_url(text);
  } catch (const std::exception&) {
    return false;
  }
}

std::string VeltaroApp::read_clipboard() {
  std::shared_ptr<Desktop> d;
  {
    const std::lock_guard lock(window_mutex_);
    d = desktop_;
  }
  if (!d) return "";
  try {
    return wait_for_answer([&](auto done) { d->read_clipboard(std::move(done)); }, kClipboardWait);
  } catch (const std::exception& e) {
    common::diag("[read_clipboard]", e.what());
    return "";
  }
}

std::string VeltaroApp::pick_private_key() {
  std::shared_ptr<Desktop> d;
  {
    const std::lock_guard lock(window_mutex_);
    d = desktop_;
  }
  if (!d) return "";
  try {
    return wait_for_answer([&](auto done) { d->pick_private_key(std::move(done)); },
                           kKeyDialogWait);
  } catch (const std::exception&) {
    return "";
  }
}

}  // namespace veltaro::gui
