#include "codec/internal/held_frame_reader.h"

#include <cstring>
#include <new>
#include <optional>
#include <vector>

#include "codec/internal/window_detail.h"
#include "platform/checked.h"
#include "platform/color_profile.h"

namespace velmo::codec {

Result<PngImage> HeldFrameReader::readWindow(const platform::PixelRect& window) {
  try {
    const uint32_t channels = hasAlpha_ ? 4 : 3;
    PngImage image =
        window_detail::eightBitImage(window, hasAlpha_ ? PngColorType::Rgba : PngColorType::Rgb);
    std::vector<uint8_t> rgba(platform::checkedMul(window.width, 4));
    std::optional<platform::ColorConverter> toSrgb;
    // No profile to embed for these pixels: convert them instead.
    if (displayP3_) toSrgb = platform::ColorConverter::displayP3();
    for (uint32_t y = 0; y < window.height; ++y) {
      if (toSrgb) {
        platform::Bitmap run(window.width, 1, hasAlpha_);
        pixelRow(window.y + y, window.x, window.width, run.data());
        toSrgb->convert(run);
        platform::unpremultiplyRow(run.data(), window.width, rgba.data());
      } else {
        straightRow(window.y + y, window.x, window.width, rgba.data());
      }
      uint8_t* out = image.pixels.data() + size_t{y} * image.rowBytes;
      for (uint32_t x = 0; x < window.width; ++x) {
        std::memcpy(out + size_t{x} * channels, rgba.data() + size_t{x} * 4, channels);
      }
    }
    if (window_detail::iccDescribes(icc_, "RGB ")) image.icc = icc_;
    return image;
  } catch (const std::bad_alloc&) {
    return unreadable("out of memory");
  }
}

Result<platform::Bitmap> HeldFrameReader::readWindowShrunk(const platform::PixelRect& window,
                                                           platform::PixelSize size) {
  const auto made = window_detail::WindowShrinker::make(window.size(), size, hasAlpha_);
  if (!made) return window_detail::scalerSetup();
  auto& shrinker = *made;
  try {
    std::vector<uint32_t> row(window.width);
    for (uint32_t y = 0; y < window.height; ++y) {
      pixelRow(window.y + y, window.x, window.width, row.data());
      shrinker.pushRow(row.data());
    }
  } catch (const std::bad_alloc&) {
    return window_detail::scalingFailure();
  }
  auto result = shrinker.finish(icc_, false);
  if (result && displayP3_) {
    if (auto toSrgb = platform::ColorConverter::displayP3()) toSrgb->convert(*result);
  }
  return result;
}

}  // namespace velmo::codec
