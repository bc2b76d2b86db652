// window.veltaro.api.NAME(...) in the page: each call runs on a worker thread of its own and its
// result comes back as the Promise's value.
#pragma once

#include <webkit2/webkit2.h>

#include <memory>
#include <string>

namespace veltaro::gui {
class VeltaroApp;
}

namespace veltaro::desktop {

// Serves `app` to the page `view` shows at `page_uri`, and to nothing else: window.veltaro is
// defined only in the top frame of a document at that address, and a call is answered only when
// it comes from that definition while the view still shows that address.
void install_page_bridge(WebKitWebView* view, std::shared_ptr<gui::VeltaroApp> app,
                         const std::string& page_uri);

}  // namespace veltaro::desktop
