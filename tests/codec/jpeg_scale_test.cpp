// The DCT scale a whole-picture JPEG decode starts from: the smallest N/8 that still holds
// the margin over the target on both axes.
#include <gtest/gtest.h>

#include "codec/internal/jpeg_input.h"

namespace velmo::codec {
namespace {

using platform::PixelSize;

uint32_t wholePictureEighths(uint32_t width, uint32_t height, PixelSize target) {
  return jpegScaleEighths(target, kWholePictureMargin, [&](uint32_t n) {
    return PixelSize{(width * n + 7) / 8, (height * n + 7) / 8};
  });
}

TEST(JpegScale, WholePictureMarginLandsOnTheWorkedScales) {
  struct Case {
    uint32_t width, height;
    PixelSize target;
    uint32_t eighths;
  };
  for (const Case& c : {
           // 12 MP to 1080: 3/8 (1512) holds only 1.4 times, 4/8 (2016) 1.87.
           Case{4032, 3024, {1080, 810}, 4},
           // The middle 80 % of it to 1080 decodes to 1350 x 1013: 4/8 holds 1.49 times.
           Case{4032, 3024, {1350, 1013}, 4},
           // 8 MP to 1350: 4/8 (1632) holds 1.21 times, 5/8 (2040) 1.51.
           Case{3264, 2448, {1350, 1013}, 5},
           // More than the photo can give with the margin: full size.
           Case{4032, 3024, {4032, 3024}, 8},
           Case{4032, 3024, {3000, 2250}, 8},
           // Small targets: 1/8 (504 x 378) holds 1.45 times 347 x 260.
           Case{4032, 3024, {347, 260}, 1},
           Case{4032, 3024, {348, 261}, 2},
       }) {
    EXPECT_EQ(wholePictureEighths(c.width, c.height, c.target), c.eighths)
        << c.width << "x" << c.height << " to " << c.target.width << "x" << c.target.height;
  }
}

}  // namespace
}  // namespace velmo::codec
