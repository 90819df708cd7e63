// The recipe's stroke maps read into plain strokes for drawing.
#pragma once

#include <vector>

#include "draw/stroke.h"
#include "host/encodable_value.h"

namespace velmo {

// One stroke map read by its rules:
// - "points": a list whose every element is a list of numbers; of those, the two-element
//   lists are the points [x, y], in order. Anything else gives no points at all.
// - "colorARGB": the colour (see render/color.h); opaque white when absent.
// - "widthFraction": a number, NaN kept; 0.006 when absent or not a number.
// - "shape": a string naming the figure, compared exactly: "blur"; "rectangle" or "rect";
//   "circle" or "oval"; "line"; "arrow"; anything else, or no string, is freehand.
draw::Stroke readStroke(const host::EncodableMap& map);

std::vector<draw::Stroke> readStrokes(const std::vector<const host::EncodableMap*>& maps);

// Whether some stroke has the shape "blur" (its name exactly): such a render needs the blur
// preview, whatever the stroke's points.
bool wantsBlur(const std::vector<draw::Stroke>& strokes);

}  // namespace velmo
