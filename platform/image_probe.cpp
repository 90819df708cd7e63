#include "platform/image_probe.h"

namespace velmo::platform {

std::optional<ImageInfo> probeImage(const InputFile&) {
  return std::nullopt;
}

}  // namespace velmo::platform
