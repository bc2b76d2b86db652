// The page's text face: a subset of the CJK face that holds only the characters the program's own
// texts use, served to the page under a scheme of its own. Drawing the interface from the system
// face instead maps megabytes of that face into the web process, most of it for a few glyphs.
#pragma once

#include <webkit2/webkit2.h>

#include <filesystem>

namespace veltaro::desktop {

// Serves the fonts beside the page (`page_dir`/fonts) to the views of `context`.
void serve_page_fonts(WebKitWebContext* context, const std::filesystem::path& page_dir);

}  // namespace veltaro::desktop
