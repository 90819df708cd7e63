// The watermark's layout arithmetic, with text measures injected so that the figures are
// exact whatever the fonts.
#include "draw/watermark.h"

#include <gtest/gtest.h>

#include <limits>
#include <tuple>
#include <vector>

#include "draw/canvas.h"

namespace velmo::draw {
namespace {

// A text of a fixed size that counts the copies drawn and records the rectangles.
struct FixedEngine final : TextEngine {
  struct FixedText final : Text {
    Size measured;
    FixedEngine& engine;
    FixedText(Size size, FixedEngine& e) : measured(size), engine(e) {}
    Size size() const override { return measured; }
    void drawAt(cairo_t*, double, double, const Color&) const override { ++engine.copies; }
    void drawIn(cairo_t*, const Rect& rect, const Color&) const override {
      engine.rects.push_back(rect);
    }
  };
  explicit FixedEngine(Size size) : measured(size) {}
  std::unique_ptr<Text> layOut(std::string_view, double) override {
    return std::make_unique<FixedText>(measured, *this);
  }
  Size measured;
  int copies = 0;
  std::vector<Rect> rects;
};

TEST(WatermarkLayout, FontSizeAlphaAndDensity) {
  // The diagonal and the box font sizes for three reference sides: never below 8 or above 64.
  for (auto [side, diagonal, box] : {std::tuple{1000.0, 50.0, 35.0}, {100, 8, 8}, {2000, 64, 64}}) {
    EXPECT_EQ(watermarkFontSize(side, true), diagonal) << side;
    EXPECT_EQ(watermarkFontSize(side, false), box) << side;
  }
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    std::optional<double> given;
    double alpha, density;
  };
  for (const Case& c : {Case{std::nullopt, 0.12, 1.0}, Case{0.5, 0.3, 0.6}, Case{0.01, 0.04, 0.6},
                        Case{nan, 0.3, 1.8}, Case{3, 0.3, 1.8}, Case{1.2, 0.3, 1.2}}) {
    EXPECT_EQ(diagonalAlpha(c.given), c.alpha) << c.given.value_or(-1);
    EXPECT_EQ(diagonalDensity(c.given), c.density) << c.given.value_or(-1);
  }
}

TEST(WatermarkLayout, DiagonalWorkedExample) {
  // refW 1000, refH 800, text 300 x 48, density 1: fontSize 40, steps 600 and 240, 18 copies.
  const DiagonalGrid grid = diagonalGrid({300, 48}, watermarkFontSize(800, true), 1.0, 1000, 800);
  EXPECT_EQ(grid.stepX, 600);
  EXPECT_EQ(grid.stepY, 240);
  std::vector<Point> copies, expected;
  grid.forEach([&](Point p) { copies.push_back(p); });
  for (double y : {-300, -60, 180, 420, 660, 900}) {
    const bool even = y == -300 || y == 180 || y == 660;
    for (double x : even ? std::vector<double>{-300, 300, 900} : std::vector<double>{0, 600, 1200})
      expected.push_back({x, y});
  }
  EXPECT_EQ(copies, expected);
  // Turned copies that cannot reach the picture, with no margin and with an em of it.
  EXPECT_TRUE(diagonalCopyReaches({300, 420}, {300, 48}, 0, 1000, 800));
  EXPECT_FALSE(diagonalCopyReaches({1200, -60}, {300, 48}, 0, 1000, 800));
  EXPECT_FALSE(diagonalCopyReaches({0, -60}, {300, 48}, 0, 1000, 800));
  EXPECT_TRUE(diagonalCopyReaches({0, -60}, {300, 48}, 40, 1000, 800));
}

TEST(WatermarkLayout, BoxWorkedExample) {
  // refW 1000, refH 800, text 200 x 34; then a text too wide for the picture.
  const BoxLayout box = boxLayout({200, 34}, watermarkFontSize(800, false), 1000, 800);
  EXPECT_EQ(box.pad, 20);
  EXPECT_EQ(box.box, (Rect{760, 726, 220, 54}));
  EXPECT_EQ(box.radius, 9.8);
  EXPECT_EQ(box.textRect, (Rect{770, 736, 200, 34}));
  // Drawn on a canvas at half scale, the text goes into that rectangle, in reference units.
  Canvas canvas(500, 400, false);
  cairo_scale(canvas.context(), 0.5, 0.5);
  FixedEngine engine({200, 34});
  drawWatermark(canvas.context(), {"x", WatermarkStyle::CornerStamp, {}, {}, {}}, 1000, 800,
                engine);
  EXPECT_EQ(engine.rects, std::vector<Rect>{box.textRect});
  const BoxLayout wide = boxLayout({5000, 34}, 28, 1000, 800);
  EXPECT_EQ(wide.box, (Rect{20, 726, 960, 54}));
  EXPECT_EQ(wide.textRect, (Rect{30, 736, 940, 34}));
}

TEST(DrawWatermark, VeryLongDiagonalTextDrawsOnlyTheCopiesThatShow) {
  // A text 10 million units wide: the grid holds about 170,000 copies, a few dozen show.
  Canvas canvas(500, 400, false);
  FixedEngine engine({1e7, 48});
  drawWatermark(canvas.context(), {"x", WatermarkStyle::DiagonalRepeat, {}, {}, {}}, 500, 400,
                engine);
  size_t grid = 0;
  diagonalGrid({1e7, 48}, 20, 1.0, 500, 400).forEach([&](Point) { ++grid; });
  EXPECT_GT(grid, 100'000u);
  EXPECT_GT(engine.copies, 0);
  EXPECT_LT(engine.copies, 50);
}

TEST(DrawWatermark, BoxesFarBeyondCairosRangeStillCoverTheCanvas) {
  // Reference 1e-9 x 100 units on 500 x 400 pixels: the box reaches trillions of pixels past
  // both sides; pulled in, it still covers the canvas's width from row 216 to row 376.
  Canvas canvas(500, 400, false);
  cairo_t* cr = canvas.context();
  cairo_set_source_rgb(cr, 1, 1, 1);
  cairo_paint(cr);
  cairo_scale(cr, 500 / 1e-9, 400 / 100.0);
  FixedEngine engine({200, 34});
  drawWatermark(cr, {"x", WatermarkStyle::MinimalSignature, {}, {}, {}}, 1e-9, 100, engine);
  EXPECT_EQ(cairo_status(cr), CAIRO_STATUS_SUCCESS);
  const platform::BitmapView pixels = canvas.view();
  for (auto [y, red] : {std::pair{214u, 255}, {218u, 133}, {374u, 133}, {378u, 255}}) {
    for (uint32_t x : {0u, 250u, 499u}) {
      EXPECT_NEAR(static_cast<int>((pixels.row(y)[x] >> 16) & 0xFF), red, 1) << x << "," << y;
    }
  }
}

}  // namespace
}  // namespace velmo::draw
