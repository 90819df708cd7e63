// The brush's own rasteriser and blends against Cairo: the same polyline with round caps and
// joins, drawn both ways, must cover the same pixels to within antialiasing, and coverage
// laid through must composite as Cairo composites. Every build of the pixel loops is checked.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "draw/brush.h"
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

// The builds of the pixel loops this processor runs, the plain one first; the widest is put
// back when the test ends.
class EveryBuild {
 public:
  EveryBuild() {
    for (PixelLoops loops : {PixelLoops::Plain, PixelLoops::Sse2, PixelLoops::Avx2}) {
      if (usePixelLoops(loops)) builds_.push_back(loops);
    }
  }
  ~EveryBuild() { usePixelLoops(fastestPixelLoops()); }
  const std::vector<PixelLoops>& builds() const { return builds_; }

 private:
  std::vector<PixelLoops> builds_;
};

// A photo with alpha (premultiplied) that changes from pixel to pixel.
platform::Bitmap patterned(uint32_t width, uint32_t height, uint32_t seed = 0) {
  platform::Bitmap photo(width, height, true);
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      const uint32_t a = 128 + (x * 7 + y * 3 + seed) % 128;
      const uint32_t c = (x * 5 + y * 11 + seed * 13) % (a + 1);
      photo.row(y)[x] = a << 24 | c << 16 | (a - c) << 8 | (c / 2);
    }
  }
  return photo;
}

int largestDifference(const platform::BitmapView& a, const platform::BitmapView& b) {
  int largest = 0;
  for (uint32_t y = 0; y < a.height; ++y) {
    for (uint32_t x = 0; x < a.width; ++x) {
      for (int shift = 0; shift < 32; shift += 8) {
        const int p = static_cast<int>((a.row(y)[x] >> shift) & 0xFF);
        const int q = static_cast<int>((b.row(y)[x] >> shift) & 0xFF);
        largest = std::max(largest, std::abs(p - q));
      }
    }
  }
  return largest;
}

TEST(Brush, EveryBuildOfThePixelLoopsDrawsTheSame) {
  // Pens of several widths in a translucent colour and a blur brush, over a photo with alpha.
  const EveryBuild every;
  ASSERT_FALSE(every.builds().empty());
  std::vector<Stroke> strokes;
  std::srand(9);
  for (double lw : {1.0, 4.9, 13.0, 40.5, 70.0}) {
    Stroke stroke;
    stroke.color = colorFromArgb(0xB0FF8020);
    stroke.widthFraction = lw / kHeight;
    double x = 0.5, y = 0.5;
    for (int i = 0; i < 60; ++i) {
      x += (std::rand() % 1000 - 500) / 8000.0;
      y += (std::rand() % 1000 - 500) / 8000.0;
      stroke.points.push_back({x, y});
    }
    strokes.push_back(stroke);
  }
  strokes.back().shape = Shape::Blur;
  const platform::Bitmap photo = patterned(kWidth, kHeight);
  const platform::Bitmap preview = patterned(kWidth / 8, kHeight / 8, 40);
  const StrokeSpace space{kWidth, kHeight, kWidth, kHeight, {0, 0, 1, 1}};
  std::vector<platform::Bitmap> drawn;
  for (PixelLoops loops : every.builds()) {
    usePixelLoops(loops);
    platform::Bitmap pixels(kWidth, kHeight, true);
    std::copy(photo.data(), photo.data() + kWidth * kHeight, pixels.data());
    Canvas canvas(std::move(pixels));
    drawStrokes(canvas, strokes, space, preview.view());
    drawn.emplace_back(kWidth, kHeight, true);
    const auto view = canvas.view();
    for (uint32_t y = 0; y < kHeight; ++y) std::copy_n(view.row(y), kWidth, drawn.back().row(y));
  }
  // The plain build measures distances exactly, SSE2 to 12 bits: a few thousandths of a pixel
  // at the widest brush's edge.
  for (size_t i = 1; i < drawn.size(); ++i) {
    SCOPED_TRACE(testing::Message() << "build " << static_cast<int>(every.builds()[i]));
    EXPECT_LE(largestDifference(drawn[0].view(), drawn[i].view()), 2);
  }
  EXPECT_GT(largestDifference(photo.view(), drawn[0].view()), 100) << "nothing was drawn";
}

TEST(Brush, BlendsAsCairoComposites) {
  // Coverage of every value on rows of every length from 1 to 37 pixels (the loops' groups
  // and their ends), laid through with a translucent colour (over) and with an image (copy).
  const EveryBuild every;
  constexpr uint32_t kSide = 48;
  CoverageMask mask;
  mask.reset(3, 2, 40, 37);
  for (int y = 0; y < mask.height(); ++y) {
    const int first = y % 3;
    for (int x = first; x <= first + y; ++x) {
      mask.row(y)[x] = static_cast<uint8_t>((x * 37 + y * 101) % 256);
    }
    mask.widen(y, first, first + y);
  }
  const platform::Bitmap image = patterned(kSide, kSide, 40);
  const platform::Bitmap large = patterned(2 * kSide, 2 * kSide, 70);
  const platform::Bitmap small = patterned(kSide / 6, kSide / 6, 90);
  for (PixelLoops loops : every.builds()) {
    SCOPED_TRACE(testing::Message() << "build " << static_cast<int>(loops));
    usePixelLoops(loops);
    // Over with a colour; copy with an image of the canvas's size, with one twice as large
    // (shrunk through Cairo's own filter) and with one a sixth as large (enlarged by ours,
    // which rounds after each direction where pixman rounds once: up to 3 levels apart).
    for (const int mode : {0, 1, 2, 3}) {
      SCOPED_TRACE(testing::Message() << "mode " << mode);
      Canvas ours(patterned(kSide, kSide)), cairos(patterned(kSide, kSide));
      CairoSurface coverage(cairo_image_surface_create_for_data(mask.row(0), CAIRO_FORMAT_A8,
                                                                mask.width(), mask.height(),
                                                                static_cast<int>(mask.stride())));
      cairo_t* cr = cairos.context();
      const platform::Bitmap& from = mode == 2 ? large : mode == 3 ? small : image;
      CairoSurface source = wrapPixels(from.view());
      if (mode == 0) {
        ours.paintThrough(colorFromArgb(0x9930C0F0), mask);
        cairo_set_source_rgba(cr, 0x30 / 255.0, 0xC0 / 255.0, 0xF0 / 255.0, 0x99 / 255.0);
      } else {
        ours.drawStretchedThrough(from.view(), mask);
        CairoPattern pattern(cairo_pattern_create_for_surface(source.get()));
        cairo_matrix_t scale;
        cairo_matrix_init_scale(&scale, from.width() / double{kSide},
                                from.height() / double{kSide});
        cairo_pattern_set_matrix(pattern.get(), &scale);
        cairo_pattern_set_extend(pattern.get(), CAIRO_EXTEND_PAD);
        cairo_pattern_set_filter(pattern.get(), CAIRO_FILTER_GOOD);
        cairo_set_source(cr, pattern.get());
        cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
      }
      cairo_mask_surface(cr, coverage.get(), mask.x(), mask.y());
      EXPECT_LE(largestDifference(ours.view(), cairos.view()), mode == 3 ? 3 : 1);
      EXPECT_GT(largestDifference(ours.view(), patterned(kSide, kSide).view()), 50);
    }
  }
}

}  // namespace
}  // namespace velmo::draw
