// Windows of WebP frames. libwebp crops while it decodes, so only the window's part of the
// frame is turned into pixels. An animation's first frame may cover part of the canvas only;
// the rest of the window is transparent, as on a fresh canvas.
#include <webp/decode.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>
#include <optional>
#include <vector>

#include "codec/internal/library_owners.h"
#include "codec/window_decoder.h"
#include "platform/checked.h"

namespace velmo::platform {
namespace {

// libwebp decodes from memory, so the file is read whole; the format caps the canvas at
// 16384 x 16384, and real files are far below this.
constexpr uint64_t kMaxWebPFileBytes = uint64_t{256} << 20;

class WebPWindowReader final : public FrameWindowReader {
 public:
  bool open(const InputFile& file) {
    auto bytes = file.readAll(kMaxWebPFileBytes);
    if (!bytes) return false;
    bytes_ = std::move(*bytes);
    WebPBitstreamFeatures features;
    if (WebPGetFeatures(bytes_.data(), bytes_.size(), &features) != VP8_STATUS_OK) return false;
    const WebPData data{bytes_.data(), bytes_.size()};
    const WebPDemuxHandle demux(WebPDemux(&data));
    if (!demux) return false;
    width_ = WebPDemuxGetI(demux.get(), WEBP_FF_CANVAS_WIDTH);
    height_ = WebPDemuxGetI(demux.get(), WEBP_FF_CANVAS_HEIGHT);
    if (!frameWithinLimits(width_, height_)) return false;
    hasAlpha_ = features.has_alpha != 0;

    if (WebPDemuxGetI(demux.get(), WEBP_FF_FORMAT_FLAGS) & ICCP_FLAG) {
      WebPChunkIterator chunk;
      if (WebPDemuxGetChunk(demux.get(), "ICCP", 1, &chunk)) {
        icc_.assign(chunk.chunk.bytes, chunk.chunk.bytes + chunk.chunk.size);
        WebPDemuxReleaseChunkIterator(&chunk);
      }
    }

    // The bitstream of frame 0 and where it lies on the canvas. The fragment points into
    // |bytes_|, which the reader keeps.
    WebPIterator frame;
    if (!WebPDemuxGetFrame(demux.get(), 1, &frame)) return false;
    fragment_ = frame.fragment.bytes;
    fragmentSize_ = frame.fragment.size;
    frameLeft_ = static_cast<uint32_t>(frame.x_offset);
    frameTop_ = static_cast<uint32_t>(frame.y_offset);
    frameWidth_ = static_cast<uint32_t>(frame.width);
    frameHeight_ = static_cast<uint32_t>(frame.height);
    WebPDemuxReleaseIterator(&frame);
    return frameWithinLimits(frameWidth_, frameHeight_) &&
           uint64_t{frameLeft_} + frameWidth_ <= width_ &&
           uint64_t{frameTop_} + frameHeight_ <= height_;
  }

  uint32_t width() const override { return width_; }
  uint32_t height() const override { return height_; }

  WindowResult<PngImage> readWindow(const PixelRect& window) override {
    try {
      const uint32_t channels = hasAlpha_ ? 4 : 3;
      PngImage image;
      image.width = window.width;
      image.height = window.height;
      image.colorType = hasAlpha_ ? PngColorType::Rgba : PngColorType::Rgb;
      image.bitDepth = 8;
      image.rowBytes = checkedMul(window.width, channels);
      image.pixels.assign(checkedMul(image.rowBytes, window.height), 0);
      if (!decode(window, hasAlpha_ ? MODE_RGBA : MODE_RGB, channels, image.pixels.data(),
                  image.rowBytes)) {
        return WindowFailure::Unreadable;
      }
      if (window_detail::iccDescribes(icc_, "RGB ")) image.icc = icc_;
      return image;
    } catch (const std::bad_alloc&) {
      return WindowFailure::Unreadable;
    }
  }

