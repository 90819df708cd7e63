// EXIF orientation: turning a decoded frame from its stored layout to the upright picture.
#pragma once

#include <cstdint>
#include <optional>

#include "platform/bitmap.h"

namespace velmo::platform {

// The EXIF orientation to apply: the stored value when it is 1 to 8, else 1 (no change).
// Values such as 0, 9 or 65535 are reported by "metadata" as stored but decode as 1.
int effectiveOrientation(std::optional<int64_t> stored);

// Whether |orientation| (1 to 8) exchanges width and height (5 to 8 do).
inline bool orientationSwapsAxes(int64_t orientation) {
  return orientation >= 5 && orientation <= 8;
}

// The orientation that lays a stored picture out as |orientation| (1 to 8; any other value
// counts as 1) and then turns it clockwise by |quarterTurns| (0 to 3): both in one
// permutation, for applyOrientation. The turns alone are orientations 6 (one), 3 (two) and
// 8 (three).
int turnedOrientation(int orientation, int quarterTurns);

// |stored| laid out upright for |orientation|: an exact permutation of its pixels, never
// resampled. Orientation 1 (and any value outside 1 to 8) returns |stored| itself.
//   2 mirror left-right      3 turn 180            4 mirror top-bottom
//   5 transpose              6 turn 90 clockwise   7 transverse         8 turn 90 anticlockwise
// Throws std::bad_alloc when the new bitmap cannot be held.
Bitmap applyOrientation(Bitmap stored, int orientation);

}  // namespace velmo::platform
