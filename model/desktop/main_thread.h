// Every GTK and WebKit call happens on the GTK main thread; other threads hand work to it here.
#pragma once

#include <functional>

namespace veltaro::desktop {

// Queues `work` for the GTK main loop and returns at once. Safe from any thread; `work` runs
// once, even when it is queued from the main thread itself.
void run_on_main(std::function<void()> work);

}  // namespace veltaro::desktop
