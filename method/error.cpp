#include "method/error.h"

namespace velmo::method {

PluginError fail(std::string_view message, std::string reason) {
  return PluginError(std::string(message), std::move(reason));
}

}  // namespace velmo::method