  WindowResult<Bitmap> readWindowShrunk(const PixelRect& window, PixelSize size) override {
    const auto made = window_detail::WindowShrinker::make(window.size(), size, hasAlpha_);
    if (!made) return WindowFailure::ScalerSetup;
    auto& shrinker = *made;
    try {
      // Premultiplied B, G, R, A bytes are the Bitmap layout on little-endian machines.
      const WEBP_CSP_MODE mode = std::endian::native == std::endian::little ? MODE_bgrA : MODE_Argb;
      std::vector<uint32_t> pixels(checkedMul(window.width, window.height), 0);
      if (!decode(window, mode, 4, reinterpret_cast<uint8_t*>(pixels.data()),
                  size_t{window.width} * 4)) {
        return WindowFailure::Unreadable;
      }
      for (uint32_t y = 0; y < window.height; ++y) {
        shrinker.pushRow(pixels.data() + size_t{y} * window.width);
      }
    } catch (const std::bad_alloc&) {
      return WindowFailure::Unreadable;
    }
    return shrinker.finish(icc_, false);
  }

 private:
  // Decodes the part of |window| that frame 0 covers into |out| (|stride| bytes a row,
  // |bytesPerPixel| a pixel) in |mode|; the rest of |out| is left as it is (zero).
  bool decode(const PixelRect& window, WEBP_CSP_MODE mode, uint32_t bytesPerPixel, uint8_t* out,
              size_t stride) {
    const uint32_t left = std::max(window.x, frameLeft_);
    const uint32_t top = std::max(window.y, frameTop_);
    const uint32_t right = std::min(window.x + window.width, frameLeft_ + frameWidth_);
    const uint32_t bottom = std::min(window.y + window.height, frameTop_ + frameHeight_);
    if (right <= left || bottom <= top) return true;

    // libwebp moves a crop's left and top edges down to even numbers (chroma is stored at
    // half resolution) and keeps its size; ask for even edges and drop the extra pixels.
    const uint32_t cropX = left - frameLeft_;
    const uint32_t cropY = top - frameTop_;
    const uint32_t evenX = cropX & ~1u;
    const uint32_t evenY = cropY & ~1u;
    const uint32_t cropWidth = right - left + (cropX - evenX);
    const uint32_t cropHeight = bottom - top + (cropY - evenY);

    std::vector<uint8_t> decoded(checkedMul(cropWidth, cropHeight, bytesPerPixel));
    WebPDecoderConfig config;
    if (!WebPInitDecoderConfig(&config)) return false;
    config.options.use_threads = 0;
    config.options.use_cropping = 1;
    config.options.crop_left = static_cast<int>(evenX);
    config.options.crop_top = static_cast<int>(evenY);
    config.options.crop_width = static_cast<int>(cropWidth);
    config.options.crop_height = static_cast<int>(cropHeight);
    config.output.colorspace = mode;
    config.output.is_external_memory = 1;
    config.output.u.RGBA.rgba = decoded.data();
    config.output.u.RGBA.stride = static_cast<int>(size_t{cropWidth} * bytesPerPixel);
    config.output.u.RGBA.size = decoded.size();
    // Any status but OK fails, VP8_STATUS_NOT_ENOUGH_DATA (a truncated file) included.
    const VP8StatusCode status = WebPDecode(fragment_, fragmentSize_, &config);
    WebPFreeDecBuffer(&config.output);
    if (status != VP8_STATUS_OK) return false;

    const size_t runBytes = size_t{right - left} * bytesPerPixel;
    for (uint32_t y = 0; y < bottom - top; ++y) {
      const uint8_t* from =
          decoded.data() +
          (size_t{cropY - evenY + y} * cropWidth + (cropX - evenX)) * bytesPerPixel;
      uint8_t* to =
          out + size_t{top - window.y + y} * stride + size_t{left - window.x} * bytesPerPixel;
      std::memcpy(to, from, runBytes);
    }
    return true;
  }

  // Declared before anything pointing into it.
  std::vector<uint8_t> bytes_;
  const uint8_t* fragment_ = nullptr;
  size_t fragmentSize_ = 0;
  uint32_t width_ = 0;
  uint32_t height_ = 0;
  uint32_t frameLeft_ = 0;
  uint32_t frameTop_ = 0;
  uint32_t frameWidth_ = 0;
  uint32_t frameHeight_ = 0;
  bool hasAlpha_ = false;
  std::vector<uint8_t> icc_;
};

}  // namespace

std::unique_ptr<FrameWindowReader> openWebPWindow(const InputFile& file) {
  auto reader = std::make_unique<WebPWindowReader>();
  if (!reader->open(file)) return nullptr;
  return reader;
}

}  // namespace velmo::platform
