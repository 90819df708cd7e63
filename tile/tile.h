// The "tile" method: a window of a long image, shrunk by a sampling factor and saved as a PNG
// preview that doubles as a cache entry.
#pragma once

#include "host/encodable_value.h"

namespace velmo {

host::EncodableMap tile(const host::EncodableMap& arguments);

}  // namespace velmo
