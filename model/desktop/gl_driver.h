// Keeps the GL driver out of the application's own process. The window draws in software and
// GDK's GL is off, yet the web engine would open a GL display here only to look up a render node
// for its web process, loading Mesa's driver and its shader compiler with it: about 24 MB of this
// process, 8 MB of it relocated data no other process shares. The web process, which needs the
// driver, still loads it as before.
#pragma once

namespace veltaro::desktop {

// Call before anything in this process uses EGL, while it has one thread; the environment is left
// as it was found.
void keep_gl_driver_out_of_this_process();

}  // namespace veltaro::desktop
