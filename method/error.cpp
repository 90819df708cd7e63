#include "method/error.h"

namespace velmo {

PluginError fail(std::string_view message) {
  return PluginError(std::string(message));
}

}  // namespace velmo
