// The arithmetic of stroke drawing and of the blur preview size, checked on worked examples
// exactly, and the segment clipping that keeps far-off geometry away from Cairo.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "draw/blur.h"
#include "draw/stroke.h"

namespace velmo::draw {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

StrokeSpace space(double w, double h, double turnedW, double turnedH, Rect crop) {
  return {w, h, turnedW, turnedH, crop};
}

TEST(StrokeGeometry, PointsMapThroughTheCropAsGiven) {
  const StrokeSpace half = space(1000, 1000, 4000, 3000, {0.5, 0.5, 0.5, 0.5});
  const StrokeSpace wide = space(800, 600, 4000, 3000, {0.5, 0, 1, 1});
  struct Case {
    const StrokeSpace& space;
    Point fraction;
    Point expected;
  };
  for (const Case& c : {
           Case{half, {0.5, 0.5}, {0, 0}}, Case{half, {1, 1}, {1000, 1000}},
           Case{half, {0.25, 0.25}, {-500, -500}},  // outside, not clamped
           Case{wide, {1, 0.5}, {400, 300}},        // the crop reaches beyond the photo
       }) {
    EXPECT_EQ(mapPoint(c.space, c.fraction), c.expected);
  }
  // A crop a billionth wide puts a point far off, but still at a finite place.
  const Point far = mapPoint(space(1000, 1000, 100, 100, {0, 0, 1e-9, 1}), {1, 0});
  EXPECT_DOUBLE_EQ(far.x, 1e12);
}

TEST(StrokeGeometry, LineWidth) {
  const StrokeSpace photo = space(1000, 750, 4000, 3000, {0, 0, 1, 1});
  struct Case {
    StrokeSpace space;
    double widthFraction;
    double expected;
  };
  for (const Case& c : {
           Case{photo, 0.006, 4.5},
           // The shorter side counts, whichever it is; the crop width scales.
           Case{space(1000, 750, 3000, 4000, {0, 0, 1, 1}), 0.006, 6},
           Case{space(1000, 750, 4000, 3000, {0, 0, 0.5, 1}), 0.006, 9},
           // Never below 1.
           Case{photo, 0, 1},
           Case{photo, -0.5, 1},
           Case{photo, 0.0001, 1},
           Case{photo, kNaN, 1},
           // Never beyond the cap.
           Case{photo, 1e9, kMaxLineWidth},
           Case{photo, kInf, kMaxLineWidth},
           Case{space(1000, 750, 4000, 3000, {0, 0, 1e-300, 1}), 0.006, kMaxLineWidth},
       }) {
    EXPECT_EQ(lineWidth(c.space, c.widthFraction), c.expected) << c.widthFraction;
  }
}

TEST(StrokeGeometry, ArrowBarbs) {
  const auto barbs = arrowBarbs({100, 100}, {200, 100}, 5);
  EXPECT_NEAR(barbs[0].x, 182.68, 0.005);
  EXPECT_NEAR(barbs[0].y, 110, 1e-12);
  EXPECT_NEAR(barbs[1].x, 182.68, 0.005);
  EXPECT_NEAR(barbs[1].y, 90, 1e-12);
  // A shaft of no length points right: a ">" at the point.
  const auto dot = arrowBarbs({50, 50}, {50, 50}, 1);
  EXPECT_NEAR(dot[0].x, 50 - 4 * std::cos(std::numbers::pi / 6), 1e-12);
  EXPECT_NEAR(dot[0].y, 52, 1e-12);
  EXPECT_NEAR(dot[1].y, 48, 1e-12);
}

TEST(StrokeGeometry, PreviewSize) {
  struct Case {
    uint32_t w, h;
    platform::PixelSize expected;
  };
  for (const Case& c : {
           Case{4000, 3000, {128, 96}},                               // the short side binds
           Case{3000, 4000, {96, 128}}, Case{100, 4000, {25, 1024}},  // the long side binds
           Case{960, 10240, {78, 836}},                               // the area binds
           Case{50, 50, {50, 50}},                                    // never enlarged
           Case{1, 1, {1, 1}}, Case{1, 100000, {1, 1024}},            // never below 1
       }) {
    EXPECT_EQ(previewSize(c.w, c.h), c.expected) << c.w << " x " << c.h;
  }
}

TEST(StrokeGeometry, ClippedSegmentsStayInTheBoxAndOnTheLine) {
  const Box box{-10, -10, 110, 110};
  // Inside: returned bit for bit.
  auto inside = clipSegment({1.1, 2.2}, {3.3, 4.4}, box);
  ASSERT_TRUE(inside);
  EXPECT_EQ(inside->first, (Point{1.1, 2.2}));
  EXPECT_EQ(inside->second, (Point{3.3, 4.4}));
  // A point of no length inside stays (it is drawn as a dot).
  EXPECT_TRUE(clipSegment({5, 5}, {5, 5}, box));
  // Wholly outside.
  EXPECT_FALSE(clipSegment({200, 0}, {300, 50}, box));
  EXPECT_FALSE(clipSegment({-50, 200}, {200, 200}, box));
  struct Case {
    Point a, b;
    Point first, second;
  };
  for (const Case& c : {
           Case{{50, 50}, {1e12, 50}, {50, 50}, {110, 50}},
           Case{{1e12, 50}, {50, 50}, {110, 50}, {50, 50}},
           // The far end so far that its parameter cannot tell where the cut lies.
           Case{{1e300, 60}, {50, 60}, {110, 60}, {50, 60}},
           Case{{-1e308, 0}, {1e308, 0}, {-10, 0}, {110, 0}},
           Case{{-1e12, -1e12}, {1e12, 1e12}, {-10, -10}, {110, 110}},
       }) {
    const auto piece = clipSegment(c.a, c.b, box);
    ASSERT_TRUE(piece);
    for (auto [got, want] : {std::pair{piece->first, c.first}, {piece->second, c.second}}) {
      EXPECT_NEAR(got.x, want.x, 1e-3);
      EXPECT_NEAR(got.y, want.y, 1e-3);
    }
  }
}

}  // namespace
}  // namespace velmo::draw
