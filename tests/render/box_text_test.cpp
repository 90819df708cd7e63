// The box watermark's text is drawn whole: the box is sized for the measured text, and the
// rectangle the text goes into must hold all of it at every reference size, not wrap its last
// word (or letter, or Han character) onto a line that does not fit. Seen in the written
// pixels: the right end of the white text must reach the right end of the text rectangle.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "tests/support/image_files.h"
#include "tests/support/test_support.h"

namespace velmo::testing {
namespace {

using host::EncodableMap;

constexpr int64_t kWidth = 800;
constexpr int64_t kHeight = 600;

class BoxTextTest : public ::testing::Test {
 protected:
  BoxTextTest() {
    // Mid grey, opaque: the box darkens it to about 67, the text lightens it to about 247.
    writePngFile(photo_, RgbaImage::filled(64, 48, 0xFF808080), true);
  }

  // The rightmost column, in output pixels, where the text shows inside the box of a render
  // at the given reference size; -1 when no text shows.
  int textRightEdge(const std::string& text, const std::string& style, double referenceWidth,
                    double referenceHeight) {
    EncodableMap arguments = renderArguments(
        photo_, dir_.file("out" + std::to_string(++count_)), kWidth, kHeight,
        map({{"watermark", map({{"enabled", true}, {"text", text}, {"style", style}})}}));
    arguments.emplace_back("referenceWidth", referenceWidth);
    arguments.emplace_back("referenceHeight", referenceHeight);
    const Reply reply = harness_.call("render", arguments);
    EXPECT_TRUE(reply.ok()) << reply.errorMessage();
    if (!reply.ok()) return -1;
    const RgbaImage image = readImageFile(*stringEntry(reply.map(), "path"));
    int right = -1;
    for (uint32_t y = kHeight / 2; y < image.height; ++y) {
      for (uint32_t x = 0; x < image.width; ++x) {
        if (image.at(x, y)[0] > 200) right = std::max(right, static_cast<int>(x));
      }
    }
    return right;
  }

  // Checks that the text of |text| reaches the right end of its rectangle at a reference size
  // of |referenceWidth| x |referenceHeight|.
  void expectWhole(const std::string& text, const std::string& style, double referenceWidth,
                   double referenceHeight) {
    SCOPED_TRACE(text + " in " + style + " at " + std::to_string(referenceWidth) + " x " +
                 std::to_string(referenceHeight));
    const double minRef = std::min(referenceWidth, referenceHeight);
    const double pad = std::max(minRef * 0.025, 6.0);
    const double em = std::clamp(minRef * 0.035, 8.0, 64.0);
    const double scale = kWidth / referenceWidth;
    // The text rectangle ends half a pad inside the box, which ends a pad from the edge.
    const double textRight = (referenceWidth - 1.5 * pad) * scale;
    const int right = textRightEdge(text, style, referenceWidth, referenceHeight);
    // A lost last letter leaves over half an em of the rectangle empty; a glyph's own side
    // bearing is far less.
    EXPECT_GT(right, textRight - 0.3 * em * scale);
    EXPECT_LT(right, textRight + 1);
  }

  ScratchDir dir_;
  std::string photo_ = dir_.file("grey.png");
  PluginHarness harness_;
  int count_ = 0;
};

TEST_F(BoxTextTest, LastWordDrawnAtSizesThatRoundTheRectangleUnderTheText) {
  // Reference sizes at which the rectangle once came out a hair under the measured text.
  expectWhole("Velmo Photo Studio", "cornerStamp", 1008, 756);
  expectWhole("Velmo Photo Studio", "minimalSignature", 1008, 756);
  expectWhole("VelmoPhotoStudio", "minimalSignature", 1008, 756);
  expectWhole("維爾莫相簿", "minimalSignature", 904, 678);
}

TEST_F(BoxTextTest, TextWholeAcrossASweepOfReferenceSizes) {
  for (int width = 300; width <= 1500; width += 12) {
    const double height = width * 0.75;
    expectWhole("Velmo Photo Studio", "minimalSignature", width, height);
    expectWhole("VelmoPhotoStudio", "cornerStamp", width, height);
    expectWhole("維爾莫相簿", "minimalSignature", width, height);
  }
}

}  // namespace
}  // namespace velmo::testing
