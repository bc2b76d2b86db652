// The view shows our page and nothing else. The page lives at a file:// address naming the
// program's folder, so anything else loaded into the view (a foreign site, a dropped link, even a
// reload of that address, which shows a listing of the folder) would replace it.
#pragma once

#include <webkit2/webkit2.h>

#include <filesystem>
#include <string>

namespace veltaro::desktop {

// `dir` as a file:// address ending in a slash, escaped as WebKit reports it back.
std::string page_base_uri(const std::filesystem::path& dir);

// Loads `html` at `base_uri` into `view` and refuses every later navigation of any frame, and
// every new window, for the rest of the view's life.
void load_only_page(WebKitWebView* view, const std::string& html, const std::string& base_uri);

}  // namespace veltaro::desktop
