// Colours given in a recipe: a 32-bit 0xAARRGGBB number.
#pragma once

#include "draw/color.h"
#include "host/encodable_value.h"

namespace velmo {

// The colour a recipe value names. Integers keep their low 32 bits, so the signed int32 form
// of 0xFF00FF00 (-16711936) and its int64 form (4278255360) are the same opaque green; a
// float64 is truncated toward zero first (saturating; NaN counts as absent). Absent (nullptr)
// or not a number gives opaque white.
draw::Color color(const host::EncodableValue* value);

}  // namespace velmo
