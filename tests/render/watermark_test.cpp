// The watermark of "render", seen in the pictures it writes: where the box sits and what
// fills it, how bright the diagonal text is, every way of switching it off, and the reference
// scale. Photos are flat PNGs with an alpha channel, so the outputs are exact PNGs; text
// metrics depend on the fonts, so probes sit in the box's padding band or look for extremes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
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

}  // namespace
}  // namespace velmo::testing
