// Windows of WebP frames. libwebp crops while it decodes, so only the window's part of the
// frame is turned into pixels. An animation's first frame may cover part of the canvas only;
// the rest of the window is transparent, as on a fresh canvas.
#include <algorithm>
#include <bit>
#include <cstring>
#include <new>
#include <optional>
#include <vector>

#include "codec/internal/webp_input.h"
#include "codec/internal/window_detail.h"
#include "codec/window_decoder.h"
#include "platform/checked.h"

namespace velmo::codec {
namespace {

class WebPWindowReader final : public FrameWindowReader {
 public:
  explicit WebPWindowReader(std::unique_ptr<WebPInput> webp) : webp_(std::move(webp)) {}

  platform::PixelSize size() const override { return webp_->canvas(); }

  Result<PngImage> readWindow(const platform::PixelRect& window) override {
    try {
      const bool hasAlpha = webp_->hasAlpha();
      const uint32_t channels = hasAlpha ? 4 : 3;
      PngImage image =
          window_detail::eightBitImage(window, hasAlpha ? PngColorType::Rgba : PngColorType::Rgb);
      if (Status decoded = decode(window, hasAlpha ? MODE_RGBA : MODE_RGB, channels,
                                  image.pixels.data(), image.rowBytes);
          !decoded) {
        return decoded.failure();
      }
      if (window_detail::iccDescribes(webp_->icc(), "RGB ")) image.icc = webp_->icc();
      return image;
    } catch (const std::bad_alloc&) {
      return outOfMemory();
    }
  }

  Result<platform::Bitmap> readWindowShrunk(const platform::PixelRect& window,
                                            platform::PixelSize size) override {
    const auto made = window_detail::WindowShrinker::make(window.size(), size, webp_->hasAlpha());
    if (!made) return window_detail::scalerSetup();
    auto& shrinker = *made;
    try {
      // Premultiplied B, G, R, A bytes are the Bitmap layout on little-endian machines.
      const WEBP_CSP_MODE mode = std::endian::native == std::endian::little ? MODE_bgrA : MODE_Argb;
      std::vector<uint32_t> pixels(platform::checkedMul(window.width, window.height), 0);
      if (Status decoded = decode(window, mode, 4, reinterpret_cast<uint8_t*>(pixels.data()),
                                  size_t{window.width} * 4);
          !decoded) {
        return decoded.failure();
      }
      for (uint32_t y = 0; y < window.height; ++y) {
        shrinker.pushRow(pixels.data() + size_t{y} * window.width);
      }
    } catch (const std::bad_alloc&) {
      return outOfMemory();
    }
    return shrinker.finish(webp_->icc(), false);
  }

 private:
  // Decodes the part of |window| that frame 0 covers into |out| (|stride| bytes a row,
  // |bytesPerPixel| a pixel) in |mode|; the rest of |out| is left as it is (zero).
  Status decode(const platform::PixelRect& window, WEBP_CSP_MODE mode, uint32_t bytesPerPixel,
                uint8_t* out, size_t stride) {
    const platform::PixelRect& frame = webp_->frame();
    const uint32_t left = std::max(window.x, frame.x);
    const uint32_t top = std::max(window.y, frame.y);
    const uint32_t right = std::min(window.x + window.width, frame.x + frame.width);
    const uint32_t bottom = std::min(window.y + window.height, frame.y + frame.height);
    if (right <= left || bottom <= top) return {};

    // libwebp moves a crop's left and top edges down to even numbers (chroma is stored at
    // half resolution) and keeps its size; ask for even edges and drop the extra pixels.
    const uint32_t cropX = left - frame.x;
    const uint32_t cropY = top - frame.y;
    const uint32_t evenX = cropX & ~1u;
    const uint32_t evenY = cropY & ~1u;
    const uint32_t cropWidth = right - left + (cropX - evenX);
    const uint32_t cropHeight = bottom - top + (cropY - evenY);

    std::vector<uint8_t> decoded(platform::checkedMul(cropWidth, cropHeight, bytesPerPixel));
    Status status =
        decodeWebPInto(webp_->frameBytes(), mode, decoded.data(), size_t{cropWidth} * bytesPerPixel,
                       decoded.size(), [&](WebPDecoderOptions& options) {
                         options.use_cropping = 1;
                         options.crop_left = static_cast<int>(evenX);
                         options.crop_top = static_cast<int>(evenY);
                         options.crop_width = static_cast<int>(cropWidth);
                         options.crop_height = static_cast<int>(cropHeight);
                       });
    if (!status) return status;

    const size_t runBytes = size_t{right - left} * bytesPerPixel;
    for (uint32_t y = 0; y < bottom - top; ++y) {
      const uint8_t* from =
          decoded.data() +
          (size_t{cropY - evenY + y} * cropWidth + (cropX - evenX)) * bytesPerPixel;
      uint8_t* to =
          out + size_t{top - window.y + y} * stride + size_t{left - window.x} * bytesPerPixel;
      std::memcpy(to, from, runBytes);
    }
    return {};
  }

  std::unique_ptr<WebPInput> webp_;
};

}  // namespace

Result<std::unique_ptr<FrameWindowReader>> openWebPWindow(const platform::InputFile& file) {
  return window_detail::readerOver<WebPWindowReader>(WebPInput::open(file));
}

}  // namespace velmo::codec
