// The stand-in app's own file: the registration that Flutter's tool generates for the app
// (flutter/generated_plugin_registrant.cc), word for word for this plug-in. Compiled only.
#include <velmo_image_tools/velmo_image_tools_plugin.h>

void fl_register_plugins(FlPluginRegistry* registry) {
  g_autoptr(FlPluginRegistrar) velmo_image_tools_registrar =
      fl_plugin_registry_get_registrar_for_plugin(registry, "VelmoImageToolsPlugin");
  velmo_image_tools_plugin_register_with_registrar(velmo_image_tools_registrar);
}

int main() {
  return 0;
}
