// Asks the window titled argv[1] to close the way a window manager does when a person clicks its
// close button (WM_DELETE_WINDOW), so the application's own close handling runs.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstdio>
#include <cstring>

namespace {

Window find_named(Display* display, Window root, const char* title) {
  Window parent;
  Window* children = nullptr;
  unsigned count = 0;
  Window found = 0;
  if (!XQueryTree(display, root, &root, &parent, &children, &count)) return 0;
  for (unsigned i = 0; i < count && !found; ++i) {
    char* name = nullptr;
    XWindowAttributes attrs;
    if (XFetchName(display, children[i], &name) && name) {
      if (std::strcmp(name, title) == 0 && XGetWindowAttributes(display, children[i], &attrs) &&
          attrs.map_state == IsViewable) {
        found = children[i];
      }
      XFree(name);
    }
    if (!found) found = find_named(display, children[i], title);
  }
  if (children) XFree(children);
  return found;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: close_window TITLE\n");
    return 2;
  }
  Display* display = XOpenDisplay(nullptr);
  if (!display) {
    std::fprintf(stderr, "close_window: cannot open the display\n");
    return 2;
  }
  const Window target = find_named(display, DefaultRootWindow(display), argv[1]);
  if (!target) {
    std::fprintf(stderr, "close_window: no visible window titled %s\n", argv[1]);
    XCloseDisplay(display);
    return 1;
  }
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = target;
  event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
  event.xclient.format = 32;
  event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
  event.xclient.data.l[1] = CurrentTime;
  XSendEvent(display, target, False, NoEventMask, &event);
  XFlush(display);
  XCloseDisplay(display);
  return 0;
}
