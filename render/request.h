// A "render" call's arguments, read once into a plain value. Reading is not checking: every
// field holds what the argument map says after the reading rules (a wrong type is absent and
// takes its default); render() checks the fields in its own order, so that the first failing
// step decides the message.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "draw/stroke.h"
#include "draw/watermark.h"
#include "host/encodable_value.h"

namespace velmo {

inline constexpr int64_t kDefaultMaxFileBytes = 8'388'608;

struct RenderRequest {
  // nullopt when the map is empty or "destination" is not a string.
  std::optional<std::string> destination;
  // "width" and "height" truncated toward zero; 0 when absent.
  int64_t width = 0;
  int64_t height = 0;
  // The recipe's "crop" (0, 0, 1, 1 when absent), unchecked.
  std::vector<double> crop{0, 0, 1, 1};
  // The recipe's "quarterTurns" normalised to 0..3.
  int turns = 0;
  // The recipe's "strokes", in order (empty when absent or when one element is not a map).
  std::vector<draw::Stroke> strokes;
  // The recipe's "watermark", or nullopt when it is switched off.
  std::optional<draw::Watermark> watermark;
  // "referenceWidth" and "referenceHeight" (the output size when absent), unchecked.
  double referenceWidth = 0;
  double referenceHeight = 0;
  int64_t maxFileBytes = kDefaultMaxFileBytes;
};

RenderRequest readRenderRequest(const host::EncodableMap& arguments);

}  // namespace velmo
