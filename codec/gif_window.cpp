// Windows of GIF frames: frame 0 as the full decoder composites it, held whole.
#include <cstring>
#include <limits>
#include <memory>
#include <optional>

#include "codec/internal/decoders.h"
#include "codec/internal/held_frame_reader.h"

namespace velmo::codec {
namespace {

// GIF: frame 0 composited on its canvas by the full-image decoder, kept at full size. Its alpha is
// 0 or 255, so the premultiplied pixels give the straight ones exactly.
class GifWindowReader final : public HeldFrameReader {
 public:
  Status open(const platform::InputFile& file) {
    Result<platform::Bitmap> frame = detail::decodeGif(file, std::numeric_limits<uint32_t>::max());
    if (!frame) return frame.failure();
    frame_ = std::move(*frame);
    size_ = {frame_->width(), frame_->height()};
    hasAlpha_ = frame_->hasAlpha();
    return {};
  }

 private:
  void straightRow(uint32_t y, uint32_t x, uint32_t count, uint8_t* rgba) const override {
    platform::unpremultiplyRow(frame_->row(y) + x, count, rgba);
  }
  void pixelRow(uint32_t y, uint32_t x, uint32_t count, uint32_t* out) const override {
    std::memcpy(out, frame_->row(y) + x, size_t{count} * 4);
  }

  std::optional<platform::Bitmap> frame_;
};

}  // namespace

Result<std::unique_ptr<FrameWindowReader>> openGifWindow(const platform::InputFile& file) {
  return openHeldFrame<GifWindowReader>(file);
}

}  // namespace velmo::codec
