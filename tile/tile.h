// The "tile" method: a window of a long image, shrunk by a sampling factor and saved as a PNG
// preview that doubles as a cache entry.
#pragma once

#include "host/encodable_value.h"

namespace velmo::codec {
class DecodeCheckpoints;
}

namespace velmo::tile {

// |checkpoints| (may be null): where the decodes of the files this caller tiles resume from,
// kept between calls by a long-lived caller (the plug-in), so that a window deep in a
// non-interlaced still PNG read before costs about what the first one did (other files are
// decoded from the top each time).
host::EncodableMap tile(const host::EncodableMap& arguments,
                        codec::DecodeCheckpoints* checkpoints = nullptr);

}  // namespace velmo::tile
