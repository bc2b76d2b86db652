// Stands in for a desktop's tray host: owns the StatusNotifierWatcher name on the session bus and
// accepts item registrations, until it is terminated.
#include <gio/gio.h>

#include <cstdio>
#include <cstdlib>

namespace {

constexpr const char* kIntrospection = R"XML(
<node>
  <interface name="org.kde.StatusNotifierWatcher">
    <method name="RegisterStatusNotifierItem"><arg type="s" direction="in"/></method>
    <method name="RegisterStatusNotifierHost"><arg type="s" direction="in"/></method>
    <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
    <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
    <property name="ProtocolVersion" type="i" access="read"/>
  </interface>
</node>)XML";

void on_call(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant*,
             GDBusMethodInvocation* invocation, gpointer) {
  g_dbus_method_invocation_return_value(invocation, nullptr);
}

GVariant* on_property(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* name,
                      GError**, gpointer) {
  if (g_strcmp0(name, "IsStatusNotifierHostRegistered") == 0) return g_variant_new_boolean(TRUE);
  if (g_strcmp0(name, "ProtocolVersion") == 0) return g_variant_new_int32(0);
  return g_variant_new_strv(nullptr, 0);
}

const GDBusInterfaceVTable kVTable = {on_call, on_property, nullptr, {}};

void on_bus(GDBusConnection* bus, const gchar*, gpointer data) {
  auto* info = static_cast<GDBusNodeInfo*>(data);
  g_dbus_connection_register_object(bus, "/StatusNotifierWatcher", info->interfaces[0], &kVTable,
                                    nullptr, nullptr, nullptr);
}

void on_name(GDBusConnection*, const gchar*, gpointer) {
  std::printf("ready\n");
  std::fflush(stdout);
}

// The bus went away or another host owns the name: nothing left to stand in for.
void on_lost(GDBusConnection*, const gchar*, gpointer) {
  std::exit(1);
}

}  // namespace

int main() {
  GDBusNodeInfo* info = g_dbus_node_info_new_for_xml(kIntrospection, nullptr);
  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  g_bus_own_name(G_BUS_TYPE_SESSION, "org.kde.StatusNotifierWatcher", G_BUS_NAME_OWNER_FLAGS_NONE,
                 on_bus, on_name, on_lost, info, nullptr);
  // Runs until the test terminates it.
  g_main_loop_run(loop);
  return 0;
}
