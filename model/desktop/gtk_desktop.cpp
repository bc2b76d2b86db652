#include "model/desktop/gtk_desktop.h"

#include "model/desktop/main_thread.h"
#include "model/desktop/page_window.h"

#include <gio/gio.h>
#include <gtk/gtk.h>

namespace veltaro::desktop {

namespace {

using Done = std::function<void(std::string)>;

// The file manager gets this long to answer before the folder is handed to the default handler.
constexpr int kFileManagerWaitMs = 3000;

std::string file_uri(const std::filesystem::path& path) {
  GFile* file = g_file_new_for_path(path.c_str());
  char* uri = g_file_get_uri(file);
  std::string out = uri ? uri : "";
  g_free(uri);
  g_object_unref(file);
  return out;
}

// The freedesktop file-manager interface: opens the folder with the file selected.
bool file_manager_show(const std::string& uri) {
  GError* error = nullptr;
  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
  if (!bus) {
    if (error) g_error_free(error);
    return false;
  }
  const char* uris[] = {uri.c_str(), nullptr};
  GVariant* reply = g_dbus_connection_call_sync(
      bus, "org.freedesktop.FileManager1", "/org/freedesktop/FileManager1",
      "org.freedesktop.FileManager1", "ShowItems", g_variant_new("(^ass)", uris, ""), nullptr,
      G_DBUS_CALL_FLAGS_NONE, kFileManagerWaitMs, nullptr, &error);
  g_object_unref(bus);
  if (error) g_error_free(error);
  if (!reply) return false;
  g_variant_unref(reply);
  return true;
}

void add_filter(GtkFileChooser* chooser, const char* label,
                std::initializer_list<const char*> patterns) {
  GtkFileFilter* filter = gtk_file_filter_new();
  gtk_file_filter_set_name(filter, label);
  for (const char* p : patterns) gtk_file_filter_add_pattern(filter, p);
  gtk_file_chooser_add_filter(chooser, filter);
}

}  // namespace

void GtkDesktop::read_clipboard(Done done) {
  run_on_main([done = std::move(done)]() mutable {
    GtkClipboard* clipboard = gtk_clipboard_get(GDK_SELECTION_CLIPBOARD);
    gtk_clipboard_request_text(
        clipboard,
        +[](GtkClipboard*, const gchar* text, gpointer data) {
          auto* answer = static_cast<Done*>(data);
          (*answer)(text ? text : "");
          delete answer;
        },
        new Done(std::move(done)));
  });
}

void GtkDesktop::pick_private_key(Done done) {
  run_on_main([window = window_, done = std::move(done)]() mutable {
    GtkWindow* parent = window->widget() ? GTK_WINDOW(window->widget()) : nullptr;
    GtkFileChooserNative* dialog = gtk_file_chooser_native_new(
        "選擇私鑰檔", parent, GTK_FILE_CHOOSER_ACTION_OPEN, "開啟", "取消");
    auto* chooser = GTK_FILE_CHOOSER(dialog);
    add_filter(chooser, "All keys", {"*.ppk", "*.pem", "*.key"});
    add_filter(chooser, "PuTTY Private Key", {"*.ppk"});
    add_filter(chooser, "OpenSSH PEM", {"*.pem", "*.key"});
    // "*": key files such as id_ed25519 have no dot.
    add_filter(chooser, "All Files", {"*"});
    gtk_native_dialog_set_modal(GTK_NATIVE_DIALOG(dialog), TRUE);
    g_signal_connect(dialog, "response",
                     G_CALLBACK(+[](GtkNativeDialog* d, gint response, gpointer data) {
                       auto* answer = static_cast<Done*>(data);
                       std::string path;
                       if (response == GTK_RESPONSE_ACCEPT) {
                         if (char* file = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(d))) {
                           path = file;
                           g_free(file);
                         }
                       }
                       (*answer)(path);
                       delete answer;
                       g_object_unref(d);
                     }),
                     new Done(std::move(done)));
    gtk_native_dialog_show(GTK_NATIVE_DIALOG(dialog));
  });
}

bool GtkDesktop::open_url(const std::string& url) {
  GError* error = nullptr;
  const gboolean ok = g_app_info_launch_default_for_uri(url.c_str(), nullptr, &error);
  if (error) g_error_free(error);
  return ok == TRUE;
}

bool GtkDesktop::show_in_folder(const std::filesystem::path& file) {
  if (file_manager_show(file_uri(file))) return true;
  GError* error = nullptr;
  const gboolean ok =
      g_app_info_launch_default_for_uri(file_uri(file.parent_path()).c_str(), nullptr, &error);
  if (error) g_error_free(error);
  return ok == TRUE;
}

}  // namespace veltaro::desktop
