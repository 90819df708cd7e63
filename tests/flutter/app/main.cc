// The stand-in app's binary: only the registration call a generated registrant makes.
#include <velmo_image_tools/velmo_image_tools_plugin.h>

int main() {
  return velmo_image_tools_plugin_register_with_registrar != nullptr ? 0 : 1;
}
