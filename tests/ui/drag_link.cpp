// Drags a link from a small window of its own and drops it at a point of the screen, moving the
// pointer with XTest the way a person's mouse does, so the drop target sees a real drag.
//   drag_link URI X Y
// Exits 0 once the drag has ended (whatever the target did with it), 1 when it never started or
// did not end in time.
#include <X11/extensions/XTest.h>
#include <gdk/gdkx.h>
#include <gtk/gtk.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr int kSourceX = 1250;
constexpr int kSourceY = 800;
constexpr int kSteps = 40;

struct Drag {
  std::string uri;
  int target_x = 0;
  int target_y = 0;
  int step = 0;
  bool ended = false;
  Display* display = nullptr;
};

void move_to(Drag& drag, int x, int y) {
  XTestFakeMotionEvent(drag.display, -1, x, y, CurrentTime);
  XFlush(drag.display);
}

// One pointer event per tick: press on the source, glide to the target, rest there so the target
// answers the drag, release.
gboolean tick(gpointer data) {
  auto& drag = *static_cast<Drag*>(data);
  const int start_x = kSourceX + 30;
  const int start_y = kSourceY + 30;
  if (drag.step == 0) {
    move_to(drag, start_x, start_y);
  } else if (drag.step == 1) {
    XTestFakeButtonEvent(drag.display, 1, True, CurrentTime);
    XFlush(drag.display);
  } else if (drag.step <= kSteps + 1) {
    const int i = drag.step - 1;
    move_to(drag, start_x + (drag.target_x - start_x) * i / kSteps,
            start_y + (drag.target_y - start_y) * i / kSteps);
  } else if (drag.step < kSteps + 20) {
    move_to(drag, drag.target_x + drag.step % 2, drag.target_y);
  } else {
    XTestFakeButtonEvent(drag.display, 1, False, CurrentTime);
    XFlush(drag.display);
    std::fprintf(stderr, "drag_link: released at %d,%d\n", drag.target_x, drag.target_y);
    return G_SOURCE_REMOVE;
  }
  ++drag.step;
  return G_SOURCE_CONTINUE;
}

void on_data_get(GtkWidget*, GdkDragContext*, GtkSelectionData* selection, guint, guint,
                 gpointer data) {
  const auto& drag = *static_cast<Drag*>(data);
  gchar* uris[] = {const_cast<gchar*>(drag.uri.c_str()), nullptr};
  gtk_selection_data_set_uris(selection, uris);
}

void on_drag_begin(GtkWidget*, GdkDragContext*, gpointer) {
  std::fprintf(stderr, "drag_link: drag begun\n");
}

void on_drag_end(GtkWidget*, GdkDragContext*, gpointer data) {
  static_cast<Drag*>(data)->ended = true;
  gtk_main_quit();
}

gboolean on_mapped(GtkWidget*, GdkEvent*, gpointer data) {
  g_timeout_add(30, tick, data);
  return FALSE;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: drag_link URI X Y\n");
    return 2;
  }
  gtk_init(nullptr, nullptr);
  Drag drag{argv[1], std::atoi(argv[2]), std::atoi(argv[3])};
  drag.display = gdk_x11_display_get_xdisplay(gdk_display_get_default());

  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_title(GTK_WINDOW(window), "drag source");
  gtk_window_set_default_size(GTK_WINDOW(window), 60, 60);
  gtk_window_move(GTK_WINDOW(window), kSourceX, kSourceY);
  GtkWidget* source = gtk_event_box_new();
  gtk_container_add(GTK_CONTAINER(window), source);
  const GtkTargetEntry targets[] = {{const_cast<gchar*>("text/uri-list"), 0, 0}};
  gtk_drag_source_set(source, GDK_BUTTON1_MASK, targets, 1,
                      static_cast<GdkDragAction>(GDK_ACTION_COPY | GDK_ACTION_LINK));
  g_signal_connect(source, "drag-data-get", G_CALLBACK(on_data_get), &drag);
  g_signal_connect(source, "drag-begin", G_CALLBACK(on_drag_begin), &drag);
  g_signal_connect(source, "drag-end", G_CALLBACK(on_drag_end), &drag);
  g_signal_connect(window, "map-event", G_CALLBACK(on_mapped), &drag);
  g_timeout_add_seconds(
      20,
      +[](gpointer) -> gboolean {
        gtk_main_quit();
        return G_SOURCE_REMOVE;
      },
      nullptr);
  gtk_widget_show_all(window);
  gtk_main();
  return drag.ended ? 0 : 1;
}
