#include "render/request.h"

#include "method/arguments.h"
#include "render/geometry.h"
#include "render/strokes.h"
#include "render/watermark.h"

namespace velmo {

RenderRequest readRenderRequest(const host::EncodableMap& arguments) {
  RenderRequest request;
  if (!arguments.empty()) request.destination = readString(arguments, "destination");
  request.width = readTruncatedInt64(arguments, "width").value_or(0);
  request.height = readTruncatedInt64(arguments, "height").value_or(0);

  if (const host::EncodableMap* recipe = readMap(arguments, "recipe")) {
    if (auto crop = readNumberList(*recipe, "crop")) request.crop = std::move(*crop);
    request.turns = normalizeTurns(readCount(*recipe, "quarterTurns").value_or(0));
    if (auto strokes = readMapList(*recipe, "strokes")) request.strokes = readStrokes(*strokes);
    request.watermark = readWatermark(readMap(*recipe, "watermark"));
  }

  request.referenceWidth =
      readDouble(arguments, "referenceWidth").value_or(static_cast<double>(request.width));
  request.referenceHeight =
      readDouble(arguments, "referenceHeight").value_or(static_cast<double>(request.height));
  request.maxFileBytes =
      readTruncatedInt64(arguments, "maxFileBytes").value_or(kDefaultMaxFileBytes);
  return request;
}

}  // namespace velmo
