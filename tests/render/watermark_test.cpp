// The watermark of "render", seen in the pictures it writes: where the box sits and what
// fills it, how bright the diagonal text is, every way of switching it off, and the reference
// scale. Photos are flat PNGs with an alpha channel, so the outputs are exact PNGs; text
// metrics depend on the fonts, so probes sit in the box's padding band or look for extremes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <optional>
#include <string>

#include "tests/support/image_files.h"
#include "tests/support/test_support.h"

namespace velmo::testing {
namespace {

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

class WatermarkTest : public ::testing::Test {
 protected:
  // Renders a flat |photo| at |size| x |size| with the given recipe parts (null: absent) and
  // reference size (absent: the output size), and reads the PNG back.
  RgbaImage render(const EncodableValue& watermark, uint32_t photoColor = kWhite,
                   int64_t size = 400, std::optional<double> reference = std::nullopt,
                   const EncodableValue& strokes = EncodableValue()) {
    const std::string photo = dir_.file("photo" + std::to_string(photoColor) + ".png");
    writePngFile(photo, RgbaImage::generate(64, 64, [&](uint32_t, uint32_t) { return photoColor; }),
                 true);
    EncodableMap recipe;
    if (!watermark.isNull()) recipe.emplace_back(EncodableValue("watermark"), watermark);
    if (!strokes.isNull()) recipe.emplace_back(EncodableValue("strokes"), strokes);
    EncodableMap arguments = plainMap({{"path", photo},
                                       {"destination", dir_.file("out" + std::to_string(++count_))},
                                       {"width", size},
                                       {"height", size},
                                       {"recipe", recipe}});
    if (reference) {
      arguments.emplace_back(EncodableValue("referenceWidth"), *reference);
      arguments.emplace_back(EncodableValue("referenceHeight"), *reference);
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

  PluginHarness harness_;
  ScratchDir dir_;
  int count_ = 0;
};

TEST_F(WatermarkTest, BoxHugsTheBottomRightCornerWhateverTheFont) {
  // 400 x 400 at reference 400: pad 10, so the box ends at x = 390 and y = 390 exactly; a
  // text too wide for the picture spreads the box from x = 10. The padding band (half a pad
  // inside the edges) holds no text.
  struct Case {
    std::string text;
    bool wide;
  };
  for (const Case& c :
       {Case{"Velmo", false}, Case{"維爾莫相簿", false}, Case{repeated("Velmo 2026 · ", 40), true},
        Case{repeated("維爾莫相簿", 60), true}}) {
    SCOPED_TRACE(c.text.substr(0, 20));
    const RgbaImage out = render(map({{"enabled", true}, {"text", c.text}}));
    ASSERT_EQ(out.width, 400u);
    const uint32_t top = firstMarkedRow(out, 380);
    // The box is one line plus a pad tall: the text line is 1 to 2 ems of 14 units.
    EXPECT_GE(390 - top, 10 + 14u);
    EXPECT_LE(390 - top, 10 + 28u);
    const uint32_t middle = (top + 390) / 2;
    for (uint32_t x : {386u, 387u, 388u, 389u}) EXPECT_NEAR(red(out, x, middle), kBoxGrey, 1);
    for (uint32_t x : {390u, 395u, 399u}) EXPECT_EQ(red(out, x, middle), 255);
    for (uint32_t y : {386u, 387u, 388u, 389u}) EXPECT_NEAR(red(out, 370, y), kBoxGrey, 1);
    for (uint32_t y : {390u, 395u, 399u}) EXPECT_EQ(red(out, 370, y), 255);
    if (c.wide) {
      for (uint32_t x : {10u, 11u, 12u, 13u, 14u}) EXPECT_NEAR(red(out, x, middle), kBoxGrey, 1);
      EXPECT_EQ(red(out, 9, middle), 255);
      EXPECT_EQ(firstMarkedRow(out, 200), top);
    } else {
      EXPECT_EQ(red(out, 150, middle), 255);
    }
  }
}

TEST_F(WatermarkTest, BoxFill) {
  // Probes in the padding band near the box's top-left and bottom-right corners, on white.
  const EncodableValue redBlue = EncodableList{kRed, kBlue};
  struct Case {
    const char* name;
    EncodableValue style;
    EncodableValue colors;
    bool gradient;
  };
  const Case cases[] = {
      {"default", EncodableValue(), EncodableValue(), false},
      {"minimalSignature ignores colours", "minimalSignature", redBlue, false},
      {"unknown style", "fancy", redBlue, false},
      {"cornerStamp", "cornerStamp", redBlue, true},
      {"cornerStamp, int32 colours", "cornerStamp",
       EncodableList{static_cast<int32_t>(0xFFFF0000u), static_cast<int32_t>(0xFF0000FFu)}, true},
      {"cornerStamp, one colour", "cornerStamp", EncodableList{kRed}, false},
      {"cornerStamp, a text colour", "cornerStamp", EncodableList{kRed, "0xFF0000FF"}, false},
      {"cornerStamp, no colours", "cornerStamp", EncodableValue(), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EncodableMap watermark = plainMap({{"enabled", true}, {"text", repeated("Velmo ", 80)}});
    if (!c.style.isNull()) watermark.emplace_back(EncodableValue("style"), c.style);
    if (!c.colors.isNull()) watermark.emplace_back(EncodableValue("gradientColors"), c.colors);
    const RgbaImage out = render(watermark);
    const uint32_t top = firstMarkedRow(out, 200);
    const uint8_t* topLeft = out.at(13, top + 3);
    const uint8_t* bottomRight = out.at(387, 387);
    if (c.gradient) {
      EXPECT_GE(topLeft[0], 240);
      EXPECT_LE(topLeft[2], 15);
      EXPECT_LE(bottomRight[0], 15);
      EXPECT_GE(bottomRight[2], 240);
      EXPECT_EQ(topLeft[1], 0);
    } else {
      for (const uint8_t* p : {topLeft, bottomRight}) {
        for (int channel = 0; channel < 3; ++channel) EXPECT_NEAR(p[channel], kBoxGrey, 1);
      }
    }
  }
}

TEST_F(WatermarkTest, BrightestTextPixelIsTheTextAlpha) {
  // White text on a black photo: fully covered glyph pixels show the alpha itself. Diagonal
  // copies do not overlap at the default density.
  struct Case {
    const char* name;
    EncodableValue style;
    EncodableValue opacity;
    double alpha;
  };
  const Case cases[] = {
      {"diagonal default", "diagonalRepeat", EncodableValue(), 0.12},
      {"diagonal 0.2", "diagonalRepeat", 0.2, 0.2},
      {"diagonal 0.5 is limited", "diagonalRepeat", 0.5, 0.3},
      {"diagonal 0.01 is raised", "diagonalRepeat", 0.01, 0.04},
      {"diagonal, opacity as text", "diagonalRepeat", "0.2", 0.12},
      {"letter case differs: the box", "DiagonalRepeat", 0.2, 0.94},
      {"box styles ignore opacity", "cornerStamp", 0.1, 0.94},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EncodableMap watermark =
        plainMap({{"enabled", true}, {"text", "Velmo 維爾莫"}, {"style", c.style}});
    if (!c.opacity.isNull()) watermark.emplace_back(EncodableValue("opacity"), c.opacity);
    const RgbaImage out = render(watermark, kBlack);
    int brightest = 0;
    for (uint32_t y = 0; y < out.height; ++y) {
      for (uint32_t x = 0; x < out.width; ++x) brightest = std::max(brightest, red(out, x, y));
    }
    EXPECT_NEAR(brightest, std::lround(255 * c.alpha), 2);
  }
}

TEST_F(WatermarkTest, DiagonalTextRisesToTheRight) {
  // "Velmo" at 50 units on 1000 x 1000: steps 300 across and 340 down, so the copy whose
  // top-left is at (300, 190) is alone in the window below. The main axis of its lit pixels
  // runs at -30 degrees on the y-down picture: up and to the right.
  const RgbaImage out = render(
      map({{"enabled", true}, {"text", "Velmo"}, {"style", "diagonalRepeat"}, {"opacity", 0.3}}),
      kBlack, 1000);
  double n = 0, sx = 0, sy = 0, sxx = 0, syy = 0, sxy = 0;
  for (uint32_t y = 90; y < 280; ++y) {
    for (uint32_t x = 280; x < 490; ++x) {
      const double w = red(out, x, y);
      n += w, sx += w * x, sy += w * y, sxx += w * x * x, syy += w * y * y, sxy += w * x * y;
    }
  }
  ASSERT_GT(n, 0);
  const double cxx = sxx / n - (sx / n) * (sx / n), cyy = syy / n - (sy / n) * (sy / n);
  const double cxy = sxy / n - (sx / n) * (sy / n);
  const double angle = 0.5 * std::atan2(2 * cxy, cxx - cyy);
  EXPECT_NEAR(angle, -std::numbers::pi / 6, 0.1);
}

TEST_F(WatermarkTest, SwitchedOffIsPixelIdenticalToNone) {
  const RgbaImage none = render(EncodableValue());
  const EncodableValue cases[] = {
      "not a map",
      map({}),
      map({{"text", "Velmo"}}),
      map({{"enabled", false}, {"text", "Velmo"}}),
      map({{"enabled", "true"}, {"text", "Velmo"}}),
      map({{"enabled", 1}, {"text", "Velmo"}}),
      map({{"enabled", true}}),
      map({{"enabled", true}, {"text", ""}}),
      map({{"enabled", true}, {"text", 5}}),
      map({{"enabled", true}, {"text", EncodableList{"Velmo"}}}),
  };
  int index = 0;
  for (const EncodableValue& watermark : cases) {
    SCOPED_TRACE(index++);
    EXPECT_EQ(maxDifference(render(watermark), none), 0);
  }
  // White space is text.
  EXPECT_GT(maxDifference(render(map({{"enabled", true}, {"text", " "}})), none), 100);
}

TEST_F(WatermarkTest, HalfScaleWhenTheReferenceIsTwiceTheOutput) {
  // 500 x 500 at reference 1000 looks like 1000 x 1000 at reference 1000, halved.
  const EncodableValue watermark = map({{"enabled", true},
                                        {"text", "Velmo 2026 · 維爾莫相簿"},
                                        {"style", "cornerStamp"},
                                        {"gradientColors", EncodableList{kRed, kBlue}}});
  const RgbaImage half = render(watermark, kWhite, 500, 1000);
  const RgbaImage full = render(watermark, kWhite, 1000, 1000);
  ASSERT_EQ(full.width, 1000u);
  RgbaImage halved(500, 500);
  for (uint32_t y = 0; y < 500; ++y) {
    for (uint32_t x = 0; x < 500; ++x) {
      for (int c = 0; c < 4; ++c) {
        const int sum = full.at(2 * x, 2 * y)[c] + full.at(2 * x + 1, 2 * y)[c] +
                        full.at(2 * x, 2 * y + 1)[c] + full.at(2 * x + 1, 2 * y + 1)[c];
        halved.at(x, y)[c] = static_cast<uint8_t>((sum + 2) / 4);
      }
    }
  }
  // Measured about 40 dB: the text's antialiasing differs a little between the sizes.
  EXPECT_GT(psnr(half, halved), 30);
  // pad 25 reference units: the box ends at 487.5 output pixels; 485 is in its padding band.
  const uint32_t middle = (firstMarkedRow(half, 470) + 487) / 2;
  const uint8_t* band = half.at(485, middle);
  EXPECT_NEAR(band[0] + band[2], 255, 4);
  EXPECT_EQ(band[1], 0);
  EXPECT_EQ(half.at(489, middle)[1], 255);
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
  const RgbaImage both =
      render(map({{"enabled", true}, {"text", "Velmo"}}), kWhite, 400, std::nullopt, strokes);
  // Black at 0.48 over the red stroke.
  EXPECT_NEAR(red(both, 387, 387), kBoxGrey, 1);
  EXPECT_EQ(blue(both, 387, 387), 0);
}

TEST_F(WatermarkTest, VeryLongDiagonalTextIsDrawn) {
  // A pasted text of 300,000 characters: only the copies and glyphs that can show are drawn.
  const std::string text = repeated("Velmo 2026 · 維爾莫相簿 ", 300'000 / 20);
  const RgbaImage out = render(
      map({{"enabled", true}, {"text", text}, {"style", "diagonalRepeat"}, {"opacity", 0.3}}),
      kBlack);
  int brightest = 0;
  size_t lit = 0;
  for (uint32_t y = 0; y < out.height; ++y) {
    for (uint32_t x = 0; x < out.width; ++x) {
      brightest = std::max(brightest, red(out, x, y));
      lit += red(out, x, y) > 0;
    }
  }
  EXPECT_NEAR(brightest, 77, 2);
  EXPECT_GT(lit, out.width * out.height / 50);
}

}  // namespace
}  // namespace velmo::testing
