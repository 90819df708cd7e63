// The watermark of "render", seen in the pictures it writes: where the box sits and what
// fills it, how bright the diagonal text is, every way of switching it off, and the reference
// scale. Photos are flat PNGs with an alpha channel, so the outputs are exact PNGs; text
// metrics depend on the fonts, so probes sit in the box's padding band or look for extremes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>

#include "draw/text.h"
#include "tests/support/image_files.h"
#include "tests/support/test_support.h"

namespace velmo::testing {
namespace {

using draw::Size;
using host::EncodableList;
using host::EncodableMap;
using host::EncodableValue;

constexpr uint32_t kWhite = 0xFFFFFFFF;
constexpr uint32_t kBlack = 0xFF000000;
constexpr int64_t kRed = 0xFFFF0000;
constexpr int64_t kBlue = 0xFF0000FF;
// Black at 0.48 over white.
constexpr int kBoxGrey = 133;

std::string repeated(const std::string& text, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += text;
  return out;
}

EncodableMap watermark(const std::string& text, const EncodableValue& style = EncodableValue()) {
  EncodableMap mark = map({{"enabled", true}, {"text", text}});
  if (!style.isNull()) mark.emplace_back("style", style);
  return mark;
}

class WatermarkTest : public ::testing::Test {
 protected:
  // Renders a flat |photo| at |size| x |size| with the given recipe parts (null: absent) and
  // reference size (absent: the output size), and reads the PNG back.
  RgbaImage render(const EncodableValue& watermark, uint32_t photoColor = kWhite,
                   int64_t size = 400, std::optional<double> reference = std::nullopt,
                   const EncodableValue& strokes = EncodableValue()) {
    const std::string photo = dir_.file("photo" + std::to_string(photoColor) + ".png");
    writePngFile(photo, RgbaImage::filled(64, 64, photoColor), true);
    EncodableMap recipe;
    if (!watermark.isNull()) recipe.emplace_back("watermark", watermark);
    if (!strokes.isNull()) recipe.emplace_back("strokes", strokes);
    EncodableMap arguments =
        renderArguments(photo, dir_.file("out" + std::to_string(++count_)), size, size, recipe);
    if (reference) {
      arguments.emplace_back("referenceWidth", *reference);
      arguments.emplace_back("referenceHeight", *reference);
    }
    const Reply reply = harness_.call("render", arguments);
    EXPECT_TRUE(reply.ok()) << reply.errorMessage();
    if (!reply.ok()) return {};
    return readImageFile(*stringEntry(reply.map(), "path"));
  }

  static int red(const RgbaImage& image, uint32_t x, uint32_t y) { return image.at(x, y)[0]; }
  static int blue(const RgbaImage& image, uint32_t x, uint32_t y) { return image.at(x, y)[2]; }

  // The first row, from the top, where column |x| is no longer white.
  static uint32_t firstMarkedRow(const RgbaImage& image, uint32_t x) {
    uint32_t y = 0;
    while (y < image.height && red(image, x, y) > 250) ++y;
    return y;
  }
  static int brightest(const RgbaImage& image) {
    int most = 0;
    for (size_t i = 0; i < image.rgba.size(); i += 4) most = std::max<int>(most, image.rgba[i]);
    return most;
  }

