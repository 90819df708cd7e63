// The watermark's layout arithmetic, with text measures injected so that the figures are
// exact whatever the fonts.
#include "draw/watermark.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "draw/canvas.h"

namespace velmo::draw {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// A text of a fixed size that records where it is asked to draw, in device pixels.
struct Recorder {
  int layOuts = 0;
  std::vector<Point> drawnAt;
  std::vector<Rect> drawnIn;
  std::vector<Color> colors;
};

class FixedText final : public Text {
 public:
  FixedText(TextSize size, Recorder& recorder) : size_(size), recorder_(recorder) {}
  TextSize size() const override { return size_; }
  void drawAt(cairo_t* cr, double x, double y, const Color& color) const override {
    cairo_user_to_device(cr, &x, &y);
    recorder_.drawnAt.push_back({x, y});
    recorder_.colors.push_back(color);
  }
  void drawIn(cairo_t*, const Rect& rect, const Color& color) const override {
    recorder_.drawnIn.push_back(rect);
    recorder_.colors.push_back(color);
  }

 private:
  TextSize size_;
  Recorder& recorder_;
};

class FixedEngine final : public TextEngine {
 public:
  explicit FixedEngine(TextSize size) : size_(size) {}
  std::unique_ptr<Text> layOut(std::string_view, double) override {
    ++recorder.layOuts;
    return std::make_unique<FixedText>(size_, recorder);
  }
  Recorder recorder;

