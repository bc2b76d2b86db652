#include "model/desktop/page_fonts.h"

#include <array>
#include <optional>
#include <string_view>

namespace veltaro::desktop {

namespace {

constexpr std::string_view kScheme = "veltaro-font";

// The addresses served are the scheme and one of these names, compared whole: nothing the page
// names is turned into a path.
constexpr std::array<std::string_view, 4> kServed{"ui-regular.otf", "ui-bold.otf",
                                                  "mono-regular.otf", "mono-bold.otf"};

// The file behind a font address the page may ask for; nullopt for any other address.
std::optional<std::filesystem::path> page_font_file(const std::filesystem::path& page_dir,
                                                    std::string_view uri) {
  if (!uri.starts_with(kScheme) || !uri.substr(kScheme.size()).starts_with(':'))
    return std::nullopt;
  const std::string_view name = uri.substr(kScheme.size() + 1);
  for (const std::string_view served : kServed) {
    if (served == name) return page_dir / "fonts" / served;
  }
  return std::nullopt;
}

void refuse(WebKitURISchemeRequest* request, GError* error) {
  webkit_uri_scheme_request_finish_error(request, error);
  g_error_free(error);
}

void on_font_request(WebKitURISchemeRequest* request, gpointer data) {
  const auto& page_dir = *static_cast<const std::filesystem::path*>(data);
  const char* uri = webkit_uri_scheme_request_get_uri(request);
  const auto file = page_font_file(page_dir, uri ? uri : "");
  if (!file) {
    refuse(request, g_error_new_literal(G_IO_ERROR, G_IO_ERROR_NOT_FOUND, "no such font"));
    return;
  }
  gchar* contents = nullptr;
  gsize size = 0;
  GError* error = nullptr;
  if (!g_file_get_contents(file->c_str(), &contents, &size, &error)) {
    refuse(request, error);
    return;
  }
  GBytes* bytes = g_bytes_new_take(contents, size);
  GInputStream* stream = g_memory_input_stream_new_from_bytes(bytes);
  g_bytes_unref(bytes);
  WebKitURISchemeResponse* response =
      webkit_uri_scheme_response_new(stream, static_cast<gint64>(size));
  g_object_unref(stream);
  webkit_uri_scheme_response_set_content_type(response, "font/otf");
  webkit_uri_scheme_request_finish_with_response(request, response);
  g_object_unref(response);
}

}  // namespace

void serve_page_fonts(WebKitWebContext* context, const std::filesystem::path& page_dir) {
  webkit_web_context_register_uri_scheme(
      context, kScheme.data(), on_font_request, new std::filesystem::path(page_dir),
      +[](gpointer data) { delete static_cast<std::filesystem::path*>(data); });
  webkit_security_manager_register_uri_scheme_as_cors_enabled(
      webkit_web_context_get_security_manager(context), kScheme.data());
}

}  // namespace veltaro::desktop
