// Windows of HEIF frames: the primary image in its stored grid, held whole.
#include <memory>
#include <optional>
#include <vector>

#include "codec/internal/heif_input.h"
#include "codec/internal/held_frame_reader.h"
#include "codec/internal/library_owners.h"

namespace velmo::codec {
namespace {

// HEIF: the primary image decoded in its stored grid (irot and imir ignored) and cut to its
// clean aperture, so that windows address the same pixels as the stored size does and never
// the coded padding beyond the picture; any libheif error is a failure.
class HeifWindowReader final : public HeldFrameReader {
 public:
  Status open(const platform::InputFile& file) {
    Result<std::unique_ptr<HeifFile>> heif = HeifFile::open(file, kMaxHeifItemSide);
    if (!heif) return heif.failure();
    const HeifImageHandle handle = (*heif)->primaryImage();
    if (!handle) return unreadable(kNoPrimaryImage);
    if (!heifSizeWithinLimits(heif_image_handle_get_ispe_width(handle.get()),
                              heif_image_handle_get_ispe_height(handle.get()))) {
      return heifOverLimits(handle.get());
    }
    Result<HeifPixels> pixels = HeifPixels::decode(handle.get(), false);
    if (!pixels) return pixels.failure();
    pixels_ = std::move(*pixels);
    HeifColor color = heifColor(handle.get());
    icc_ = std::move(color.icc);
    displayP3_ = color.displayP3;
    // libheif ignores the clean aperture along with the turns; it is cut here.
    aperture_ = heifStoredCleanAperture(file, {pixels_->width(), pixels_->height()});
    size_ = aperture_.size();
    hasAlpha_ = pixels_->hasAlpha();
    return {};
  }

 private:
  void straightRow(uint32_t y, uint32_t x, uint32_t count, uint8_t* rgba) const override {
    x += aperture_.x;
    y += aperture_.y;
    if (pixels_->premultiplied()) {
      std::vector<uint32_t> pixels(count);
      pixels_->pixelRow(y, x, count, pixels.data());
      platform::unpremultiplyRow(pixels.data(), count, rgba);
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
    pixels_->pixelRow(y + aperture_.y, x + aperture_.x, count, out);
  }

  std::optional<HeifPixels> pixels_;
  platform::PixelRect aperture_;  // the part of the decoded grid that is the picture
};

}  // namespace

Result<std::unique_ptr<FrameWindowReader>> openHeifWindow(const platform::InputFile& file) {
  return openHeldFrame<HeifWindowReader>(file);
}

}  // namespace velmo::codec
