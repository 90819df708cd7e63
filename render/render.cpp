#include "render/render.h"

#include "plugin/error.h"

namespace velmo {

host::EncodableMap render(const host::EncodableMap&, BlurContext&) {
  throw fail(messages::kNoDestination);
}

}  // namespace velmo