  PluginHarness harness_;
  ScratchDir dir_;
  int count_ = 0;
};

TEST_F(WatermarkTest, BoxHugsTheBottomRightCornerWhateverTheFont) {
  // 400 x 400 at reference 400: pad 10, so the box ends at x = 390 and y = 390 exactly; a text
  // too wide for the picture spreads it from x = 10. Half a pad inside its edges is only fill.
  for (const std::string& text : {std::string("Velmo"), std::string("維爾莫相簿"),
                                  repeated("Velmo 2026 · 維爾莫相簿 ", 30)}) {
    SCOPED_TRACE(text.substr(0, 20));
    const RgbaImage out = render(watermark(text));
    const uint32_t top = firstMarkedRow(out, 380), middle = (top + 390) / 2;
    EXPECT_GE(390 - top, 10 + 14u);  // one line of 14-unit text, 1 to 2 ems, plus a pad
    EXPECT_LE(390 - top, 10 + 28u);
    for (uint32_t i : {386u, 389u}) {
      EXPECT_NEAR(red(out, i, middle), kBoxGrey, 1);
      EXPECT_NEAR(red(out, 370, i), kBoxGrey, 1);
    }
    EXPECT_EQ(red(out, 390, middle), 255);
    EXPECT_EQ(red(out, 370, 390), 255);
    const bool wide = text.size() > 100;
    EXPECT_NEAR(red(out, 10, middle), wide ? kBoxGrey : 255, 1);
    EXPECT_EQ(red(out, 9, middle), 255);
  }
}

TEST_F(WatermarkTest, BoxFill) {
  // Probes in the padding band near the box's top-left and bottom-right corners, on white.
  const EncodableValue redBlue = EncodableList{kRed, kBlue};
  struct Case {
    EncodableValue style, colors;
    bool gradient;
  };
  const Case cases[] = {
      {EncodableValue(), EncodableValue(), false},
      {"minimalSignature", redBlue, false},
      {"fancy", redBlue, false},
      {"cornerStamp", redBlue, true},
      {"cornerStamp", EncodableList{kRed}, false},
      {"cornerStamp", EncodableList{kRed, "0xFF0000FF"}, false},
  };
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(index++);
    EncodableMap mark = watermark(repeated("Velmo ", 80), c.style);
    if (!c.colors.isNull()) mark.emplace_back("gradientColors", c.colors);
    const RgbaImage out = render(mark);
    const uint8_t* topLeft = out.at(13, firstMarkedRow(out, 200) + 3);
    const uint8_t* bottomRight = out.at(387, 387);
    for (int channel = 0; channel < 3; ++channel) {
      EXPECT_NEAR(topLeft[channel], c.gradient ? (channel == 0 ? 255 : 0) : kBoxGrey, 12);
      EXPECT_NEAR(bottomRight[channel], c.gradient ? (channel == 2 ? 255 : 0) : kBoxGrey, 12);
    }
  }
}

TEST_F(WatermarkTest, BrightestTextPixelIsTheTextAlpha) {
  // White text on a black photo: fully covered glyph pixels show the alpha itself. Diagonal
  // copies do not overlap at the default density.
  struct Case {
    EncodableValue style, opacity;
    double alpha;
  };
  const Case cases[] = {
      {"diagonalRepeat", EncodableValue(), 0.12},
      {"diagonalRepeat", 0.2, 0.2},
      {"diagonalRepeat", 0.5, 0.3},
      {"diagonalRepeat", 0.01, 0.04},
      {"diagonalRepeat", "0.2", 0.12},
      {"DiagonalRepeat", 0.2, 0.94},
      {"cornerStamp", 0.1, 0.94},
  };
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(index++);
    EncodableMap mark = watermark("Velmo 維爾莫", c.style);
    if (!c.opacity.isNull()) mark.emplace_back("opacity", c.opacity);
    EXPECT_NEAR(brightest(render(mark, kBlack)), std::lround(255 * c.alpha), 2);
  }
}

TEST_F(WatermarkTest, SwitchedOffIsPixelIdenticalToNone) {
  const RgbaImage none = render(EncodableValue());
  const EncodableValue cases[] = {
      "not a map",
      map({{"text", "Velmo"}}),
      map({{"enabled", false}, {"text", "Velmo"}}),
      map({{"enabled", "true"}, {"text", "Velmo"}}),
      map({{"enabled", 1}, {"text", "Velmo"}}),
      map({{"enabled", true}}),
      map({{"enabled", true}, {"text", ""}}),
      map({{"enabled", true}, {"text", 5}}),
  };
  int index = 0;
  for (const EncodableValue& mark : cases) {
    SCOPED_TRACE(index++);
    EXPECT_EQ(maxDifference(render(mark), none), 0);
  }
  EXPECT_GT(maxDifference(render(watermark(" ")), none), 100);  // white space is text
}

TEST_F(WatermarkTest, HalfScaleWhenTheReferenceIsTwiceTheOutput) {
  // 500 x 500 at reference 1000 looks like 1000 x 1000 at reference 1000, halved.
  const EncodableMap mark = watermark("Velmo 2026 · 維爾莫相簿");
  const RgbaImage half = render(mark, kWhite, 500, 1000);
  const RgbaImage full = render(mark, kWhite, 1000, 1000);
  EXPECT_GT(psnr(half, boxAverage(full, 0, 0, 1000, 1000, 2)),
            33);  // measured 37.9 dB: antialiasing differs a little
  // pad 25 reference units: the box ends at 487.5 output pixels.
  const uint32_t middle = (firstMarkedRow(half, 470) + 487) / 2;
  EXPECT_NEAR(red(half, 486, middle), kBoxGrey, 1);
  EXPECT_EQ(red(half, 488, middle), 255);
}

