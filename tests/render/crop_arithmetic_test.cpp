// The render arithmetic: decode limits, quarter turns and crop rectangles, with the worked
// figures the product relies on.
#include "render/geometry.h"

#include <gtest/gtest.h>

#include <limits>

#include "platform/orientation.h"

namespace velmo {
namespace {

TEST(DecodeLimit, WorkedExamples) {
  EXPECT_EQ(decodeLimit(4032, 3024, 1080, 810, 1, 1), 1080);
  // The 16,000,000-pixel budget caps a tight crop: sourceSide 4618.80...
  EXPECT_EQ(decodeLimit(8000, 6000, 1000, 1000, 0.1, 0.1), 4619);
  EXPECT_EQ(decodeLimit(12000, 8000, 3000, 2000, 0.5, 0.5), 4899);
  // The side cap.
  EXPECT_EQ(decodeLimit(20000, 500, 16380, 400, 1, 1), 16380);
  EXPECT_EQ(decodeLimit(6000, 4000, 600, 400, 1, 1), 600);
  // Needed 0.2 still decodes one pixel.
  EXPECT_EQ(decodeLimit(4000, 3000, 1, 1, 5, 5), 1);
  // Literal double arithmetic: 700 / 0.7 is 1000.0000000000001 in doubles; its ceiling is 1001.
  EXPECT_EQ(decodeLimit(4000, 3000, 700, 10, 0.7, 1), 1001);
  // An infinite crop fraction needs nothing: the limit floors at 1.
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(decodeLimit(4000, 3000, 100, 100, inf, inf), 1);
}

// Turns modulo four are counted through the channel in RenderTest.QuarterTurnsAndCropsAre-
// ExactOnPngSources.

platform::Bitmap numbered(uint32_t w, uint32_t h) {
  platform::Bitmap b(w, h, false);
  for (uint32_t y = 0; y < h; ++y)
    for (uint32_t x = 0; x < w; ++x) b.row(y)[x] = 0xFF000000u | (y << 8) | x;
  return b;
}

TEST(Rotate, IsAnExactPermutation) {
  const platform::Bitmap src = numbered(3, 2);
  for (int turns = 1; turns <= 3; ++turns) {
    SCOPED_TRACE(turns);
    const platform::Bitmap out = rotate(src, turns);
    const uint32_t w = 3, h = 2;
    ASSERT_EQ(out.width(), turns == 2 ? w : h);
    ASSERT_EQ(out.height(), turns == 2 ? h : w);
    for (uint32_t y = 0; y < h; ++y) {
      for (uint32_t x = 0; x < w; ++x) {
        uint32_t dx = turns == 1 ? h - 1 - y : turns == 2 ? w - 1 - x : y;
        uint32_t dy = turns == 1 ? x : turns == 2 ? h - 1 - y : w - 1 - x;
        EXPECT_EQ(out.row(dy)[dx], src.row(y)[x]);
      }
    }
  }
  // Four turns give the original back.
  const platform::Bitmap back = rotate(rotate(rotate(rotate(src, 1), 1), 1), 1);
  for (uint32_t y = 0; y < 2; ++y)
    for (uint32_t x = 0; x < 3; ++x) EXPECT_EQ(back.row(y)[x], src.row(y)[x]);
}

TEST(CropRect, ClipsAndRoundsOutward) {
  EXPECT_EQ(cropRect(1000, 750, 0.25, 0.5, 0.5, 0.25), (PixelRect{250, 375, 500, 188}));
  EXPECT_EQ(cropRect(1000, 750, -0.5, 0, 1, 1), (PixelRect{0, 0, 500, 750}));
  EXPECT_EQ(cropRect(1000, 750, 0, 0, 2, 2), (PixelRect{0, 0, 1000, 750}));
  EXPECT_EQ(cropRect(1000, 750, 0.0001, 0.0001, 0.0002, 0.0002), (PixelRect{0, 0, 1, 1}));
}

// Regions that are empty or not finite are refused: RenderTest.CropMissingTheTurnedImageFails-
// AfterDecoding and AwkwardNumbersGetTheirDefinedResults see them through the channel.

TEST(StoredRegion, ShowsTheSamePixelsAsTheLaidOutPicture) {
  // A picture of distinct pixels, laid upright and turned, against the region of the stored
  // picture the crop maps back to, laid out the same way: equal, pixel for pixel.
  const uint32_t w = 7, h = 5;
  const PixelRect crops[] = {{0, 0, 1, 1}, {1, 2, 3, 2}, {2, 0, 2, 5}, {0, 0, 5, 5}};
  for (int orientation = 1; orientation <= 8; ++orientation) {
    for (int turns = 0; turns < 4; ++turns) {
      SCOPED_TRACE(testing::Message() << "orientation " << orientation << ", turns " << turns);
      platform::Bitmap shown = platform::applyOrientation(numbered(w, h), orientation);
      if (turns != 0) shown = rotate(shown, turns);
      for (const PixelRect& crop : crops) {
        if (crop.x + crop.width > shown.width() || crop.y + crop.height > shown.height()) continue;
        const PixelRect region = storedRegion(crop, w, h, orientation, turns);
        ASSERT_LE(region.x + region.width, w);
        ASSERT_LE(region.y + region.height, h);
        platform::Bitmap part(region.width, region.height, false);
        const platform::Bitmap stored = numbered(w, h);
        for (uint32_t y = 0; y < region.height; ++y) {
          for (uint32_t x = 0; x < region.width; ++x) {
            part.row(y)[x] = stored.row(region.y + y)[region.x + x];
          }
        }
        platform::Bitmap laidOut = platform::applyOrientation(std::move(part), orientation);
        if (turns != 0) laidOut = rotate(laidOut, turns);
        ASSERT_EQ(laidOut.width(), crop.width);
        ASSERT_EQ(laidOut.height(), crop.height);
        for (uint32_t y = 0; y < crop.height; ++y) {
          for (uint32_t x = 0; x < crop.width; ++x) {
            EXPECT_EQ(laidOut.row(y)[x], shown.row(crop.y + y)[crop.x + x]);
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace velmo
