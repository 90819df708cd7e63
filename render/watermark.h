// The recipe's "watermark" map, read into the drawing's plain settings.
#pragma once

#include <optional>

#include "draw/watermark.h"
#include "host/encodable_value.h"

namespace velmo {

// The watermark |map| asks for, or nullopt when it is off: no map, "enabled" not the boolean
// true, or "text" not a string or empty. Other keys take their defaults when absent or of
// the wrong type; "gradientColors" counts only as a list of two or more numbers.
std::optional<draw::Watermark> readWatermark(const host::EncodableMap* map);

}  // namespace velmo
