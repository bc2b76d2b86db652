#include "model/desktop/gl_driver.h"

#include <EGL/egl.h>
#include <glib.h>

#include <optional>
#include <string>

namespace veltaro::desktop {

void keep_gl_driver_out_of_this_process() {
  // The EGL dispatcher lists its vendors once, on its first call, from this variable when it is
  // set. With no vendor listed this process gets no GL display, and the engine then lets the web
  // process find its device itself, as it does on a machine without one. The web process starts
  // later, from the environment as it is put back here, and lists the vendors it finds. Naming a
  // render node for the engine would also spare the lookup, but then the engine never makes the
  // display object that forwards the desktop's settings (fonts, hinting, theme, caret blink) to
  // the web process; this way it still does, and only its GL display fails.
  constexpr const char* kVendorFiles = "__EGL_VENDOR_LIBRARY_FILENAMES";
  std::optional<std::string> kept;
  if (const gchar* user_value = g_getenv(kVendorFiles)) kept = user_value;
  g_setenv(kVendorFiles, "/dev/null", TRUE);
  eglQueryString(EGL_NO_DISPLAY, EGL_EXTENSIONS);
  if (kept) {
    g_setenv(kVendorFiles, kept->c_str(), TRUE);
  } else {
    g_unsetenv(kVendorFiles);
  }
}

}  // namespace veltaro::desktop
