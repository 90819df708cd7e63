#include <algorithm>
#include <cstring>
#include <new>

#include "codec/internal/probe_reader.h"
#include "codec/window_decoder.h"
#include "platform/checked.h"
#include "platform/color_profile.h"

namespace velmo::platform {

std::unique_ptr<FrameWindowReader> openFrameWindow(const InputFile& file, const ImageInfo& info) {
  // The probe has read the header already: a frame it cannot size, or one over the limits,
  // is refused before any decoder is set up.
  if (!info.pixelWidth || !info.pixelHeight ||
      !frameWithinLimits(*info.pixelWidth, *info.pixelHeight)) {
    return nullptr;
  }
  try {
    // So is a file cut short, even though the window might lie above the cut: a file that
    // does not decode whole yields no image.
    if (!probe::reachesItsEnd(file, info.format)) return nullptr;
    switch (info.format) {
      case ImageFormat::Jpeg:
        return openJpegWindow(file);
      case ImageFormat::Png:
        return openPngWindow(file);
      case ImageFormat::Gif:
        return openGifWindow(file);
      case ImageFormat::WebP:
        return openWebPWindow(file);
      case ImageFormat::Heif:
        return openHeifWindow(file);
    }
  } catch (const std::bad_alloc&) {
  }
  return nullptr;
}

namespace window_detail {

std::unique_ptr<WindowShrinker> WindowShrinker::make(PixelSize source, PixelSize target,
                                                     bool hasAlpha) {
  try {
    return std::make_unique<WindowShrinker>(
        AreaShrinker(source.width, source.height, target.width, target.height, hasAlpha));
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

WindowResult<Bitmap> WindowShrinker::finish(std::span<const uint8_t> icc, bool greyPixels) {
  try {
    Bitmap shrunk = shrinker_.finish();
    // Converting the shrunk tile rather than every decoded row costs at most 2048 x 2048
    // conversions, whatever the window's size.
    if (!icc.empty()) {
      if (auto converter = ColorConverter::fromIcc(icc, greyPixels)) converter->convert(shrunk);
    }
    return shrunk;
  } catch (const std::bad_alloc&) {
    return WindowFailure::Scaling;
  }
}

PngImage eightBitImage(const PixelRect& window, PngColorType type) {
  PngImage image;
  image.width = window.width;
  image.height = window.height;
  image.colorType = type;
  image.bitDepth = 8;
  image.rowBytes = checkedMul(window.width, pngChannels(type));
  image.pixels.assign(checkedMul(image.rowBytes, window.height), 0);
  return image;
}

bool iccDescribes(std::span<const uint8_t> icc, const char (&colorSpace)[5]) {
  // The data colour space signature sits at bytes 16 to 19 of the 128-byte header.
  return icc.size() >= 128 && std::memcmp(icc.data() + 16, colorSpace, 4) == 0;
}

}  // namespace window_detail

}  // namespace velmo::platform
