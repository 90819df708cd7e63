// Decoded pixels as the render path keeps them.
//
// One uint32 per pixel, 0xAARRGGBB in native byte order with premultiplied alpha: the layout
// of Cairo's ARGB32 (and of RGB24, which ignores the top byte), so a bitmap is drawn without
// conversion. Opaque bitmaps hold alpha 0xFF. Rows are packed (stride = width).
// hasAlpha is the alpha kind the file declares (PNG colour type or tRNS, GIF transparency,
// WebP or HEIF alpha; never JPEG), not the result of scanning the pixels.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/checked.h"

namespace velmo::platform {

// A read-only look at pixels in the Bitmap layout, possibly with padded rows (a Cairo
// surface's data, say).
struct BitmapView {
  const uint32_t* pixels = nullptr;
  uint32_t width = 0;
  uint32_t height = 0;
  size_t strideBytes = 0;
  bool hasAlpha = false;

  const uint32_t* row(uint32_t y) const {
    return reinterpret_cast<const uint32_t*>(reinterpret_cast<const uint8_t*>(pixels) +
                                             y * strideBytes);
  }
};

class Bitmap {
 public:
  Bitmap() = default;
  // Uninitialised pixels. Throws std::bad_alloc (or bad_array_new_length) when the size
  // cannot be held.
  Bitmap(uint32_t width, uint32_t height, bool hasAlpha)
      : width_(width),
        height_(height),
        hasAlpha_(hasAlpha),
        pixels_(std::make_unique_for_overwrite<uint32_t[]>(checkedMul(width, height))) {}

  uint32_t width() const { return width_; }
  uint32_t height() const { return height_; }
  bool hasAlpha() const { return hasAlpha_; }
  bool empty() const { return !pixels_; }

  uint32_t* data() { return pixels_.get(); }
  const uint32_t* data() const { return pixels_.get(); }
  uint32_t* row(uint32_t y) { return pixels_.get() + size_t{y} * width_; }
  const uint32_t* row(uint32_t y) const { return pixels_.get() + size_t{y} * width_; }
  size_t strideBytes() const { return size_t{width_} * 4; }

  BitmapView view() const { return {pixels_.get(), width_, height_, strideBytes(), hasAlpha_}; }

 private:
  uint32_t width_ = 0;
  uint32_t height_ = 0;
  bool hasAlpha_ = false;
  std::unique_ptr<uint32_t[]> pixels_;
};

// x * a / 255 rounded to nearest, as pixman rounds it, for x and a within 0 to 255: the one
// 8-bit product every pixel operation uses. Static, so that each file gets its own copy: the
// brush's loops built for a wider instruction set (draw/brush_avx2.cpp) must not leave a copy
// the linker could pick for the rest of the program.
static inline uint32_t multiplyBytes(uint32_t x, uint32_t a) {
  const uint32_t t = x * a + 0x80;
  return ((t >> 8) + t) >> 8;
}

// Packs 8-bit straight (unpremultiplied) RGBA into one premultiplied pixel.
inline uint32_t premultiply(uint32_t r, uint32_t g, uint32_t b, uint32_t a) {
  if (a == 255) return 0xFF000000u | (r << 16) | (g << 8) | b;
  return (a << 24) | (multiplyBytes(r, a) << 16) | (multiplyBytes(g, a) << 8) | multiplyBytes(b, a);
}

// Premultiplies a straight 0xAARRGGBB pixel.
inline uint32_t premultiplyArgb(uint32_t argb) {
  return premultiply((argb >> 16) & 0xFF, (argb >> 8) & 0xFF, argb & 0xFF, argb >> 24);
}

// Straight colour from a premultiplied sample (alpha above 0), rounded to nearest. Well-formed
// data never has a colour above its alpha; the clamp keeps malformed pixels in range.
inline uint8_t unpremultiply(uint32_t value, uint32_t alpha) {
  const uint32_t straight = (value * 255 + alpha / 2) / alpha;
  return static_cast<uint8_t>(straight < 255 ? straight : 255);
}

// |count| pixels as straight 8-bit R, G, B, A bytes. Fully transparent pixels give 0, 0, 0, 0.
inline void unpremultiplyRow(const uint32_t* pixels, uint32_t count, uint8_t* rgba) {
  for (uint32_t x = 0; x < count; ++x, rgba += 4) {
    const uint32_t p = pixels[x];
    const uint32_t a = p >> 24;
    const uint32_t r = (p >> 16) & 0xFF, g = (p >> 8) & 0xFF, b = p & 0xFF;
    if (a == 255) {
      rgba[0] = static_cast<uint8_t>(r);
      rgba[1] = static_cast<uint8_t>(g);
      rgba[2] = static_cast<uint8_t>(b);
    } else if (a == 0) {
      rgba[0] = rgba[1] = rgba[2] = 0;
    } else {
      rgba[0] = unpremultiply(r, a);
      rgba[1] = unpremultiply(g, a);
      rgba[2] = unpremultiply(b, a);
    }
    rgba[3] = static_cast<uint8_t>(a);
  }
}

}  // namespace velmo::platform
