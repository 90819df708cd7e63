// Files at the edges of their formats, through the channel: "metadata", "render" and "tile"
// see one and the same pixel grid, and each method gets the picture out.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "tests/support/image_files.h"
#include "tests/support/test_support.h"

namespace velmo::testing {
namespace {

using host::EncodableMap;

class PixelGridTest : public ::testing::Test {
 protected:
  Reply render(const std::string& path, int width, int height, const std::string& name) {
    return harness_.call("render", plainMap({{"path", path},
                                             {"destination", dir_.file(name)},
                                             {"width", width},
                                             {"height", height}}));
  }
  Reply tile(const std::string& path, double x, double y, double width, double height,
             const std::string& name) {
    return harness_.call("tile", plainMap({{"path", path},
                                           {"destination", dir_.file(name)},
                                           {"x", x},
                                           {"y", y},
                                           {"width", width},
                                           {"height", height}}));
  }
  Reply metadata(const std::string& path) {
    return harness_.call("metadata", plainMap({{"path", path}}));
  }

  PluginHarness harness_;
  ScratchDir dir_;
};

// An Adam7 image one row tall has rows in the first pass only; the decoder must take the end
// of the image where it comes, not only with the last row.
TEST_F(PixelGridTest, OneRowInterlacedPngRendersLikeItsTile) {
  const std::string path = dataPath("pngsuite/s01i3p01.png");  // 1 x 1, a blue palette entry
  Reply described = metadata(path);
  ASSERT_TRUE(described.ok()) << described.errorMessage();
  EXPECT_EQ(intEntry(described.map(), "width"), 1);
  EXPECT_EQ(intEntry(described.map(), "height"), 1);

  Reply rendered = render(path, 1, 1, "r");
  ASSERT_TRUE(rendered.ok()) << rendered.errorMessage();
  Reply tiled = tile(path, 0, 0, 1, 1, "t");
  ASSERT_TRUE(tiled.ok()) << tiled.errorMessage();
  const RgbaImage blue = RgbaImage::generate(1, 1, [](auto, auto) { return 0xFF0000FFu; });
  EXPECT_EQ(maxDifference(readImageFile(dir_.file("t.png")), blue), 0);
  // An opaque picture is written as JPEG: one pixel of pure blue comes back within a few levels.
  EXPECT_LE(maxDifference(readImageFile(dir_.file("r.jpg")), blue), 6);
}

}  // namespace
}  // namespace velmo::testing
