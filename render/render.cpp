#include "render/render.h"

#include <optional>
#include <string>
#include <vector>

#include "codec/image_decoder.h"
#include "draw/canvas.h"
#include "method/arguments.h"
#include "method/error.h"
#include "render/geometry.h"
#include "render/output.h"
#include "source/image_source.h"

namespace velmo {
namespace {

constexpr int64_t kDefaultMaxFileBytes = 8'388'608;

// The output size, checked side by side before the area so the product cannot overflow.
bool outputSizeAllowed(int64_t width, int64_t height) {
  if (width < 1 || height < 1) return false;
  if (std::max(width, height) > kMaxSide) return false;
  return width * height <= kMaxArea;
}

}  // namespace

host::EncodableMap render(const host::EncodableMap& arguments, BlurContext& /*blurContext*/) {
  // Checks that need no file come first, so a bad request never touches the photo.
  const auto destination = arguments.empty() ? std::nullopt : readString(arguments, "destination");
  if (!destination) throw fail(messages::kNoDestination);

  const int64_t outputWidth = readTruncatedInt64(arguments, "width").value_or(0);
  const int64_t outputHeight = readTruncatedInt64(arguments, "height").value_or(0);
  if (!outputSizeAllowed(outputWidth, outputHeight)) throw fail(messages::kOutputOutOfRange);

  static const host::EncodableMap kEmptyRecipe;
  const host::EncodableMap* recipe = readMap(arguments, "recipe");
  if (!recipe) recipe = &kEmptyRecipe;

  const std::vector<double> crop =
      readNumberList(*recipe, "crop").value_or(std::vector<double>{0, 0, 1, 1});
  // NaN fractions fail the comparisons too.
  if (crop.size() != 4 || !(crop[2] > 0) || !(crop[3] > 0)) throw fail(messages::kInvalidCrop);

  const ImageSource image = source(arguments);
  if (image.info.frameCount != 1) throw fail(messages::kNotStillImage);
  const PixelSize sourceSize = properties(image);

  const int64_t limit =
      decodeLimit(static_cast<double>(sourceSize.width), static_cast<double>(sourceSize.height),
                  outputWidth, outputHeight, crop[2], crop[3]);
  std::optional<platform::Bitmap> decoded =
      platform::decodeThumbnail(image.file, image.info, static_cast<uint32_t>(limit));
  if (!decoded) throw fail(messages::kCannotDecode);
  // The photo's declared alpha decides the canvas format and the output format.
  const bool alpha = decoded->hasAlpha();

  const int turns = normalizeTurns(readCount(*recipe, "quarterTurns").value_or(0));
  platform::Bitmap oriented = turns == 0 ? std::move(*decoded) : rotate(*decoded, turns);
  decoded.reset();

  // The photo's displayed size at full resolution, turned like the decoded image.
  const int64_t orientation = image.info.orientation.value_or(1);
  const bool transposed = (orientation >= 5 && orientation <= 8) != (turns % 2 == 1);
  const double fullWidth = static_cast<double>(transposed ? sourceSize.height : sourceSize.width);
  const double fullHeight = static_cast<double>(transposed ? sourceSize.width : sourceSize.height);
  const auto region =
      cropEdgesFinite(fullWidth, fullHeight, crop[0], crop[1], crop[2], crop[3])
          ? cropRect(oriented.width(), oriented.height(), crop[0], crop[1], crop[2], crop[3])
          : std::nullopt;
  if (!region) throw fail(messages::kInvalidCrop);
  // The cropped image is a window on the oriented one: no pixels are copied.
  const platform::BitmapView cropped{oriented.row(region->y) + region->x, region->width,
                                     region->height, oriented.strideBytes(), alpha};

  const double referenceWidth =
      readDouble(arguments, "referenceWidth").value_or(static_cast<double>(outputWidth));
  const double referenceHeight =
      readDouble(arguments, "referenceHeight").value_or(static_cast<double>(outputHeight));
  if (!(referenceWidth > 0) || !(referenceHeight > 0) || !(referenceWidth <= kMaxSide) ||
      !(referenceHeight <= kMaxSide)) {
    throw fail(messages::kInvalidWatermarkSize);
  }

  draw::Canvas canvas(static_cast<uint32_t>(outputWidth), static_cast<uint32_t>(outputHeight),
                      alpha);
  canvas.drawStretched(cropped);
  oriented = platform::Bitmap();  // the canvas holds all that is needed from here on

  const int64_t maxFileBytes =
      readTruncatedInt64(arguments, "maxFileBytes").value_or(kDefaultMaxFileBytes);
  return write(canvas.view(), *destination, alpha, maxFileBytes);
}

}  // namespace velmo