TEST_F(WatermarkTest, DrawnOverTheStrokes) {
  // A thick red line across the bottom of the picture, under the box.
  const EncodableValue strokes = EncodableList{
      map({{"shape", "line"},
           {"colorARGB", kRed},
           {"widthFraction", 0.2},
           {"points", EncodableList{EncodableList{0.0, 0.97}, EncodableList{1.0, 0.97}}}})};
  const RgbaImage strokesOnly = render(EncodableValue(), kWhite, 400, std::nullopt, strokes);
  if (red(strokesOnly, 387, 387) != 255 || blue(strokesOnly, 387, 387) > 5) {
    GTEST_SKIP() << "strokes are not drawn in this build";
  }
  const RgbaImage both = render(watermark("Velmo"), kWhite, 400, std::nullopt, strokes);
  EXPECT_NEAR(red(both, 387, 387), kBoxGrey, 1);  // black at 0.48 over red
  EXPECT_EQ(blue(both, 387, 387), 0);
}

// The diagonal style's copies lie on a lattice: each row's copies stepX apart, each row stepY
// below the one before and shifted by half a step. A shift of the picture by a lattice step
// lays it on itself; any other shift does not. Shifts are found as the least mean squared
// difference of the red channel between the picture and itself moved, with a parabola
// through the three least values for the fraction of a pixel.
class DiagonalLatticeTest : public WatermarkTest {
 protected:
  // White text on a black 1200 x 400 picture, the reference the picture's own size: the
  // shorter side gives a font size of 20.
  RgbaImage renderWide(const EncodableMap& mark) {
    const std::string photo = dir_.file("black.png");
    writePngFile(photo, RgbaImage::filled(64, 64, kBlack), true);
    const Reply reply =
        harness_.call("render", renderArguments(photo, dir_.file("wide" + std::to_string(++count_)),
                                                1200, 400, map({{"watermark", mark}})));
    EXPECT_TRUE(reply.ok()) << reply.errorMessage();
    if (!reply.ok()) return {};
    return readImageFile(*stringEntry(reply.map(), "path"));
  }

  static double meanSquaredShift(const RgbaImage& image, int dx, int dy) {
    double sum = 0;
    size_t count = 0;
    const int w = static_cast<int>(image.width), h = static_cast<int>(image.height);
    for (int y = std::max(0, -dy); y < std::min(h, h - dy); ++y) {
      for (int x = std::max(0, -dx); x < std::min(w, w - dx); ++x) {
        const double d = image.at(x, y)[0] - image.at(x + dx, y + dy)[0];
        sum += d * d;
        ++count;
      }
    }
    return sum / static_cast<double>(count);
  }

  // The shift |fixed| + t * |along| (t whole, from |from| to |to|) that lays the picture best on
  // itself: t, refined between whole steps; and the least difference with the largest seen.
  struct Best {
    double at;
    double least;
    double most;
  };
  static Best bestShift(const RgbaImage& image, int fixedX, int fixedY, int alongX, int alongY,
                        int from, int to) {
    std::vector<double> scores;
    for (int t = from; t <= to; ++t) {
      scores.push_back(meanSquaredShift(image, fixedX + t * alongX, fixedY + t * alongY));
    }
    const size_t i = std::min_element(scores.begin(), scores.end()) - scores.begin();
    double at = from + static_cast<double>(i);
    if (i > 0 && i + 1 < scores.size()) {
      const double a = scores[i - 1], b = scores[i], c = scores[i + 1];
      if (a + c - 2 * b > 0) at += (a - c) / (2 * (a + c - 2 * b));
    }
    return {at, scores[i], *std::max_element(scores.begin(), scores.end())};
  }
};

