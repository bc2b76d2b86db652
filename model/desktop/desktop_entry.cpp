#include "model/desktop/desktop_entry.h"

#include "common/diag.h"
#include "model/desktop/gtk_host.h"
#include "model/gui/veltaro_app.h"

#include <glib.h>

namespace veltaro::desktop {

void prepare_environment() {
  // The page is drawn in software (the web view's hardware acceleration is off), yet GDK probes
  // OpenGL to choose its visuals, which loads the GL driver with its shader compiler: about 9 MB
  // here and 8 MB in the web process, each of which runs GDK, for nothing the window uses. A
  // value the user set is kept.
  g_setenv("GDK_GL", "disable", FALSE);
  // The engine's application side would also check whether the web process could hand it frames
  // as DMA-BUF buffers, which sets up a GL display of its own: about 4 MB for a path a view drawn
  // in software never takes. Naming a render node here as well would keep the GL driver out of
  // the application altogether (about 24 MB there: otherwise the engine looks the node up through
  // a GL display), but the engine starts passing the desktop's settings to the web process when it
  // makes its display object, which nothing would then make: the page would lose the desktop's
  // font resolution, hinting and theme, and its carets would blink at the default rate despite the
  // once-an-hour blink the host sets (four to five times the idle CPU).
  g_setenv("WEBKIT_DISABLE_DMABUF_RENDERER", "1", FALSE);
}

void GUI(common::QueueTable Queue_All_variable, common::EventTable Event_All_variable) {
  std::shared_ptr<GtkHost> host;
  try {
    host = std::make_shared<GtkHost>();
  } catch (const std::exception& e) {
    common::diag("[GUI] fatal:", e.what());
    return;
  }
  gui::run_gui(std::move(Queue_All_variable), std::move(Event_All_variable), host);
}

}  // namespace veltaro::desktop
