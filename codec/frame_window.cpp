// Windows of GIF and HEIF frames. Neither library can decode part of a frame, so the frame is
// decoded whole when the reader opens (within the frame limits of checked.h) and windows are
// cut out of it in memory.
#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <vector>

#include "codec/internal/decoders.h"
#include "codec/internal/heif_input.h"
#include "codec/internal/library_owners.h"
#include "codec/window_decoder.h"
#include "platform/checked.h"
#include "platform/color_profile.h"

namespace velmo::platform {
namespace {

// A frame held whole in memory; the subclasses say how to read a run of its pixels.
class HeldFrameReader : public FrameWindowReader {
 public:
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
      image.pixels.resize(checkedMul(image.rowBytes, window.height));
      std::vector<uint8_t> rgba(checkedMul(window.width, 4));
      std::vector<uint32_t> pixels;
      std::optional<ColorConverter> toSrgb;
      if (displayP3_) {
        // No profile to embed for these pixels: convert them instead.
        toSrgb = ColorConverter::displayP3();
        pixels.resize(window.width);
      }
      for (uint32_t y = 0; y < window.height; ++y) {
        if (toSrgb) {
          Bitmap run(window.width, 1, hasAlpha_);
          pixelRow(window.y + y, window.x, window.width, run.data());
          toSrgb->convert(run);
          unpremultiplyRow(run.data(), window.width, rgba.data());
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
      return WindowFailure::Unreadable;
    }
  }

  WindowResult<Bitmap> readWindowShrunk(const PixelRect& window, PixelSize size) override {
    const auto made = window_detail::WindowShrinker::make(window.size(), size, hasAlpha_);
    if (!made) return WindowFailure::ScalerSetup;
    auto& shrinker = *made;
    try {
      std::vector<uint32_t> row(window.width);
      for (uint32_t y = 0; y < window.height; ++y) {
        pixelRow(window.y + y, window.x, window.width, row.data());
        shrinker.pushRow(row.data());
      }
    } catch (const std::bad_alloc&) {
      return WindowFailure::Scaling;
    }
    auto result = shrinker.finish(icc_, false);
    if (auto* bitmap = std::get_if<Bitmap>(&result); bitmap && displayP3_) {
      if (auto toSrgb = ColorConverter::displayP3()) toSrgb->convert(*bitmap);
    }
    return result;
  }

 protected:
  // |count| pixels of row |y| from column |x|, as straight RGBA samples.
  virtual void straightRow(uint32_t y, uint32_t x, uint32_t count, uint8_t* rgba) const = 0;
  // The same pixels in the Bitmap layout (premultiplied).
  virtual void pixelRow(uint32_t y, uint32_t x, uint32_t count, uint32_t* out) const = 0;

  uint32_t width_ = 0;
  uint32_t height_ = 0;
  bool hasAlpha_ = false;
  // The colour space of the pixels: an ICC profile, or Display P3 given by an nclx
  // description; neither means sRGB.
  std::vector<uint8_t> icc_;
  bool displayP3_ = false;
};

// GIF: frame 0 composited on the logical screen by the full-image decoder, kept at full
// size. Its alpha is 0 or 255, so the premultiplied pixels give the straight ones exactly.
class GifWindowReader final : public HeldFrameReader {
 public:
  bool open(const InputFile& file) {
    frame_ = detail::decodeGif(file, std::numeric_limits<uint32_t>::max());
    if (!frame_) return false;
    width_ = frame_->width();
    height_ = frame_->height();
    hasAlpha_ = frame_->hasAlpha();
    return true;
  }

 private:
  void straightRow(uint32_t y, uint32_t x, uint32_t count, uint8_t* rgba) const override {
    unpremultiplyRow(frame_->row(y) + x, count, rgba);
  }
  void pixelRow(uint32_t y, uint32_t x, uint32_t count, uint32_t* out) const override {
    std::memcpy(out, frame_->row(y) + x, size_t{count} * 4);
  }

  std::optional<Bitmap> frame_;
};

// HEIF: the primary image decoded in its stored grid (irot, imir and clap ignored), so that
// windows address the same pixels as the stored size does; any libheif error is a failure.
class HeifWindowReader final : public HeldFrameReader {
 public:
  bool open(const InputFile& file) {
    const std::unique_ptr<HeifFile> heif = HeifFile::open(file, kMaxHeifItemSide);
    if (!heif) return false;
    const HeifImageHandle handle = heif->primaryImage();
    if (!handle) return false;
    if (!heifSizeWithinLimits(heif_image_handle_get_ispe_width(handle.get()),
                              heif_image_handle_get_ispe_height(handle.get()))) {
      return false;
    }
    pixels_ = HeifPixels::decode(handle.get(), false);
    if (!pixels_) return false;
    HeifColor color = heifColor(handle.get());
    icc_ = std::move(color.icc);
    displayP3_ = color.displayP3;
    width_ = pixels_->width();
    height_ = pixels_->height();
    hasAlpha_ = pixels_->hasAlpha();
    return true;
  }

 private:
  void straightRow(uint32_t y, uint32_t x, uint32_t count, uint8_t* rgba) const override {
    if (pixels_->premultiplied()) {
      std::vector<uint32_t> pixels(count);
      pixels_->pixelRow(y, x, count, pixels.data());
      unpremultiplyRow(pixels.data(), count, rgba);
      return;
    }
    const uint8_t* s = pixels_->at(y, x);
    const uint32_t channels = hasAlpha_ ? 4 : 3;
    for (uint32_t i = 0; i < count; ++i, s += channels, rgba += 4) {
      rgba[0] = s[0];
      rgba[1] = s[1];
      rgba[2] = s[2];
      rgba[3] = hasAlpha_ ? s[3] : 255;
    }
  }

  void pixelRow(uint32_t y, uint32_t x, uint32_t count, uint32_t* out) const override {
    pixels_->pixelRow(y, x, count, out);
  }

  std::optional<HeifPixels> pixels_;
};

}  // namespace

std::unique_ptr<FrameWindowReader> openGifWindow(const InputFile& file) {
  auto reader = std::make_unique<GifWindowReader>();
  if (!reader->open(file)) return nullptr;
  return reader;
}

std::unique_ptr<FrameWindowReader> openHeifWindow(const InputFile& file) {
  auto reader = std::make_unique<HeifWindowReader>();
  if (!reader->open(file)) return nullptr;
  return reader;
}

}  // namespace velmo::platform