TEST_F(DiagonalLatticeTest, StepsFollowTheDensity) {
  // stepX = 2 tw / density and stepY = 5 th / density, neither below 4 font sizes (80 here);
  // odd rows start half a step in.
  const std::string text = "Velmo 2026";
  const Size measured = draw::systemTextEngine().layOut(text, 20)->size();
  for (double density : {0.6, 1.0, 1.8}) {
    SCOPED_TRACE(density);
    EncodableMap mark = watermark(text, "diagonalRepeat");
    if (density != 1.0) mark.emplace_back("density", density);
    const RgbaImage out = renderWide(mark);
    ASSERT_EQ(out.width, 1200u);
    const double stepX = std::max(2 * measured.width / density, 80.0);
    const double stepY = std::max(5 * measured.height / density, 80.0);
    const Best across =
        bestShift(out, 0, 0, 1, 0, static_cast<int>(stepX * 0.6), static_cast<int>(stepX * 1.4));
    EXPECT_NEAR(across.at, stepX, 0.5);
    EXPECT_LT(across.least, across.most * 0.1);
    const Best down = bestShift(out, static_cast<int>(std::lround(stepX / 2)), 0, 0, 1,
                                static_cast<int>(stepY * 0.6), static_cast<int>(stepY * 1.4));
    EXPECT_NEAR(down.at, stepY, 1);
    EXPECT_LT(down.least, down.most * 0.2);
  }
}

TEST_F(DiagonalLatticeTest, CopiesRiseToTheRight) {
  // A row of dashes turned 30 degrees up to the right lies on itself moved 6 px that way and
  // not moved 6 px down to the right.
  const RgbaImage out = renderWide(watermark("——————", "diagonalRepeat"));
  const double rising = meanSquaredShift(out, 5, -3), falling = meanSquaredShift(out, 5, 3);
  EXPECT_LT(rising, falling * 0.5) << rising << " " << falling;
}

TEST_F(DiagonalLatticeTest, DensityAndOpacityChangeOnlyWhatTheyName) {
  const std::string text = "Velmo 2026";
  const RgbaImage plain = renderWide(watermark(text, "diagonalRepeat"));
  // A density alone keeps the default alpha, 0.12.
  EncodableMap sparse = watermark(text, "diagonalRepeat");
  sparse.emplace_back("density", 0.6);
  EXPECT_NEAR(brightest(renderWide(sparse)), 31, 2);
  EXPECT_NEAR(brightest(plain), 31, 2);
  // An opacity alone keeps every copy where it was: the picture is the default one brighter
  // by 0.25 / 0.12, within the rounding of both (where a copy moved, by up to the text's own 31).
  EncodableMap bright = watermark(text, "diagonalRepeat");
  bright.emplace_back("opacity", 0.25);
  const RgbaImage brighter = renderWide(bright);
  ASSERT_EQ(brighter.rgba.size(), plain.rgba.size());
  double worst = 0;
  for (size_t i = 0; i < plain.rgba.size(); i += 4) {
    worst = std::max(worst, std::abs(brighter.rgba[i] * 0.12 / 0.25 - plain.rgba[i]));
  }
  EXPECT_LT(worst, 2);  // measured 1.28
  EXPECT_NEAR(brightest(brighter), 64, 2);
}

TEST_F(WatermarkTest, BoxGrowsByEachLinesHeight) {
  // The box is the text's height and a pad high (pad 10 at reference 400), and a text of two
  // lines is as high as both: H(a + b) = H(a) + H(b) - pad. Heights are measured down the
  // column between the text rectangle (which ends at x = 385) and the rounded corners (from
  // 385.1), as the darkening of the white photo by the box's black at 0.48.
  auto boxHeight = [this](const std::string& text) {
    const RgbaImage out = render(watermark(text));
    double height = 0;
    for (uint32_t y = 0; y < out.height; ++y)
      height += (255.0 - red(out, 385, y)) / (255 - kBoxGrey);
    return height;
  };
  const double latin = boxHeight("Velmo"), han = boxHeight("維爾莫");
  for (const std::string& pair : {std::string("Velmo\n維爾莫"), std::string("維爾莫\nVelmo")}) {
    EXPECT_NEAR(boxHeight(pair), latin + han - 10, 0.3);
  }
  EXPECT_NEAR(boxHeight("Velmo\nVelmo\nVelmo"), 3 * latin - 20, 0.3);
  EXPECT_GT(latin, 10 + 14);
}

}  // namespace
}  // namespace velmo::testing
