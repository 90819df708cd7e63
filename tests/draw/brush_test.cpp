// The pen's own rasteriser against Cairo's stroker: the same polyline with round caps and
// joins, drawn both ways, must cover the same pixels to within antialiasing.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <vector>

#include "draw/canvas.h"
#include "draw/stroke.h"

namespace velmo::draw {
namespace {

constexpr uint32_t kWidth = 240, kHeight = 180;

// Red channel of each pixel: with white drawn on black, the coverage.
std::vector<int> coverage(Canvas& canvas) {
  std::vector<int> values;
  const auto view = canvas.view();
  for (uint32_t y = 0; y < kHeight; ++y) {
    for (uint32_t x = 0; x < kWidth; ++x) values.push_back((view.row(y)[x] >> 16) & 0xFF);
  }
  return values;
}

std::vector<int> ours(const std::vector<Point>& points, double lw) {
  Canvas canvas(kWidth, kHeight, false);
  Stroke stroke;
  stroke.color = colorFromArgb(0xFFFFFFFF);
  stroke.widthFraction = lw / kHeight;
  for (const Point& p : points) stroke.points.push_back({p.x / kWidth, p.y / kHeight});
  const StrokeSpace space{kWidth, kHeight, kWidth, kHeight, {0, 0, 1, 1}};
  const Stroke strokes[] = {stroke};
  drawStrokes(canvas, strokes, space, std::nullopt);
  return coverage(canvas);
}

std::vector<int> cairos(const std::vector<Point>& points, double lw) {
  Canvas canvas(kWidth, kHeight, false);
  canvas.setStrokeColor(colorFromArgb(0xFFFFFFFF));
  canvas.setLineWidth(lw);
  canvas.setRoundCapsAndJoins();
  canvas.moveTo(points[0]);
  for (const Point& p : points) canvas.lineTo(p);
  canvas.stroke();
  return coverage(canvas);
}

TEST(Brush, CoversWhatCairosStrokerCovers) {
  // A zigzag that crosses itself, with a sharp turn back, a repeated point and a near-level
  // and a near-upright segment; and a walk of short steps like a finger's.
  std::vector<Point> zigzag = {{20, 30},     {200, 150}, {200, 150}, {40, 140}, {180, 20},
                               {180.4, 160}, {30, 90.3}, {215, 90},  {60, 40}};
  std::vector<Point> walk;
  double x = 120, y = 90;
  std::srand(3);
  for (int i = 0; i < 300; ++i) {
    x += (std::rand() % 1000 - 500) / 100.0;
    y += (std::rand() % 1000 - 500) / 120.0;
    walk.push_back({x, y});
  }
  for (const auto& points : {zigzag, walk}) {
    for (double lw : {1.0, 2.5, 4.9, 13.0, 40.5}) {
      SCOPED_TRACE(testing::Message() << "width " << lw << ", " << points.size() << " points");
      const std::vector<int> a = ours(points, lw), b = cairos(points, lw);
      long inkA = 0, inkB = 0, differing = 0, totalDifference = 0;
      int largest = 0;
      for (size_t i = 0; i < a.size(); ++i) {
        inkA += a[i];
        inkB += b[i];
        const int difference = std::abs(a[i] - b[i]);
        largest = std::max(largest, difference);
        if (a[i] != 0 || b[i] != 0) {
          ++differing;
          totalDifference += difference;
        }
      }
      // Cairo measures each pixel's covered area, the brush its centre's distance from the
      // path, and a pixel where two edges cross takes the larger of their coverages rather
      // than their union. They agree inside and along edges; they part by up to half a pixel's
      // coverage where edges cross, which on a one-pixel line is much of it.
      const bool hairline = lw < 2;
      EXPECT_LE(largest, 128);
      EXPECT_LE(static_cast<double>(totalDifference) / differing, hairline ? 20.0 : 5.0);
      EXPECT_NEAR(static_cast<double>(inkA) / inkB, 1.0, hairline ? 0.08 : 0.01);
    }
  }
}

TEST(Brush, StampedDiscsMatchDiscsWorkedOut) {
  // Past a few hundred discs of one width in a drawing, discs are copied from stamps made for
  // each sixteenth of a pixel: drawn in one call they must match the same dots drawn one call
  // each (worked out in place) to within the centre's move of a thirty-second of a pixel.
  const StrokeSpace space{kWidth, kHeight, kWidth, kHeight, {0, 0, 1, 1}};
  std::srand(5);
  for (double lw : {2.5, 4.9, 13.0}) {
    SCOPED_TRACE(testing::Message() << "width " << lw);
    std::vector<Stroke> dots(600);
    for (Stroke& dot : dots) {
      dot.color = colorFromArgb(0xFFFFFFFF);
      dot.widthFraction = lw / kHeight;
      dot.points = {{(std::rand() % 10000) / 10000.0, (std::rand() % 10000) / 10000.0}};
    }
    Canvas together(kWidth, kHeight, false), apart(kWidth, kHeight, false);
    drawStrokes(together, dots, space, std::nullopt);
    for (const Stroke& dot : dots) drawStrokes(apart, std::span(&dot, 1), space, std::nullopt);
    const std::vector<int> a = coverage(together), b = coverage(apart);
    int largest = 0;
    for (size_t i = 0; i < a.size(); ++i) largest = std::max(largest, std::abs(a[i] - b[i]));
    EXPECT_LE(largest, 12);
    EXPECT_GT(largest, 0) << "no disc was stamped";
  }
}

}  // namespace
}  // namespace velmo::draw
