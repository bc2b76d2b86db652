#include "model/desktop/main_thread.h"

#include <glib.h>

namespace veltaro::desktop {

namespace {
gboolean run_once(gpointer data) {
  try {
    (*static_cast<std::function<void()>*>(data))();
  } catch (...) {
    // A failed window call must not take the main loop down.
  }
  return G_SOURCE_REMOVE;
}

void destroy(gpointer data) {
  delete static_cast<std::function<void()>*>(data);
}
}  // namespace

void run_on_main(std::function<void()> work) {
  g_idle_add_full(G_PRIORITY_DEFAULT, run_once, new std::function<void()>(std::move(work)),
                  destroy);
}

}  // namespace veltaro::desktop
