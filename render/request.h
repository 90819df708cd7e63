// A "render" call's arguments, read once into a plain value, in this one place. Reading is not
// checking: every field holds what the argument map says after the reading rules (a wrong type
// is absent and takes its default); render() checks the fields in its own order, so that the
// first failing step decides the message.
//
// What the rules forgive quietly (a key of the wrong type, an unknown key, a shape or style
// that does not exist, a fraction where a whole number belongs) is read exactly as the rules
// say, and a warning for developers that names the key, the value and what was done instead
// goes to the call's diagnostics.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "draw/geometry.h"
#include "draw/stroke.h"
#include "draw/watermark.h"
#include "host/encodable_value.h"
#include "method/diagnostics.h"

namespace velmo::render {

inline constexpr int64_t kDefaultMaxFileBytes = 8'388'608;

struct RenderRequest {
  // "path" as given (nullopt when not a string); opened by source().
  std::optional<std::string> path;
  // nullopt when the map is empty or "destination" is not a string.
  std::optional<std::string> destination;
  // "width" and "height" truncated toward zero; 0 when absent.
  int64_t width = 0;
  int64_t height = 0;
  // The recipe's "crop": fractions of the upright, turned photo (the whole photo when absent),
  // unchecked.
  draw::Rect crop{0, 0, 1, 1};
  // A "crop" list that does not hold exactly the 4 numbers [x, y, width, height], as given
  // (render() refuses it, naming its count); nullopt otherwise.
  std::optional<std::vector<double>> miscountedCrop;
  // The recipe's "quarterTurns" normalised to 0..3.
  int turns = 0;
  // The recipe's "strokes", in order (empty when absent or when one element is not a map).
  // Each stroke map is read by these rules:
  // - "points": a list whose every element is a list of numbers; of those, the two-element
  //   lists are the points [x, y], in order. Anything else gives no points at all.
  // - "colorARGB": a 32-bit 0xAARRGGBB number. Integers keep their low 32 bits, so the signed
  //   int32 form of 0xFF00FF00 (-16711936) and its int64 form (4278255360) are the same
  //   opaque green; a float64 is truncated toward zero first (saturating; NaN counts as
  //   absent). Absent or not a number gives opaque white.
  // - "widthFraction": a number, NaN kept; 0.006 when absent or not a number.
  // - "shape": a string naming the figure, compared exactly: "blur"; "rectangle" or "rect";
  //   "circle" or "oval"; "line"; "arrow"; anything else, or no string, is freehand.
  std::vector<draw::Stroke> strokes;
  // The recipe's "watermark", or nullopt when it is off: no map, "enabled" not the boolean
  // true, or "text" not a string or empty. Other keys take their defaults when absent or of
  // the wrong type; "gradientColors" counts only as a list of two or more numbers.
  std::optional<draw::Watermark> watermark;
  // "referenceWidth" and "referenceHeight" (the output size when absent), unchecked.
  double referenceWidth = 0;
  double referenceHeight = 0;
  int64_t maxFileBytes = kDefaultMaxFileBytes;
};

// Reads |arguments|; warnings go to |diagnostics|.
RenderRequest readRenderRequest(const host::EncodableMap& arguments, Diagnostics& diagnostics);

// Whether some stroke has the shape "blur" (its name exactly): such a render needs the blur
// preview, whatever the stroke's points.
bool wantsBlur(const std::vector<draw::Stroke>& strokes);

}  // namespace velmo::render
