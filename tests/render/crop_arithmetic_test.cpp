// The crop and decode arithmetic: decode limits, quarter turns composed with the EXIF
// orientation, crop rectangles and the stored region a crop shows, with the worked figures
// the product relies on.
#include "render/crop_arithmetic.h"

#include <gtest/gtest.h>

#include <limits>

#include "platform/orientation.h"

namespace velmo {
namespace {

using platform::PixelRect;

TEST(DecodeLimit, WorkedExamples) {
  EXPECT_EQ(render::decodeLimit(4032, 3024, 1080, 810, 1, 1), 1080);
  // The 16,000,000-pixel budget caps a tight crop: sourceSide 4618.80...
  EXPECT_EQ(render::decodeLimit(8000, 6000, 1000, 1000, 0.1, 0.1), 4619);
  EXPECT_EQ(render::decodeLimit(12000, 8000, 3000, 2000, 0.5, 0.5), 4899);
  // The side cap.
  EXPECT_EQ(render::decodeLimit(20000, 500, 16380, 400, 1, 1), 16380);
  EXPECT_EQ(render::decodeLimit(6000, 4000, 600, 400, 1, 1), 600);
  // Needed 0.2 still decodes one pixel.
  EXPECT_EQ(render::decodeLimit(4000, 3000, 1, 1, 5, 5), 1);
  // Literal double arithmetic: 700 / 0.7 is 1000.0000000000001 in doubles; its ceiling is 1001.
  EXPECT_EQ(render::decodeLimit(4000, 3000, 700, 10, 0.7, 1), 1001);
  // An infinite crop fraction needs nothing: the limit floors at 1.
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(render::decodeLimit(4000, 3000, 100, 100, inf, inf), 1);
}

// Turns modulo four are counted through the channel in RenderTest.QuarterTurnsAndCropsAre-
// ExactOnPngSources.

platform::Bitmap numbered(uint32_t w, uint32_t h) {
  platform::Bitmap b(w, h, false);
  for (uint32_t y = 0; y < h; ++y)
    for (uint32_t x = 0; x < w; ++x) b.row(y)[x] = 0xFF000000u | (y << 8) | x;
  return b;
}

// |image| turned clockwise by |turns| quarter turns, pixel by pixel: source (x, y) of a w x h
// image lands at (h-1-y, x) for 1 turn, (w-1-x, h-1-y) for 2 and (y, w-1-x) for 3.
platform::Bitmap turnedByHand(const platform::Bitmap& image, int turns) {
  const uint32_t w = image.width(), h = image.height();
  const bool swap = turns % 2 == 1;
  platform::Bitmap out(swap ? h : w, swap ? w : h, false);
  for (uint32_t y = 0; y < h; ++y) {
    for (uint32_t x = 0; x < w; ++x) {
      const uint32_t dx = turns == 0 ? x : turns == 1 ? h - 1 - y : turns == 2 ? w - 1 - x : y;
      const uint32_t dy = turns == 0 ? y : turns == 1 ? x : turns == 2 ? h - 1 - y : w - 1 - x;
      out.row(dy)[dx] = image.row(y)[x];
    }
  }
  return out;
}

void expectSamePixels(const platform::Bitmap& a, const platform::Bitmap& b) {
  ASSERT_EQ(a.width(), b.width());
  ASSERT_EQ(a.height(), b.height());
  for (uint32_t y = 0; y < a.height(); ++y) {
    for (uint32_t x = 0; x < a.width(); ++x) EXPECT_EQ(a.row(y)[x], b.row(y)[x]) << x << ", " << y;
  }
}

TEST(TurnedOrientation, IsTheOrientationThenTheTurnsInOnePermutation) {
  // Every orientation (and an out-of-range one, laid out as 1) followed by every turn, against
  // the orientation and then the turns by hand.
  for (int orientation : {0, 1, 2, 3, 4, 5, 6, 7, 8}) {
    for (int turns = 0; turns < 4; ++turns) {
      SCOPED_TRACE(testing::Message() << "orientation " << orientation << ", turns " << turns);
      const platform::Bitmap once = platform::applyOrientation(
          numbered(3, 2), platform::turnedOrientation(orientation, turns));
      expectSamePixels(
          once, turnedByHand(platform::applyOrientation(numbered(3, 2), orientation), turns));
    }
  }
}

TEST(CropRect, ClipsAndRoundsOutward) {
  EXPECT_EQ(render::cropRect(1000, 750, {0.25, 0.5, 0.5, 0.25}), (PixelRect{250, 375, 500, 188}));
  EXPECT_EQ(render::cropRect(1000, 750, {-0.5, 0, 1, 1}), (PixelRect{0, 0, 500, 750}));
  EXPECT_EQ(render::cropRect(1000, 750, {0, 0, 2, 2}), (PixelRect{0, 0, 1000, 750}));
  EXPECT_EQ(render::cropRect(1000, 750, {0.0001, 0.0001, 0.0002, 0.0002}), (PixelRect{0, 0, 1, 1}));
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
      const platform::Bitmap shown =
          turnedByHand(platform::applyOrientation(numbered(w, h), orientation), turns);
      for (const PixelRect& crop : crops) {
        if (crop.x + crop.width > shown.width() || crop.y + crop.height > shown.height()) continue;
        const PixelRect region = render::storedRegion(crop, w, h, orientation, turns);
        ASSERT_LE(region.x + region.width, w);
        ASSERT_LE(region.y + region.height, h);
        platform::Bitmap part(region.width, region.height, false);
        const platform::Bitmap stored = numbered(w, h);
        for (uint32_t y = 0; y < region.height; ++y) {
          for (uint32_t x = 0; x < region.width; ++x) {
            part.row(y)[x] = stored.row(region.y + y)[region.x + x];
          }
        }
        const platform::Bitmap laidOut =
            turnedByHand(platform::applyOrientation(std::move(part), orientation), turns);
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
