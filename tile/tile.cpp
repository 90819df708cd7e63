#include "tile/tile.h"

#include "plugin/error.h"

namespace velmo {

host::EncodableMap tile(const host::EncodableMap&) {
  throw fail(messages::kNoTileDestination);
}

}  // namespace velmo
