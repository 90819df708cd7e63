// Private to codec/. A window reader over a frame decoded whole when the reader opens (GIF
// and HEIF: neither library can decode part of a frame). The frame stays within the frame
// limits of checked.h; windows are cut out of it in memory.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "codec/window_decoder.h"

namespace velmo::codec {

// A frame held whole in memory; the subclasses say how to read a run of its pixels.
class HeldFrameReader : public FrameWindowReader {
 public:
  platform::PixelSize size() const override { return size_; }

  Result<PngImage> readWindow(const platform::PixelRect& window) override;
  Result<platform::Bitmap> readWindowShrunk(const platform::PixelRect& window,
                                            platform::PixelSize size) override;

 protected:
  // |count| pixels of row |y| from column |x|, as straight RGBA samples.
  virtual void straightRow(uint32_t y, uint32_t x, uint32_t count, uint8_t* rgba) const = 0;
  // The same pixels in the Bitmap layout (premultiplied).
  virtual void pixelRow(uint32_t y, uint32_t x, uint32_t count, uint32_t* out) const = 0;

  platform::PixelSize size_;
  bool hasAlpha_ = false;
  // The colour space of the pixels: an ICC profile, or Display P3 given by an nclx
  // description; neither means sRGB.
  std::vector<uint8_t> icc_;
  bool displayP3_ = false;
};

// A new |Reader| (a HeldFrameReader with Status open(const InputFile&)) opened on |file|, or
// why the frame cannot be decoded.
template <typename Reader>
Result<std::unique_ptr<FrameWindowReader>> openHeldFrame(const platform::InputFile& file) {
  auto reader = std::make_unique<Reader>();
  if (Status opened = reader->open(file); !opened) return opened.failure();
  return std::unique_ptr<FrameWindowReader>(std::move(reader));
}

}  // namespace velmo::codec
