#include "model/desktop/desktop_entry.h"

#include "common/diag.h"
#include "model/desktop/gl_driver.h"
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
  // as DMA-BUF buffers, a path a view drawn in software never takes.
  g_setenv("WEBKIT_DISABLE_DMABUF_RENDERER", "1", FALSE);
  keep_gl_driver_out_of_this_process();
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
