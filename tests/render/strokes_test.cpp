// Strokes drawn by "render", probed on the written pixels: colours, figures, the blur brush,
// and input that must not spoil the strokes after it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "tests/support/image_files.h"
#include "tests/support/test_support.h"

namespace velmo::testing {
namespace {

using host::EncodableList;
using host::EncodableMap;
using host::EncodableValue;

constexpr uint32_t kGrey = 0xFF808080u;
constexpr uint32_t kRed = 0xFFFF0000u;
constexpr uint32_t kWhite = 0xFFFFFFFFu;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// On the 200 x 200 canvas of a 100 x 100 photo, this widthFraction gives a 6 px brush.
constexpr double kSixPixels = 0.03;

EncodableValue points(std::initializer_list<std::pair<double, double>> list) {
  EncodableList result;
  for (auto [x, y] : list) result.push_back(EncodableList{x, y});
  return result;
}

EncodableValue stroke(EncodableValue pointList, EncodableValue shape = EncodableValue(),
                      EncodableValue color = int64_t{kRed}, double widthFraction = kSixPixels) {
  EncodableMap map{{"points", std::move(pointList)},
                   {"colorARGB", std::move(color)},
                   {"widthFraction", widthFraction}};
  if (!shape.isNull()) map.emplace_back("shape", std::move(shape));
  return map;
}

uint32_t pixel(const RgbaImage& image, double fx, double fy) {
  const uint8_t* p =
      image.at(static_cast<uint32_t>(fx * image.width), static_cast<uint32_t>(fy * image.height));
  return (uint32_t{p[3]} << 24) | (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2];
}

class StrokesTest : public ::testing::Test {
 protected:
  // A photo whose every pixel is |color| (alpha declared, so the output is an exact PNG), or
  // one made by |generate|.
  std::string photo(uint32_t w, uint32_t h, std::function<uint32_t(uint32_t, uint32_t)> generate,
                    bool alpha = true) {
    const std::string path = dir_.file("photo" + std::to_string(++photos_) + ".png");
    writePngFile(path, RgbaImage::generate(w, h, generate), alpha);
    return path;
  }
  std::string uniform(uint32_t color = kGrey, bool alpha = true) {
    return photo(
        100, 100, [color](uint32_t, uint32_t) { return color; }, alpha);
  }

  RgbaImage render(const std::string& path, EncodableList strokes,
                   EncodableList crop = {0, 0, 1, 1}) {
    Reply reply =
        harness_.call("render", renderArguments(path, dir_.file("out"), 200, 200,
                                                map({{"strokes", strokes}, {"crop", crop}})));
    EXPECT_TRUE(reply.ok()) << reply.errorMessage();
    if (!reply.ok()) return {};
    return readImageFile(*stringEntry(reply.map(), "path"));
  }

