// An offscreen drawing surface of an exact pixel size, origin top-left, y downward.
//
// Opaque canvases are Cairo RGB24, canvases with alpha ARGB32 (premultiplied), both treated
// as sRGB. Their pixels are in the Bitmap layout, so view() hands them to the encoders
// without a copy. Sides are limited to 16380 by the callers (Cairo's own limit is 32767).
#pragma once

#include <cstdint>

#include "draw/cairo_owners.h"
#include "platform/bitmap.h"

namespace velmo::draw {

using platform::Bitmap;
using platform::BitmapView;

// A Cairo image surface over pixels the caller owns (Bitmap layout, possibly a sub-rectangle
// of a larger bitmap through its stride). The pixels must outlive the surface.
CairoSurface wrapPixels(const BitmapView& pixels);

class Canvas {
 public:
  // Throws std::bad_alloc when the surface cannot be made.
  Canvas(uint32_t width, uint32_t height, bool hasAlpha);

  uint32_t width() const { return width_; }
  uint32_t height() const { return height_; }
  bool hasAlpha() const { return hasAlpha_; }
  cairo_t* context() { return context_.get(); }

  // Draws |image| stretched over the rectangle (0, 0, width, height) of the canvas with a
  // high-quality filter; edge pixels are repeated outward so the borders do not fade.
  void drawStretched(const BitmapView& image);

  // The pixels, after flushing pending drawing.
  BitmapView view();

 private:
  uint32_t width_;
  uint32_t height_;
  bool hasAlpha_;
  CairoSurface surface_;
  CairoContext context_;
};

}  // namespace velmo::draw