 private:
  TextSize size_;
};

TEST(WatermarkLayout, FontSize) {
  struct Case {
    double minRef;
    double diagonal;
    double box;
  };
  for (const Case& c : {Case{1000, 50, 35}, Case{100, 8, 8}, Case{2000, 64, 64}}) {
    EXPECT_EQ(watermarkFontSize(c.minRef, true), c.diagonal) << c.minRef;
    EXPECT_EQ(watermarkFontSize(c.minRef, false), c.box) << c.minRef;
  }
}

TEST(WatermarkLayout, DiagonalAlphaAndDensity) {
  struct Case {
    std::optional<double> given;
    double alpha;
    double density;
  };
  const double inf = std::numeric_limits<double>::infinity();
  for (const Case& c :
       {Case{std::nullopt, 0.12, 1.0}, Case{0.5, 0.3, 0.6}, Case{0.01, 0.04, 0.6},
        Case{0.2, 0.2, 0.6}, Case{kNaN, 0.3, 1.8}, Case{-inf, 0.04, 0.6}, Case{3, 0.3, 1.8},
        Case{0.1, 0.1, 0.6}, Case{1.2, 0.3, 1.2}, Case{1.8, 0.3, 1.8}}) {
    const double shown = c.given.value_or(-1);
    EXPECT_EQ(diagonalAlpha(c.given), c.alpha) << shown;
    EXPECT_EQ(diagonalDensity(c.given), c.density) << shown;
  }
}

TEST(WatermarkLayout, DiagonalWorkedExample) {
  // refW 1000, refH 800, text 300 x 48, density 1: fontSize 40, steps 600 and 240.
  const double fontSize = watermarkFontSize(800, true);
  EXPECT_EQ(fontSize, 40);
  const DiagonalGrid grid = diagonalGrid({300, 48}, fontSize, 1.0, 1000, 800);
  EXPECT_EQ(grid.stepX, 600);
  EXPECT_EQ(grid.stepY, 240);
  std::vector<Point> copies;
  grid.forEach([&](Point p) { copies.push_back(p); });
  std::vector<Point> expected;
  int row = 0;
  for (double y : {-300, -60, 180, 420, 660, 900}) {
    for (double x :
         row++ % 2 == 0 ? std::vector<double>{-300, 300, 900} : std::vector<double>{0, 600, 1200}) {
      expected.push_back({x, y});
    }
  }
  EXPECT_EQ(copies, expected);
  EXPECT_EQ(copies.size(), 18u);
}

TEST(WatermarkLayout, DiagonalStepsHaveAFloor) {
  // A short text at high density steps by 4 em both ways.
  const DiagonalGrid grid = diagonalGrid({20, 10}, 40, 1.8, 1000, 800);
  EXPECT_EQ(grid.stepX, 160);
  EXPECT_EQ(grid.stepY, 160);
}

TEST(WatermarkLayout, CopiesThatCannotReachThePictureAreKnown) {
  struct Case {
    Point origin;
    bool reaches;
  };
  // Text 300 x 48 turned -30 degrees on a 1000 x 800 reference (the worked example's grid).
  for (const Case& c : {Case{{300, 420}, true}, Case{{-300, 420}, false}, Case{{900, 660}, true},
                        Case{{0, -60}, false}, Case{{1200, -60}, false}, Case{{-300, -300}, false},
                        Case{{600, 900}, true}, Case{{-300, 900}, false}}) {
    EXPECT_EQ(diagonalCopyReaches(c.origin, {300, 48}, 0, 1000, 800), c.reaches)
        << c.origin.x << ", " << c.origin.y;
  }
  // An em of margin for ink outside the text's box brings two of them in.
  EXPECT_TRUE(diagonalCopyReaches({0, -60}, {300, 48}, 40, 1000, 800));
  EXPECT_TRUE(diagonalCopyReaches({-300, 900}, {300, 48}, 40, 1000, 800));
}

TEST(WatermarkLayout, BoxWorkedExample) {
  // refW 1000, refH 800, text 200 x 34.
  const double fontSize = watermarkFontSize(800, false);
  const BoxLayout box = boxLayout({200, 34}, fontSize, 1000, 800);
  EXPECT_EQ(box.pad, 20);
  EXPECT_EQ(box.box, (Rect{760, 726, 220, 54}));
  EXPECT_EQ(box.radius, 9.8);
  EXPECT_EQ(box.textRect, (Rect{770, 736, 200, 34}));
}

TEST(WatermarkLayout, WideTextIsCappedToTheReferenceWidth) {
  const BoxLayout box = boxLayout({5000, 34}, 28, 1000, 800);
  EXPECT_EQ(box.box, (Rect{20, 726, 960, 54}));
  EXPECT_EQ(box.textRect, (Rect{30, 736, 940, 34}));
  // Narrower than two pads: the width comes out negative (the drawing flips it).
  const BoxLayout tiny = boxLayout({50, 10}, 8, 10, 10);
  EXPECT_EQ(tiny.pad, 6);
  EXPECT_EQ(tiny.box.width, -2);
  EXPECT_EQ(tiny.radius, 4);
}

class DrawWatermark : public ::testing::Test {
 protected:
  Canvas canvas_{500, 400, false};
};

TEST_F(DrawWatermark, BoxStylesMeasureOnceAndDrawInTheTextRect) {
  FixedEngine engine({200, 34});
  cairo_t* cr = canvas_.context();
  cairo_scale(cr, 0.5, 0.5);  // reference 1000 x 800 on 500 x 400 pixels
  drawWatermark(cr, {"x", WatermarkStyle::kCornerStamp, 0.2, 1.0, {}}, 1000, 800, engine);
  EXPECT_EQ(engine.recorder.layOuts, 1);
  ASSERT_EQ(engine.recorder.drawnIn.size(), 1u);
  EXPECT_EQ(engine.recorder.drawnIn[0], (Rect{770, 736, 200, 34}));
  EXPECT_EQ(engine.recorder.colors[0], (Color{1, 1, 1, kBoxTextAlpha}));
  EXPECT_EQ(cairo_status(cr), CAIRO_STATUS_SUCCESS);
}

TEST_F(DrawWatermark, DiagonalCopiesTurnAtTheirGridPoints) {
  FixedEngine engine({300, 48});
  cairo_t* cr = canvas_.context();
  cairo_scale(cr, 0.5, 0.5);
  drawWatermark(cr, {"x", WatermarkStyle::kDiagonalRepeat, 0.5, std::nullopt, {}}, 1000, 800,
                engine);
  EXPECT_EQ(engine.recorder.layOuts, 1);
  // The copies of the worked example that can reach the picture, in device pixels.
  std::vector<Point> expected;
  DiagonalGrid grid = diagonalGrid({300, 48}, 40, 1.0, 1000, 800);
  grid.forEach([&](Point p) {
    if (diagonalCopyReaches(p, {300, 48}, 40, 1000, 800)) expected.push_back({p.x / 2, p.y / 2});
  });
  EXPECT_EQ(engine.recorder.drawnAt, expected);
  EXPECT_GE(expected.size(), 10u);
  EXPECT_LT(expected.size(), 18u);
  for (const Color& c : engine.recorder.colors) EXPECT_EQ(c, (Color{1, 1, 1, 0.3}));
  EXPECT_EQ(cairo_status(cr), CAIRO_STATUS_SUCCESS);
}

TEST_F(DrawWatermark, VeryLongDiagonalTextDrawsOnlyTheCopiesThatShow) {
  // A text 10 million units wide: the grid holds about 170,000 copies, a few dozen show.
  FixedEngine engine({1e7, 48});
  cairo_t* cr = canvas_.context();
  drawWatermark(cr, {"x", WatermarkStyle::kDiagonalRepeat, {}, {}, {}}, 500, 400, engine);
  size_t copies = 0;
  diagonalGrid({1e7, 48}, 20, 1.0, 500, 400).forEach([&](Point) { ++copies; });
  EXPECT_GT(copies, 100'000u);
  EXPECT_GT(engine.recorder.drawnAt.size(), 0u);
  EXPECT_LT(engine.recorder.drawnAt.size(), 50u);
}

TEST_F(DrawWatermark, HugeReferenceScaleKeepsTheContextUsable) {
  // A reference space a billionth of a unit wide and 100 units tall: the box reaches
  // trillions of pixels past both sides, far beyond Cairo's coordinate range. It is pulled in
  // and still covers the canvas's width between its top and bottom, rows 216 to 376.
  FixedEngine engine({200, 34});
  cairo_t* cr = canvas_.context();
  cairo_set_source_rgb(cr, 1, 1, 1);
  cairo_paint(cr);
  cairo_save(cr);
  cairo_scale(cr, 500 / 1e-9, 400 / 100.0);
  drawWatermark(cr, {"x", WatermarkStyle::kMinimalSignature, {}, {}, {}}, 1e-9, 100, engine);
  cairo_restore(cr);
  EXPECT_EQ(cairo_status(cr), CAIRO_STATUS_SUCCESS);
  const platform::BitmapView pixels = canvas_.view();
  struct Probe {
    uint32_t y;
    int red;
  };
  for (const Probe& probe : {Probe{100, 255}, Probe{214, 255}, Probe{218, 133}, Probe{300, 133},
                             Probe{374, 133}, Probe{378, 255}}) {
    for (uint32_t x : {0u, 250u, 499u}) {
      const uint32_t p = pixels.row(probe.y)[x];
      EXPECT_NEAR(static_cast<int>((p >> 16) & 0xFF), probe.red, 1) << x << ", " << probe.y;
    }
  }
}

}  // namespace
}  // namespace velmo::draw
