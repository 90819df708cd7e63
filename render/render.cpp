#include "render/render.h"

#include <algorithm>
#include <optional>
#include <string>

#include "codec/image_decoder.h"
#include "draw/canvas.h"
#include "method/error.h"
#include "platform/orientation.h"
#include "render/compose.h"
#include "render/geometry.h"
#include "render/output.h"
#include "render/request.h"
#include "render/strokes.h"
#include "source/image_source.h"

namespace velmo {
namespace {

// The output size, checked side by side before the area so the product cannot overflow.
bool outputSizeAllowed(int64_t width, int64_t height) {
  if (width < 1 || height < 1) return false;
  if (std::max(width, height) > kMaxSide) return false;
  return width * height <= kMaxArea;
}

bool referenceSizeAllowed(double width, double height) {
  // NaN fails every comparison.
  return width > 0 && height > 0 && width <= kMaxSide && height <= kMaxSide;
}

// Checks that need no file come first, so a bad request never touches the photo.
void checkRequest(const RenderRequest& request) {
  if (!request.destination) throw fail(messages::kNoDestination);
  if (!outputSizeAllowed(request.width, request.height)) throw fail(messages::kOutputOutOfRange);
  const auto& crop = request.crop;
  if (crop.size() != 4 || !(crop[2] > 0) || !(crop[3] > 0)) throw fail(messages::kInvalidCrop);
}

// Image 0 of the photo, decoded upright at no more resolution than the output needs.
platform::Bitmap decodePhoto(const ImageSource& image, const PixelSize& sourceSize,
                             const RenderRequest& request) {
  const int64_t limit =
      decodeLimit(static_cast<double>(sourceSize.width), static_cast<double>(sourceSize.height),
                  request.width, request.height, request.crop[2], request.crop[3]);
  std::optional<platform::Bitmap> decoded =
      platform::decodeThumbnail(image.file, image.info, static_cast<uint32_t>(limit));
  if (!decoded) throw fail(messages::kCannotDecode);
  return std::move(*decoded);
}

// The crop of the oriented photo, as a window on it: no pixels are copied. The request is
// measured on the full-resolution photo as well (turned like the decoded one), so that a
// fraction too large for the photo fails even when the reduced decode keeps it finite.
platform::BitmapView cropPhoto(const platform::Bitmap& oriented, const ImageSource& image,
                               const PixelSize& sourceSize, const RenderRequest& request) {
  const bool transposed = platform::orientationSwapsAxes(image.info.orientation.value_or(1)) !=
                          (request.turns % 2 == 1);
  const double fullWidth = static_cast<double>(transposed ? sourceSize.height : sourceSize.width);
  const double fullHeight = static_cast<double>(transposed ? sourceSize.width : sourceSize.height);
  const auto& c = request.crop;
  const auto region = cropEdgesFinite(fullWidth, fullHeight, c[0], c[1], c[2], c[3])
                          ? cropRect(oriented.width(), oriented.height(), c[0], c[1], c[2], c[3])
                          : std::nullopt;
  if (!region) throw fail(messages::kInvalidCrop);
  return {oriented.row(region->y) + region->x, region->width, region->height,
          oriented.strideBytes(), oriented.hasAlpha()};
}

}  // namespace

host::EncodableMap render(const host::EncodableMap& arguments, BlurContext& blurContext) {
  const RenderRequest request = readRenderRequest(arguments);
  checkRequest(request);

  const ImageSource image = source(arguments);
  if (image.info.frameCount != 1) throw fail(messages::kNotStillImage);
  const PixelSize sourceSize = properties(image);

  platform::Bitmap oriented = decodePhoto(image, sourceSize, request);
  // The photo's declared alpha decides the canvas format and the output format.
  const bool alpha = oriented.hasAlpha();
  if (request.turns != 0) {
    oriented = failWhenOutOfMemory(messages::kOutputOutOfRange,
                                   [&] { return rotate(oriented, request.turns); });
  }
  const platform::BitmapView cropped = cropPhoto(oriented, image, sourceSize, request);

  if (!referenceSizeAllowed(request.referenceWidth, request.referenceHeight)) {
    throw fail(messages::kInvalidWatermarkSize);
  }

  // One blur preview serves every blur stroke; none is made when no stroke asks for it.
  std::optional<platform::Bitmap> obscured;
  if (wantsBlur(request.strokes)) {
    obscured = blurContext.obscuredPreview(cropped);
    if (!obscured) throw fail(messages::kBlurFailed);
  }

  // From here on only memory can fail (the file write aside): the canvas, the drawing and the
  // encoding.
  return failWhenOutOfMemory(messages::kOutputOutOfRange, [&] {
    draw::Canvas canvas(static_cast<uint32_t>(request.width), static_cast<uint32_t>(request.height),
                        alpha);
    compose(canvas, request,
            {cropped, static_cast<double>(oriented.width()), static_cast<double>(oriented.height()),
             obscured ? &*obscured : nullptr});
    oriented = platform::Bitmap();  // the canvas holds all that is needed from here on
    obscured.reset();
    return write(canvas.view(), *request.destination, alpha, request.maxFileBytes);
  });
}

}  // namespace velmo
