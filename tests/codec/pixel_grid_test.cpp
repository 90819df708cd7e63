// Files at the edges of their formats, through the channel: "metadata", "render" and "tile"
// see one and the same pixel grid, and each method gets the picture out.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/image_files.h"
#include "tests/support/test_support.h"

namespace velmo::testing {
namespace {

using host::EncodableMap;

// A GIF of one frame, 2-bit indices, LZW-coded without compression: a clear code before every
// index keeps the code width at 3 bits.
std::vector<uint8_t> gifBytes(uint16_t screenWidth, uint16_t screenHeight, uint16_t left,
                              uint16_t top, uint16_t width, uint16_t height,
                              const std::vector<uint8_t>& palette,  // 4 RGB triples
                              const std::vector<uint8_t>& indices) {
  std::vector<uint8_t> bytes = {'G', 'I', 'F', '8', '9', 'a'};
  const auto le16 = [&](uint16_t v) {
    bytes.push_back(static_cast<uint8_t>(v));
    bytes.push_back(static_cast<uint8_t>(v >> 8));
  };
  le16(screenWidth);
  le16(screenHeight);
  bytes.insert(bytes.end(), {0xF1, 0, 0});  // a global table of 4 colours
  bytes.insert(bytes.end(), palette.begin(), palette.end());
  bytes.push_back(0x2C);
  le16(left);
  le16(top);
  le16(width);
  le16(height);
  bytes.push_back(0);  // no local table, not interlaced
  bytes.push_back(2);  // LZW minimum code size

  std::vector<uint8_t> packed;
  uint32_t bits = 0, count = 0;
  const auto code = [&](uint32_t value) {
    bits |= value << count;
    for (count += 3; count >= 8; count -= 8, bits >>= 8) packed.push_back(bits & 0xFF);
  };
  for (uint8_t index : indices) {
    code(4);  // clear
    code(index);
  }
  code(5);  // end of information
  if (count > 0) packed.push_back(bits & 0xFF);
  for (size_t at = 0; at < packed.size(); at += 255) {
    const size_t n = std::min<size_t>(255, packed.size() - at);
    bytes.push_back(static_cast<uint8_t>(n));
    bytes.insert(bytes.end(), packed.begin() + static_cast<long>(at),
                 packed.begin() + static_cast<long>(at + n));
  }
  bytes.push_back(0);
  bytes.push_back(0x3B);
  return bytes;
}

class PixelGridTest : public ::testing::Test {
 protected:
  Reply render(const std::string& path, int width, int height, const std::string& name) {
    return harness_.call("render", renderArguments(path, dir_.file(name), width, height));
  }
  Reply tile(const std::string& path, double x, double y, double width, double height,
             const std::string& name) {
    return harness_.call("tile", map({{"path", path},
                                      {"destination", dir_.file(name)},
                                      {"x", x},
                                      {"y", y},
                                      {"width", width},
                                      {"height", height}}));
  }
  // "metadata" reports |path| as |width| x |height|.
  void expectDescribedSize(const std::string& path, int64_t width, int64_t height) {
    Reply described = harness_.call("metadata", map({{"path", path}}));
    ASSERT_TRUE(described.ok()) << described.errorMessage();
    EXPECT_EQ(intEntry(described.map(), "width"), width);
    EXPECT_EQ(intEntry(described.map(), "height"), height);
  }

  PluginHarness harness_;
  ScratchDir dir_;
};

// An Adam7 image one row tall has rows in the first pass only; the decoder must take the end
// of the image where it comes, not only with the last row.
TEST_F(PixelGridTest, OneRowInterlacedPngRendersLikeItsTile) {
  const std::string path = dataPath("pngsuite/s01i3p01.png");  // 1 x 1, a blue palette entry
  ASSERT_NO_FATAL_FAILURE(expectDescribedSize(path, 1, 1));

  Reply rendered = render(path, 1, 1, "r");
  ASSERT_TRUE(rendered.ok()) << rendered.errorMessage();
  Reply tiled = tile(path, 0, 0, 1, 1, "t");
  ASSERT_TRUE(tiled.ok()) << tiled.errorMessage();
  const RgbaImage blue = RgbaImage::filled(1, 1, 0xFF0000FFu);
  EXPECT_EQ(maxDifference(readImageFile(dir_.file("t.png")), blue), 0);
  // An opaque picture is written as JPEG: one pixel of pure blue comes back within a few levels.
  EXPECT_LE(maxDifference(readImageFile(dir_.file("r.jpg")), blue), 6);
}

// Frame 0 reaches past the logical screen: the picture is the union of the two, the frame
// drawn at its offset, and everything it leaves uncovered transparent.
TEST_F(PixelGridTest, GifFrameLargerThanItsScreenIsOneGridForEveryMethod) {
  const std::vector<uint8_t> palette = {255, 0, 0, 0, 255, 0, 0, 0, 255, 255, 255, 255};
  const uint16_t frameWidth = 5, frameHeight = 4;
  std::vector<uint8_t> indices;
  for (uint32_t y = 0; y < frameHeight; ++y) {
    for (uint32_t x = 0; x < frameWidth; ++x) indices.push_back((x + 2 * y) % 4);
  }
  const std::string path = dir_.file("wide.gif");
  writeBytes(path, gifBytes(4, 3, 1, 1, frameWidth, frameHeight, palette, indices));
  const RgbaImage expected = RgbaImage::generate(6, 5, [&](uint32_t x, uint32_t y) {
    if (x == 0 || y == 0) return 0u;
    const uint8_t* c = palette.data() + 3 * indices[(y - 1) * frameWidth + (x - 1)];
    return 0xFF000000u | uint32_t{c[0]} << 16 | uint32_t{c[1]} << 8 | c[2];
  });

  ASSERT_NO_FATAL_FAILURE(expectDescribedSize(path, 6, 5));

  // Not covered everywhere, so it has alpha and renders to PNG, pixel for pixel.
  Reply rendered = render(path, 6, 5, "r");
  ASSERT_TRUE(rendered.ok()) << rendered.errorMessage();
  EXPECT_EQ(maxDifference(readImageFile(dir_.file("r.png")), expected), 0);

  struct Window {
    uint32_t x, y, width, height;
  };
  for (const Window w : {Window{0, 0, 6, 5}, Window{4, 3, 2, 2}, Window{3, 0, 3, 2}}) {
    SCOPED_TRACE(std::to_string(w.x) + "," + std::to_string(w.y));
    std::string name = "t";
    name += std::to_string(w.x * 10 + w.y);
    Reply tiled = tile(path, w.x, w.y, w.width, w.height, name);
    ASSERT_TRUE(tiled.ok()) << tiled.errorMessage();
    EXPECT_EQ(maxDifference(readImageFile(dir_.file(name + ".png")),
                            boxAverage(expected, w.x, w.y, w.width, w.height)),
              0);
  }
}

}  // namespace
}  // namespace velmo::testing
