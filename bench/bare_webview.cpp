// A WebKitGTK window that shows one line of text and nothing else, with the engine's defaults:
// what a web view costs by itself, the baseline of the window memory benchmark.
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

int main(int argc, char** argv) {
  gtk_init(&argc, &argv);
  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_title(GTK_WINDOW(window), "bare web view");
  gtk_window_set_default_size(GTK_WINDOW(window), 1280, 720);
  GtkWidget* view = webkit_web_view_new();
  gtk_container_add(GTK_CONTAINER(window), view);
  webkit_web_view_load_html(WEBKIT_WEB_VIEW(view), "<p>hello</p>", nullptr);
  g_signal_connect(window, "destroy", G_CALLBACK(gtk_main_quit), nullptr);
  gtk_widget_show_all(window);
  gtk_main();
  return 0;
}
