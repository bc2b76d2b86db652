// window.veltaro.api.NAME(...) in the page: each call runs on a worker thread of its own and its
// result comes back as the Promise's value.
#pragma once

#include <webkit2/webkit2.h>

#include <memory>

namespace veltaro::gui {
class VeltaroApp;
}

namespace veltaro::desktop {

// Registers the bridge on `manager` for `app` and adds the script that defines window.veltaro.
void install_page_bridge(WebKitUserContentManager* manager, std::shared_ptr<gui::VeltaroApp> app);

}  // namespace veltaro::desktop
