// Sizes and rectangles in whole pixels, as every layer uses them: the stored size of a frame,
// the size a decode or a tile comes out at, a window of a frame, the crop of a photo.
#pragma once

#include <cstdint>

namespace velmo::platform {

struct PixelSize {
  uint32_t width = 0;
  uint32_t height = 0;

  friend bool operator==(const PixelSize&, const PixelSize&) = default;
};

// A rectangle of whole pixels, its origin at the top-left; empty when a side is 0.
struct PixelRect {
  uint32_t x = 0;
  uint32_t y = 0;
  uint32_t width = 0;
  uint32_t height = 0;

  bool empty() const { return width == 0 || height == 0; }
  PixelSize size() const { return {width, height}; }

  friend bool operator==(const PixelRect&, const PixelRect&) = default;
};

}  // namespace velmo::platform