  PluginHarness harness_;
  ScratchDir dir_;
  int photos_ = 0;
};

TEST_F(StrokesTest, ColoursFromEveryNumberForm) {
  const std::string grey = uniform();
  struct Case {
    const char* label;
    EncodableValue color;
    uint32_t expected;
  };
  for (const Case& c : {
           Case{"int64", int64_t{4278255360}, 0xFF00FF00u},
           Case{"int32", int32_t{-16711936}, 0xFF00FF00u},
           Case{"float64", 4278255360.0, 0xFF00FF00u},
           Case{"beyond 32 bits", int64_t{0x1FF0000FF}, 0xFF0000FFu},
           Case{"absent", EncodableValue(), kWhite},
           Case{"text", "0xFFFF0000", kWhite},
           Case{"alpha 0", int64_t{0x00FF0000}, kGrey},
           Case{"half red", int64_t{0x80FF0000}, 0xFFC04040u},
       }) {
    SCOPED_TRACE(c.label);
    EncodableMap line{{"points", points({{0.1, 0.5}, {0.9, 0.5}})}, {"widthFraction", kSixPixels}};
    if (!c.color.isNull()) line.emplace_back("colorARGB", c.color);
    const RgbaImage out = render(grey, {line});
    const uint32_t centre = pixel(out, 0.5, 0.5);
    // Within one level for the blend's rounding.
    for (int shift : {0, 8, 16}) {
      EXPECT_NEAR((centre >> shift) & 0xFF, (c.expected >> shift) & 0xFF, 1) << std::hex << centre;
    }
    // Four pixels beyond the line's edge the photo is untouched.
    EXPECT_EQ(pixel(out, 0.5, 0.5 - 7 / 200.0), kGrey);
    EXPECT_EQ(pixel(out, 0.95, 0.5), kGrey);
  }
}

TEST_F(StrokesTest, ATranslucentLineIsLaidDownOnceWhereItCrossesItself) {
  // An X drawn as one freehand stroke: its crossing is no darker than its arms.
  const RgbaImage out =
      render(uniform(), {stroke(points({{0.2, 0.2}, {0.8, 0.8}, {0.8, 0.2}, {0.2, 0.8}}),
                                EncodableValue(), int64_t{0x80FF0000})});
  EXPECT_EQ(pixel(out, 0.5, 0.5), pixel(out, 0.35, 0.35));
  EXPECT_NE(pixel(out, 0.5, 0.5), kGrey);
}

TEST_F(StrokesTest, ShapesByExactName) {
  const std::string grey = uniform();
  // First (0.2, 0.2), a middle point (0.8, 0.2), last (0.8, 0.8): probes on the top edge of
  // their box, its left edge, its diagonal, its top right corner, and an arrow barb at the
  // last point. 1 is the stroke colour, 0 the photo, -1 not looked at.
  struct Case {
    const char* shape;
    int top, left, diagonal, corner, barb;
  };
  for (const Case& c : {
           Case{"freehand", 1, 0, 0, 1, -1},
           Case{"Rect", 1, 0, 0, 1, -1},
           Case{"ARROW", 1, 0, 0, 1, -1},
           Case{"", 1, 0, 0, 1, -1},
           Case{"rectangle", 1, 1, 0, 1, -1},
           Case{"rect", 1, 1, 0, 1, -1},
           Case{"circle", 1, 1, 0, 0, -1},
           Case{"oval", 1, 1, 0, 0, -1},
           Case{"line", 0, 0, 1, 0, 0},
           Case{"arrow", 0, 0, 1, 0, 1},
       }) {
    SCOPED_TRACE(c.shape);
    const RgbaImage out =
        render(grey, {stroke(points({{0.2, 0.2}, {0.8, 0.2}, {0.8, 0.8}}), c.shape)});
    auto expect = [&](int wanted, double fx, double fy) {
      if (wanted >= 0) {
        EXPECT_EQ(pixel(out, fx, fy), wanted ? kRed : kGrey) << fx << ", " << fy;
      }
    };
    expect(c.top, 0.5, 0.2);
    expect(c.left, 0.2, 0.5);
    expect(c.diagonal, 0.35, 0.35);
    expect(c.corner, 0.8, 0.2);
    // Half way along the lower barb: 12 px back from (160, 160), 15 degrees below the axis.
    expect(c.barb, (160 - 12 * std::cos(M_PI / 12)) / 200, (160 - 12 * std::sin(M_PI / 12)) / 200);
  }
}

TEST_F(StrokesTest, BoxesIgnoreTheOrderOfTheirPointsAndTheMiddleOnes) {
  const std::string grey = uniform();
  for (const char* shape : {"rectangle", "circle"}) {
    SCOPED_TRACE(shape);
    const RgbaImage forward = render(grey, {stroke(points({{0.2, 0.3}, {0.7, 0.9}}), shape)});
    const RgbaImage backward =
        render(grey, {stroke(points({{0.7, 0.9}, {0.1, 0.1}, {0.2, 0.3}}), shape)});
    EXPECT_EQ(maxDifference(forward, backward), 0);
  }
}

TEST_F(StrokesTest, PointsThatDoNotCount) {
  const std::string grey = uniform();
  const EncodableValue later = stroke(points({{0.1, 0.9}, {0.9, 0.9}}));
  struct Case {
    const char* label;
    EncodableValue points;
    bool disc;  // a disc at (0.5, 0.5)
  };
  for (const Case& c : {
           Case{"missing", EncodableValue(), false},
           Case{"empty", EncodableList{}, false},
           Case{"flat", EncodableList{0.5, 0.5}, false},
           Case{"non-number", EncodableList{EncodableList{0.5, "0.5"}}, false},
           Case{"three then two",
                EncodableList{EncodableList{0.1, 0.1, 1.0}, EncodableList{0.5, 0.5}}, true},
           Case{"one point", points({{0.5, 0.5}}), true},
       }) {
    SCOPED_TRACE(c.label);
    EncodableMap first{{"colorARGB", int64_t{kRed}}, {"widthFraction", 0.1}};
    if (!c.points.isNull()) first.emplace_back("points", c.points);
    const RgbaImage out = render(grey, {first, later});
    EXPECT_EQ(pixel(out, 0.5, 0.5), c.disc ? kRed : kGrey);
    // A disc of 20 px: not at (0.1, 0.1), and gone 12 px from its centre.
    EXPECT_EQ(pixel(out, 0.1, 0.1), kGrey);
    EXPECT_EQ(pixel(out, 0.56, 0.5), kGrey);
    EXPECT_EQ(pixel(out, 0.5, 0.9), kRed);
  }
}

TEST_F(StrokesTest, BlurChangesOnlyTheBrushArea) {
  // Every pixel differs from its neighbours, so the blur shows everywhere it reaches.
  const std::string busy = photo(100, 100, [](uint32_t x, uint32_t y) {
    return 0xFF000000u | ((x * 37 % 256) << 16) | ((y * 53 % 256) << 8) | ((x * y) % 256);
  });
  const RgbaImage plain = render(busy, {});
  // A disc of 20 px at (100, 60), and a brush of 6 px along y = 150.
  const RgbaImage out = render(busy, {stroke(points({{0.5, 0.3}}), "blur", EncodableValue(), 0.1),
                                      stroke(points({{0.2, 0.75}, {0.8, 0.75}}), "blur")});
  int changedInside = 0, changedOutside = 0;
  for (uint32_t y = 0; y < out.height; ++y) {
    for (uint32_t x = 0; x < out.width; ++x) {
      const bool differs = std::memcmp(out.at(x, y), plain.at(x, y), 4) != 0;
      const double disc = std::hypot(x + 0.5 - 100, y + 0.5 - 60);
      const double dx = std::max({40 - (x + 0.5), (x + 0.5) - 160, 0.0});
      const double brush = std::hypot(dx, y + 0.5 - 150);
      // A pixel partly under the brush's edge reaches up to 0.71 px beyond it.
      if (disc < 9 || brush < 2) changedInside += differs;
      if (disc > 11 && brush > 4) changedOutside += differs;
    }
  }
  EXPECT_GT(changedInside, 300);
  EXPECT_EQ(changedOutside, 0);
}

TEST_F(StrokesTest, BlurOfAUniformPhotoStaysUniformUpToTheBorder) {
  for (bool alpha : {true, false}) {
    SCOPED_TRACE(alpha ? "with alpha (PNG)" : "opaque (JPEG)");
    const std::string teal = uniform(0xFF3C8AD2u, alpha);
    // Brushes across all four borders and a disc on a corner.
    const RgbaImage out = render(
        teal, {stroke(points({{-0.1, 0.02}, {1.1, 0.02}, {0.98, 1.1}, {0.02, 0.98}, {0.02, -0.1}}),
                      "blur", EncodableValue(), 0.1),
               stroke(points({{1, 1}}), "blur", EncodableValue(), 0.3)});
    EXPECT_LE(maxDifference(out, RgbaImage::filled(200, 200, 0xFF3C8AD2u)), 2);
  }
}

TEST_F(StrokesTest, BlurKeepsTransparencyAndLaterStrokesShowOnTop) {
  // Left half transparent, right half opaque red.
  const std::string half = photo(100, 100, [](uint32_t x, uint32_t) { return x < 50 ? 0u : kRed; });
  const RgbaImage out = render(
      half, {stroke(points({{0.02, 0.5}, {0.98, 0.5}}), "blur", EncodableValue(), 0.2),
             stroke(points({{0.85, 0.45}, {0.85, 0.55}}), EncodableValue(), int64_t{kWhite})});
  // Far enough from the edge between the halves that the blur cannot mix them.
  for (double x : {0.05, 0.2, 0.3}) EXPECT_EQ(out.at(x * 200, 100)[3], 0) << x;
  for (double x : {0.7, 0.75, 0.95}) {
    const uint8_t* p = out.at(x * 200, 100);
    EXPECT_EQ(p[3], 255) << x;
    EXPECT_GE(p[0], 253) << x;
    EXPECT_LE(std::max(p[1], p[2]), 2) << x;
  }
  // The blur shows between the halves: a partly transparent, still red mix.
  EXPECT_LT(out.at(100, 100)[3] + 0, 255);
  EXPECT_EQ(pixel(out, 0.85, 0.5), kWhite);
}

TEST_F(StrokesTest, DegenerateInputLeavesLaterStrokesVisible) {
  const std::string grey = uniform();
  const EncodableValue later = stroke(points({{0.1, 0.9}, {0.9, 0.9}}), "line", int64_t{kWhite});
  struct Case {
    const char* label;
    EncodableValue first;
    // Where the first stroke shows, if anywhere.
    double x = -1, y = -1;
  };
  for (const Case& c : {
           Case{"far point", stroke(points({{1e9, 0.5}, {0.5, 0.5}})), 0.75, 0.5},
           Case{"far point first", stroke(points({{0.5, 0.5}, {-1e300, 0.5}})), 0.25, 0.5},
           Case{"not a number", stroke(points({{kNaN, 0.5}, {0.5, kNaN}}))},
           Case{"NaN among points", stroke(points({{0.5, 0.2}, {kNaN, 0.3}, {0.5, 0.6}})), 0.5,
                0.4},
           Case{"zero-width circle", stroke(points({{0.3, 0.2}, {0.3, 0.7}}), "circle"), 0.3, 0.5},
           Case{"zero-size rectangle", stroke(points({{0.3, 0.3}, {0.3, 0.3}}), "rectangle"), 0.3,
                0.3},
           Case{"huge rectangle", stroke(points({{-1e9, 0.5}, {1e9, 1e12}}), "rectangle"), 0.5,
                0.5},
           Case{"huge ellipse", stroke(points({{-1e9, -1e9}, {1e9, 1e9}}), "oval")},
           Case{"arrow to far off", stroke(points({{0.5, 0.3}, {1e12, 0.3}}), "arrow"), 0.7, 0.3},
           Case{"zero-length arrow", stroke(points({{0.5, 0.5}}), "arrow"), 0.5, 0.5},
           Case{"huge width far off",
                stroke(points({{1e9, 1e9}}), EncodableValue(), int64_t{kRed}, 1e9)},
       }) {
    SCOPED_TRACE(c.label);
    const RgbaImage out = render(grey, {c.first, later});
    EXPECT_EQ(pixel(out, 0.5, 0.9), kWhite);
    if (c.x >= 0) {
      EXPECT_EQ(pixel(out, c.x, c.y), kRed);
    }
    // Away from both strokes the photo shows.
    EXPECT_EQ(pixel(out, 0.1, 0.75), kGrey);
  }
  // A brush wide beyond any canvas covers it all; a later stroke still draws over it.
  const RgbaImage wide =
      render(grey, {stroke(points({{0.5, 0.5}}), EncodableValue(), int64_t{kRed}, 1e9), later});
  EXPECT_EQ(pixel(wide, 0.1, 0.1), kRed);
  EXPECT_EQ(pixel(wide, 0.5, 0.9), kWhite);
  // A crop a billionth wide maps x beyond 10^11 pixels, except at its own left edge.
  const RgbaImage thin = render(
      grey, {stroke(points({{0.9, 0.1}, {0.9, 0.9}})), stroke(points({{0.5, 0.1}, {0.5, 0.9}}))},
      {0.5, 0, 1e-9, 1});
  EXPECT_EQ(pixel(thin, 0, 0.5), kRed);
}

// Where a stroke crosses column |x| between rows |from| and |to| of a render on white: the
// centre of the stroke colour's coverage there, from how far green has dropped.
double inkCentre(const RgbaImage& image, uint32_t x, uint32_t from, uint32_t to) {
  double weight = 0, sum = 0;
  for (uint32_t y = from; y < to; ++y) {
    const double ink = 255 - image.at(x, y)[1];
    weight += ink;
    sum += ink * (y + 0.5);
  }
  return weight > 0 ? sum / weight : -1;
}

class StrokesAtSizeTest : public StrokesTest {
 protected:
  // The strokes drawn on a width x height canvas of the whole photo.
  RgbaImage renderAt(const std::string& path, int64_t width, int64_t height,
                     EncodableList strokes) {
    Reply reply = harness_.call("render", renderArguments(path, dir_.file("sized"), width, height,
                                                          map({{"strokes", std::move(strokes)}})));
    EXPECT_TRUE(reply.ok()) << reply.errorMessage();
    if (!reply.ok()) return {};
    return readImageFile(*stringEntry(reply.map(), "path"));
  }
};

TEST_F(StrokesAtSizeTest, AnEllipseFarBeyondTheCanvasShowsItsOwnArc) {
  // On 400 x 300 pixels of a 400 x 300 photo the box runs from x = -3,999,610 to 390 and from
  // y = -4850 to 5150: far beyond what Cairo can hold, yet its right end shows. A brush of
  // 3 px; the arc is (x - cx)^2 / rx^2 + (y - cy)^2 / ry^2 = 1.
  const std::string white = photo(400, 300, [](uint32_t, uint32_t) { return kWhite; });
  const double left = 400 * -9999.025, right = 400 * 0.975;
  const double top = 300 * -16.1667, bottom = 300 * 17.1667;
  const double cx = (left + right) / 2, rx = (right - left) / 2;
  const double cy = (top + bottom) / 2, ry = (bottom - top) / 2;
  for (const char* shape : {"oval", "circle"}) {
    SCOPED_TRACE(shape);
    const RgbaImage out = renderAt(
        white, 400, 300,
        {stroke(points({{-9999.025, -16.1667}, {0.975, 17.1667}}), shape, int64_t{kRed}, 0.01)});
    ASSERT_EQ(out.width, 400u);
    for (uint32_t x : {0u, 100u, 200u, 300u, 380u}) {
      const double u = (x + 0.5 - cx) / rx;
      const double half = ry * std::sqrt(1 - u * u);
      // Measured within 0.1 px; a bent arc is tens of pixels off (at x = 200, 52 and 247
      // instead of 81.2 and 218.8).
      EXPECT_NEAR(inkCentre(out, x, 0, 150), cy - half, 0.25) << x;
      EXPECT_NEAR(inkCentre(out, x, 150, 300), cy + half, 0.25) << x;
    }
    // Beyond the ellipse's right end the photo is untouched.
    EXPECT_EQ(pixel(out, 395 / 400.0, 0.5), kWhite);
  }
  // Boxes 10^12 and 10^303 pixels wide: across the canvas their ellipses are the level lines
  // through the top and bottom of the box.
  for (double far : {1e9, 1e300}) {
    SCOPED_TRACE(far);
    const RgbaImage out = renderAt(
        white, 400, 300, {stroke(points({{-far, 0.4}, {far, 0.6}}), "oval", int64_t{kRed}, 0.01)});
    for (uint32_t x : {0u, 200u, 399u}) {
      EXPECT_NEAR(inkCentre(out, x, 0, 150), 120, 0.05) << x;
      EXPECT_NEAR(inkCentre(out, x, 150, 300), 180, 0.05) << x;
    }
  }
}

TEST_F(StrokesTest, FarEndsOfSlopedSegmentsAreCutOnTheLine) {
  // From (40, 30) on the canvas towards a point 10^18 pixels off, at a slope of 0.37: what
  // shows lies on that line, however the segment is cut at the canvas's reach.
  const std::string white = uniform(kWhite);
  const double farX = (40 + 1e18) / 200, farY = (30 + 0.37e18) / 200;
  const double slope = (200 * farY - 30) / (200 * farX - 40);
  for (const char* shape : {"line", "freehand"}) {
    for (bool farFirst : {false, true}) {
      SCOPED_TRACE(std::string(shape) + (farFirst ? ", far end first" : ""));
      const EncodableValue line =
          farFirst ? points({{farX, farY}, {0.2, 0.15}}) : points({{0.2, 0.15}, {farX, farY}});
      const RgbaImage out = render(white, {stroke(line, shape)});
      for (uint32_t x = 50; x < 200; x += 10) {
        const double expected = 30 + slope * (x + 0.5 - 40);
        EXPECT_NEAR(inkCentre(out, x, static_cast<uint32_t>(expected) - 8,
                              static_cast<uint32_t>(expected) + 9),
                    expected, 0.2)
            << x;
      }
    }
  }
}

TEST_F(StrokesTest, BrushesWiderThan64PixelsReachTheLastColumn) {
  // An 80 px brush along x = 190 covers columns 150 to 199 whole: drawn by Cairo straight, as
  // coverage in pieces (more than 4096 segments), and as a blur brush.
  const std::string white = uniform(kWhite);
  EncodableList zigzag;
  for (int i = 0; i <= 5000; ++i)
    zigzag.push_back(EncodableList{i % 2 ? 0.96 : 0.94, 0.8 * i / 5000 + 0.1});
  for (const EncodableValue& line : {points({{0.95, 0.1}, {0.95, 0.9}}), EncodableValue(zigzag)}) {
    const RgbaImage out = render(white, {stroke(line, EncodableValue(), int64_t{kRed}, 0.4)});
    for (double y : {0.3, 0.5, 0.7}) {
      EXPECT_EQ(pixel(out, 199.5 / 200, y), kRed) << y;
      EXPECT_EQ(pixel(out, 151.0 / 200, y), kRed) << y;
    }
  }
  // Columns of black and white: the blur makes them grey, up to the last column.
  const std::string stripes =
      photo(100, 100, [](uint32_t x, uint32_t) { return x % 2 ? kWhite : 0xFF000000u; });
  const RgbaImage plain = render(stripes, {});
  const RgbaImage blurred =
      render(stripes, {stroke(points({{0.95, 0.1}, {0.95, 0.9}}), "blur", EncodableValue(), 0.4)});
  for (uint32_t y : {60u, 100u, 140u}) EXPECT_EQ(plain.at(199, y)[0], 255);
  for (uint32_t x : {151u, 198u, 199u}) {
    for (uint32_t y : {60u, 100u, 140u}) {
      EXPECT_GT(blurred.at(x, y)[0], 120) << x << ", " << y;
      EXPECT_LT(blurred.at(x, y)[0], 230) << x << ", " << y;
    }
  }
}

TEST_F(StrokesAtSizeTest, WithoutAWidthTheBrushIsTheDefaultWidth) {
  // 0.006 of the photo's shorter side: on 1000 x 1000 pixels of a 100 x 100 photo, 6 px. A
  // level line's coverage down one column adds up to its width.
  const std::string white = uniform(kWhite);
  EncodableMap noWidth{{"points", points({{0.1, 0.5}, {0.9, 0.5}})}, {"colorARGB", int64_t{kRed}}};
  const RgbaImage out = renderAt(white, 1000, 1000, {noWidth});
  for (uint32_t x : {300u, 500u, 700u}) {
    double width = 0;
    for (uint32_t y = 480; y < 520; ++y) width += (255 - out.at(x, y)[1]) / 255.0;
    EXPECT_NEAR(width, 6, 0.05) << x;
  }
  const RgbaImage given =
      renderAt(white, 1000, 1000,
               {stroke(points({{0.1, 0.5}, {0.9, 0.5}}), EncodableValue(), int64_t{kRed}, 0.006)});
  EXPECT_EQ(maxDifference(out, given), 0);
}

TEST_F(StrokesTest, ABlurStrokeAfterOtherStrokesStillBlurs) {
  const std::string busy = photo(100, 100, [](uint32_t x, uint32_t y) {
    return 0xFF000000u | ((x * 37 % 256) << 16) | ((y * 53 % 256) << 8) | ((x * y) % 256);
  });
  const EncodableValue line = stroke(points({{0.1, 0.1}, {0.9, 0.1}}));
  const RgbaImage plain = render(busy, {line});
  const RgbaImage out =
      render(busy, {line, stroke(points({{0.5, 0.6}}), "blur", EncodableValue(), 0.2)});
  // A disc of 40 px at (100, 120).
  int changed = 0;
  for (uint32_t y = 105; y < 135; ++y) {
    for (uint32_t x = 85; x < 115; ++x)
      changed += std::memcmp(out.at(x, y), plain.at(x, y), 4) != 0;
  }
  EXPECT_GT(changed, 800);
  EXPECT_EQ(std::memcmp(out.at(100, 20), plain.at(100, 20), 4), 0);
}

TEST_F(StrokesTest, NegativeDoubleColoursKeepTheirLow32Bits) {
  // A double is cut to its whole part; a negative one then wraps like a signed 32-bit value.
  const std::string grey = uniform();
  struct Case {
    double color;
    uint32_t expected;
  };
  for (const Case& c :
       {Case{-16711936.0, 0xFF00FF00u}, Case{-16711936.75, 0xFF00FF00u},
        Case{-65536.0, 0xFFFF0000u}, Case{-1.0, kWhite}, Case{-4278190081.0, kGrey}}) {
    SCOPED_TRACE(c.color);
    const RgbaImage out =
        render(grey, {stroke(points({{0.1, 0.5}, {0.9, 0.5}}), EncodableValue(), c.color)});
    EXPECT_EQ(pixel(out, 0.5, 0.5), c.expected) << std::hex << pixel(out, 0.5, 0.5);
  }
}

TEST_F(StrokesAtSizeTest, BlurOfAnEdgeFollowsTheGaussianProfile) {
  // A 96 x 96 photo is its own preview, and the canvas of its size shows the preview pixel for
  // pixel: a black and white edge at x = 48 comes out as the edge blurred by a Gaussian of
  // sigma 3 pixels (taps to 3 sigma, edges repeated) in linear light.
  const std::string edge =
      photo(96, 96, [](uint32_t x, uint32_t) { return x < 48 ? 0xFF000000u : kWhite; });
  const RgbaImage out =
      renderAt(edge, 96, 96, {stroke(points({{0.5, 0.5}}), "blur", EncodableValue(), 3.0)});
  ASSERT_EQ(out.width, 96u);
  double weights[19], total = 0;
  for (int k = -9; k <= 9; ++k) total += weights[k + 9] = std::exp(-k * k / 18.0);
  auto linear = [](double srgb) {
    return srgb <= 0.04045 ? srgb / 12.92 : std::pow((srgb + 0.055) / 1.055, 2.4);
  };
  for (uint32_t y : {0u, 48u, 95u}) {
    for (int x = 0; x < 96; ++x) {
      double expected = 0;
      for (int k = -9; k <= 9; ++k) expected += std::clamp(x + k, 0, 95) >= 48 ? weights[k + 9] : 0;
      expected /= total;
      // Within half an 8-bit step near white and what a kernel a little wider or narrower
      // gives; a sigma of 2 or 4 is off by 0.09 next to the edge, a blur in sRGB by 0.3.
      for (int channel = 0; channel < 3; ++channel) {
        EXPECT_NEAR(linear(out.at(x, y)[channel] / 255.0), expected, 0.005) << x << ", " << y;
      }
    }
  }
}

}  // namespace
}  // namespace velmo::testing
