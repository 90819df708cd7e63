// The blur brush hides as much whatever the output's proportions and whatever the photo's
// format: a JPEG's crop is decoded on its own at the canvas's resolution on each axis, but
// its blur preview must still be made at the crop's own proportions, as for a PNG of the same
// picture. Seen in the written pixels: the contrast left along a blurred row.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "tests/support/image_files.h"
#include "tests/support/test_support.h"

namespace velmo::testing {
namespace {

using host::EncodableList;
using host::EncodableMap;

// Vertical black and white stripes, 100 pixels each.
RgbaImage stripes() {
  return RgbaImage::generate(
      2000, 1500, [](uint32_t x, uint32_t) { return x % 200 < 100 ? 0xFF000000u : 0xFFFFFFFFu; });
}

class BlurProportionsTest : public ::testing::Test {
 protected:
  BlurProportionsTest() {
    const RgbaImage picture = stripes();
    writeJpegFile(jpeg_, picture, 95);
    writePngFile(png_, picture, false);
  }

  // The contrast (brightest minus darkest red level) along the middle row of a |width| x
  // |height| render of |photo| under one blur brush that covers the whole canvas; with
  // |blur| false, the same render without it.
  int contrast(const std::string& photo, int64_t width, int64_t height, bool blur = true) {
    EncodableMap recipe;
    if (blur) {
      recipe = map(
          {{"strokes", EncodableList{map({{"shape", "blur"},
                                          {"widthFraction", 10},
                                          {"points", EncodableList{EncodableList{0.5, 0.5}}}})}}});
    }
    const Reply reply = harness_.call(
        "render",
        renderArguments(photo, dir_.file("out" + std::to_string(++count_)), width, height, recipe));
    EXPECT_TRUE(reply.ok()) << reply.errorMessage();
    if (!reply.ok()) return -1;
    const RgbaImage image = readImageFile(*stringEntry(reply.map(), "path"));
    int low = 255, high = 0;
    const uint32_t y = image.height / 2;
    // Columns away from the edges, where the canvas stretches the border pixels outward.
    for (uint32_t x = image.width / 8; x < image.width - image.width / 8; ++x) {
      low = std::min<int>(low, image.at(x, y)[0]);
      high = std::max<int>(high, image.at(x, y)[0]);
    }
    return high - low;
  }

  ScratchDir dir_;
  std::string jpeg_ = dir_.file("stripes.jpg");
  std::string png_ = dir_.file("stripes.png");
  PluginHarness harness_;
  int count_ = 0;
};

TEST_F(BlurProportionsTest, JpegHidesAsMuchAsPngAtEveryOutputShape) {
  // Square-ish, stretched across, squeezed, and tall outputs of the same 4:3 crop.
  const std::pair<int64_t, int64_t> sizes[] = {{400, 300}, {400, 100}, {1000, 20},
                                               {100, 400}, {20, 1000}, {1600, 1200}};
  for (const auto& [width, height] : sizes) {
    SCOPED_TRACE(std::to_string(width) + " x " + std::to_string(height));
    const int png = contrast(png_, width, height);
    const int jpeg = contrast(jpeg_, width, height);
    // The preview is 128 x 96 for a 2000 x 1500 crop; a 3-pixel Gaussian there leaves about
    // a third of the stripes' contrast. The two decoders and the JPEG's own loss differ by a
    // few levels.
    EXPECT_LT(png, 110);
    EXPECT_NEAR(jpeg, png, 12);
  }
}

TEST_F(BlurProportionsTest, StripesKeepTheirContrastWithoutTheBrush) {
  // The check above would pass for a render that lost the stripes altogether.
  EXPECT_GT(contrast(jpeg_, 400, 100, false), 180);
  EXPECT_GT(contrast(png_, 400, 100, false), 180);
}

}  // namespace
}  // namespace velmo::testing
