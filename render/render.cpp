#include "render/render.h"

#include <algorithm>
#include <array>
#include <iomanip>
#include <new>
#include <optional>
#include <span>
#include <sstream>
#include <string>

#include "codec/image_decoder.h"
#include "codec/window_decoder.h"
#include "draw/blur.h"
#include "draw/canvas.h"
#include "method/arguments.h"
#include "method/error.h"
#include "platform/orientation.h"
#include "render/blur_engine.h"
#include "render/compose.h"
#include "render/crop_arithmetic.h"
#include "render/output.h"
#include "render/request.h"
#include "source/image_source.h"

namespace velmo::render {

using namespace std::string_literals;
namespace {

using platform::PixelRect;
using platform::PixelSize;

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

std::string number(double value) {
  std::ostringstream out;
  out << std::setprecision(10) << value;
  return out.str();
}

std::string cropText(std::span<const double> numbers) {
  std::string text = "[";
  for (size_t i = 0; i < numbers.size(); ++i) text += (i ? ", " : "") + number(numbers[i]);
  return text + "]";
}

std::string cropText(const draw::Rect& crop) {
  return cropText(std::array{crop.x, crop.y, crop.width, crop.height});
}

// The checks that need no file, made before the photo is opened. The reference size needs no
// file either, but it is checked after the decode: the first failing step in the contract's
// order decides the message.
void checkRequest(const RenderRequest& request, const host::EncodableMap& arguments) {
  if (!request.destination) {
    throw method::fail(method::messages::kNoDestination,
                       arguments.empty()
                           ? "the arguments are an empty map"
                           : method::describeMismatch(arguments, "destination", "a string"));
  }
  if (!outputSizeAllowed(request.width, request.height)) {
    throw method::fail(method::messages::kOutputOutOfRange,
                       "the output size "s + std::to_string(request.width) + " x " +
                           std::to_string(request.height) +
                           " (\"width\" x \"height\") is not within 1 to " +
                           std::to_string(kMaxSide) + " on each side and " +
                           std::to_string(kMaxArea) + " pixels in all");
  }
  if (const auto& numbers = request.miscountedCrop) {
    throw method::fail(method::messages::kInvalidCrop, "\"crop\" "s + cropText(*numbers) + " has " +
                                                           std::to_string(numbers->size()) +
                                                           " numbers, not 4 [x, y, width, height]");
  }
  const draw::Rect& crop = request.crop;
  if (!(crop.width > 0) || !(crop.height > 0)) {
    throw method::fail(method::messages::kInvalidCrop,
                       "the width and height of \"crop\" "s + cropText(crop) + " must be above 0");
  }
}

// Whether the photo laid upright and turned has the stored picture's width as its height.
bool transposed(const source::ImageSource& image, int turns) {
  return platform::orientationSwapsAxes(image.info.orientation.value_or(1)) != (turns % 2 == 1);
}

// The size of the full-resolution photo laid upright and turned: the pixels the crop
// fractions refer to.
PixelSize turnedSize(const source::ImageSource& image, const PixelSize& sourceSize, int turns) {
  return transposed(image, turns) ? PixelSize{sourceSize.height, sourceSize.width} : sourceSize;
}

const char* formatName(codec::ImageFormat format) {
  switch (format) {
    case codec::ImageFormat::Jpeg:
      return "JPEG";
    case codec::ImageFormat::Png:
      return "PNG";
    case codec::ImageFormat::Gif:
      return "GIF";
    case codec::ImageFormat::WebP:
      return "WebP";
    case codec::ImageFormat::Heif:
      return "HEIF";
  }
  return "image";
}

// The reason of a photo that did not decode: |what| the decoder was doing, then |why| (the
// decoding library's words where it gave any).
std::string undecodable(const source::ImageSource& image, const std::string& what,
                        const std::string& why) {
  std::string reason = image.file.path();
  reason.append(": the ").append(formatName(image.info.format)).append(" decoder could not ");
  return reason.append(what).append(": ").append(why);
}

// |stored| laid upright for EXIF |orientation| and turned clockwise by |turns|, in one
// permutation. Lack of memory for it is a photo that did not decode (|decodeFailure| says
// why), or, when a turn was asked for, a turned photo that could not be had.
platform::Bitmap laidOut(platform::Bitmap stored, int orientation, int turns,
                         const std::string& decodeFailure) {
  try {
    return platform::applyOrientation(std::move(stored),
                                      platform::turnedOrientation(orientation, turns));
  } catch (const std::bad_alloc&) {
    if (turns == 0) throw method::fail(method::messages::kCannotDecode, decodeFailure);
    throw method::fail(method::messages::kOutputOutOfRange,
                       "not enough memory for the turned photo");
  }
}

// Image 0 of the photo at no more resolution than the output needs, laid upright and turned
// in one permutation.
platform::Bitmap decodePhoto(const source::ImageSource& image, const PixelSize& sourceSize,
                             const RenderRequest& request) {
  const int64_t limit =
      decodeLimit(static_cast<double>(sourceSize.width), static_cast<double>(sourceSize.height),
                  request.width, request.height, request.crop.width, request.crop.height);
  const std::string what =
      "decode image 0 at up to "s + std::to_string(limit) + " pixels on its longer side";
  codec::Result<codec::StoredPicture> decoded =
      codec::decodeStoredThumbnail(image.file, image.info, static_cast<uint32_t>(limit));
  if (!decoded) {
    throw method::fail(method::messages::kCannotDecode,
                       undecodable(image, what, decoded.failure().detail));
  }
  return laidOut(std::move(decoded->pixels), decoded->orientation, request.turns,
                 undecodable(image, what, "not enough memory to lay it upright"));
}

// The crop of the upright, turned photo, as a window on it: no pixels are copied. The request is
// measured on the full-resolution photo as well (turned like the decoded one), so that a
// fraction too large for the photo fails even when the reduced decode keeps it finite.
platform::BitmapView cropPhoto(const platform::Bitmap& photo, const source::ImageSource& image,
                               const PixelSize& sourceSize, const RenderRequest& request) {
  const PixelSize full = turnedSize(image, sourceSize, request.turns);
  const draw::Rect& crop = request.crop;
  const auto region = cropEdgesFinite(full.width, full.height, crop)
                          ? cropRect(photo.width(), photo.height(), crop)
                          : std::nullopt;
  if (!region) {
    throw method::fail(method::messages::kInvalidCrop,
                       "\"crop\" "s + cropText(crop) + " does not fall on the " +
                           std::to_string(full.width) + " x " + std::to_string(full.height) +
                           " photo (laid upright and turned)");
  }
  return {photo.row(region->y) + region->x, region->width, region->height, photo.strideBytes(),
          photo.hasAlpha()};
}

// The photo as the canvas shows it: the crop of the upright, turned photo, and the size of
// that whole photo in the same pixels (for the strokes' widths).
struct ShownPhoto {
  platform::Bitmap pixels;
  platform::BitmapView cropped;
  double turnedWidth = 0;
  double turnedHeight = 0;
  // The crop at its own proportions, which the blur preview keeps: |cropped| may have been
  // decoded at another scale on each axis.
  PixelSize cropSize;
};

// A JPEG's crop decoded on its own: only the rows and columns of the stored frame that the
// crop shows, at no more resolution than the canvas needs, then laid upright and turned.
// nullopt when the crop has no place on the photo; the general path then reports the first
// failing step in its order.
std::optional<ShownPhoto> decodeJpegCrop(const source::ImageSource& image,
                                         const PixelSize& sourceSize,
                                         const RenderRequest& request) {
  const int orientation = platform::effectiveOrientation(image.info.orientation);
  const PixelSize full = turnedSize(image, sourceSize, request.turns);
  const auto shown = cropRect(full.width, full.height, request.crop);
  if (!shown) return std::nullopt;

  // The canvas size, or the crop's own where the canvas is larger: the canvas stretches the
  // rest.
  auto width = static_cast<uint32_t>(std::min<int64_t>(request.width, shown->width));
  auto height = static_cast<uint32_t>(std::min<int64_t>(request.height, shown->height));
  if (wantsBlur(request.strokes)) {
    // The blur preview is made at the crop's own proportions whatever the canvas's, so the
    // decode holds at least the preview's pixels on each axis.
    const PixelSize preview = draw::previewSize(shown->width, shown->height);
    width = std::max(width, preview.width);
    height = std::max(height, preview.height);
  }
  const PixelRect region =
      storedRegion(*shown, sourceSize.width, sourceSize.height, orientation, request.turns);
  const platform::PixelSize size =
      transposed(image, request.turns) ? PixelSize{height, width} : PixelSize{width, height};
  // Every failure, lack of memory included, is a photo that did not decode, as when the
  // whole photo is decoded.
  const auto frame = codec::openFrameWindow(image.file, image.info, codec::WindowUse::Picture);
  if (!frame) {
    throw method::fail(method::messages::kCannotDecode,
                       undecodable(image, "open its frame for the crop", frame.failure().detail));
  }
  if (uint64_t{region.x} + region.width > (*frame)->size().width ||
      uint64_t{region.y} + region.height > (*frame)->size().height) {
    throw method::fail(method::messages::kCannotDecode,
                       undecodable(image, "open its frame for the crop",
                                   "the crop does not lie within the decoded frame"));
  }
  auto decoded = (*frame)->readWindowShrunk(region, size);
  if (!decoded) {
    throw method::fail(method::messages::kCannotDecode,
                       undecodable(image, "read the crop", decoded.failure().detail));
  }

  ShownPhoto photo;
  photo.pixels = laidOut(std::move(*decoded), orientation, request.turns,
                         "not enough memory to lay the decoded crop upright");
  photo.cropped = photo.pixels.view();
  photo.turnedWidth = full.width;
  photo.turnedHeight = full.height;
  photo.cropSize = {shown->width, shown->height};
  return photo;
}

// Image 0 decoded whole (within the decode limit), laid upright, turned, and cropped.
ShownPhoto decodeAndCrop(const source::ImageSource& image, const PixelSize& sourceSize,
                         const RenderRequest& request) {
  ShownPhoto photo;
  photo.pixels = decodePhoto(image, sourceSize, request);
  photo.cropped = cropPhoto(photo.pixels, image, sourceSize, request);
  photo.turnedWidth = photo.pixels.width();
  photo.turnedHeight = photo.pixels.height();
  photo.cropSize = {photo.cropped.width, photo.cropped.height};
  return photo;
}

}  // namespace

host::EncodableMap render(const host::EncodableMap& arguments, const BlurEngine& blurEngine,
                          Diagnostics& diagnostics) {
  const RenderRequest request = readRenderRequest(arguments, diagnostics);
  checkRequest(request, arguments);

  if (!request.path) {
    throw method::fail(method::messages::kUnreadableImage,
                       method::describeMismatch(arguments, "path", "a string"));
  }
  const source::ImageSource image = source::source(*request.path);
  if (image.info.frameCount != 1) {
    throw method::fail(method::messages::kNotStillImage,
                       image.file.path() + " holds " + std::to_string(image.info.frameCount) +
                           " images; render takes a file of exactly one");
  }
  const PixelSize sourceSize = source::properties(image);

  std::optional<ShownPhoto> jpegCrop;
  if (image.info.format == codec::ImageFormat::Jpeg) {
    jpegCrop = decodeJpegCrop(image, sourceSize, request);
  }
  ShownPhoto photo = jpegCrop ? std::move(*jpegCrop) : decodeAndCrop(image, sourceSize, request);
  // The photo's declared alpha decides the canvas format and the output format.
  const bool alpha = photo.pixels.hasAlpha();
  const platform::BitmapView cropped = photo.cropped;

  if (!referenceSizeAllowed(request.referenceWidth, request.referenceHeight)) {
    throw method::fail(method::messages::kInvalidWatermarkSize,
                       "the reference size "s + number(request.referenceWidth) + " x " +
                           number(request.referenceHeight) +
                           " (\"referenceWidth\" x \"referenceHeight\") is not within (0, " +
                           std::to_string(kMaxSide) + "] on each side");
  }

  // One blur preview serves every blur stroke; none is made when no stroke asks for it.
  std::optional<platform::Bitmap> obscured;
  if (wantsBlur(request.strokes)) {
    obscured =
        blurEngine.context().obscuredPreview(cropped, photo.cropSize.width, photo.cropSize.height);
    if (!obscured) {
      throw method::fail(method::messages::kBlurFailed,
                         "the blur preview of the "s + std::to_string(cropped.width) + " x " +
                             std::to_string(cropped.height) +
                             " crop could not be made (not enough memory)");
    }
  }

  // From here on only memory can fail (the file write aside): the canvas, the drawing and the
  // encoding.
  return method::failWhenOutOfMemory(
      method::messages::kOutputOutOfRange, "the canvas, the drawing or the encoding", [&] {
        // A photo decoded to exactly the canvas is drawn on where it lies; anything else is
        // stretched onto a new canvas.
        const bool photoIsCanvas =
            cropped.pixels == photo.pixels.data() && cropped.width == photo.pixels.width() &&
            cropped.height == photo.pixels.height() && cropped.width == request.width &&
            cropped.height == request.height;
        draw::Canvas canvas = photoIsCanvas
                                  ? draw::Canvas(std::move(photo.pixels))
                                  : draw::Canvas(static_cast<uint32_t>(request.width),
                                                 static_cast<uint32_t>(request.height), alpha);
        compose(canvas, request,
                {cropped, photo.turnedWidth, photo.turnedHeight, obscured ? &*obscured : nullptr,
                 photoIsCanvas});
        photo.pixels = platform::Bitmap();  // the canvas holds all that is needed from here on
        obscured.reset();
        return write(canvas.view(), *request.destination, alpha, request.maxFileBytes);
      });
}

}  // namespace velmo::render
