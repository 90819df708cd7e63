// Colours as drawing takes them: straight (not premultiplied) red, green, blue and alpha,
// each 0 to 1.
#pragma once

#include <cstdint>

namespace velmo::draw {

struct Color {
  double red = 1;
  double green = 1;
  double blue = 1;
  double alpha = 1;
  friend bool operator==(const Color&, const Color&) = default;
};

// 0xAARRGGBB, each 8-bit field divided by 255.
inline Color colorFromArgb(uint32_t argb) {
  return {((argb >> 16) & 0xFF) / 255.0, ((argb >> 8) & 0xFF) / 255.0, (argb & 0xFF) / 255.0,
          ((argb >> 24) & 0xFF) / 255.0};
}

}  // namespace velmo::draw
