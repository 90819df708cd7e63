// The Linux side of the velmo_image_tools Flutter plug-in. A Flutter app's generated plug-in
// registrant calls velmo_image_tools_plugin_register_with_registrar once, on the main thread,
// when the app's engine starts.
#ifndef FLUTTER_PLUGIN_VELMO_IMAGE_TOOLS_PLUGIN_H_
#define FLUTTER_PLUGIN_VELMO_IMAGE_TOOLS_PLUGIN_H_

#include <flutter_linux/flutter_linux.h>

G_BEGIN_DECLS

#ifdef FLUTTER_PLUGIN_IMPL
#define FLUTTER_PLUGIN_EXPORT __attribute__((visibility("default")))
#else
#define FLUTTER_PLUGIN_EXPORT
#endif

// Answers the method channel "velmo/image_tools" on the registrar's binary messenger, with
// one image-processing instance that lives as long as the channel's handler.
FLUTTER_PLUGIN_EXPORT void velmo_image_tools_plugin_register_with_registrar(
    FlPluginRegistrar* registrar);

G_END_DECLS

#endif  // FLUTTER_PLUGIN_VELMO_IMAGE_TOOLS_PLUGIN_H_
