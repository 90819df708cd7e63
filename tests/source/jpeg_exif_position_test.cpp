// A JPEG's EXIF orientation is read wherever its segment sits before the first scan: most
// writers put it ahead of the frame header, but after it is legal too, and other readers take
// it there. Seen through the channel: the size "metadata" answers and the way "render" turns.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/support/image_files.h"
#include "tests/support/test_support.h"

namespace velmo::testing {
namespace {

// An APP1 "Exif" segment whose TIFF block holds orientation 6 (a SHORT, little-endian).
std::vector<uint8_t> exifSegment() {
  const std::vector<uint8_t> body = {'E',  'x',  'i', 'f', 0, 0, 'I', 'I', 42, 0, 8, 0, 0, 0, 1, 0,
                                     0x12, 0x01, 3,   0,   1, 0, 0,   0,   6,  0, 0, 0, 0, 0, 0, 0};
  std::vector<uint8_t> segment = {0xFF, 0xE1, static_cast<uint8_t>((body.size() + 2) >> 8),
                                  static_cast<uint8_t>((body.size() + 2) & 0xFF)};
  segment.insert(segment.end(), body.begin(), body.end());
  return segment;
}

// |jpeg| with the EXIF segment inserted just before (or just after) its SOF0 segment.
std::vector<uint8_t> withExifBesideFrame(std::vector<uint8_t> jpeg, bool afterFrame) {
  size_t at = 2;
  while (at + 4 <= jpeg.size() && !(jpeg[at] == 0xFF && jpeg[at + 1] == 0xC0)) {
    at += 2 + ((size_t{jpeg[at + 2]} << 8) | jpeg[at + 3]);
  }
  EXPECT_LT(at + 4, jpeg.size()) << "no SOF0";
  if (afterFrame) at += 2 + ((size_t{jpeg[at + 2]} << 8) | jpeg[at + 3]);
  const std::vector<uint8_t> segment = exifSegment();
  jpeg.insert(jpeg.begin() + static_cast<std::ptrdiff_t>(at), segment.begin(), segment.end());
  return jpeg;
}

TEST(JpegExifPosition, OrientationReadBeforeOrAfterTheFrameHeader) {
  ScratchDir dir;
  // Red on the left half, blue on the right: turned by orientation 6 (a quarter turn
  // clockwise), red comes on top.
  const RgbaImage picture = RgbaImage::generate(
      40, 20, [](uint32_t x, uint32_t) { return x < 20 ? 0xFFFF0000u : 0xFF0000FFu; });
  const std::string plain = dir.file("plain.jpg");
  writeJpegFile(plain, picture, 95);
  PluginHarness harness;
  for (const bool afterFrame : {false, true}) {
    SCOPED_TRACE(afterFrame ? "EXIF after SOF0" : "EXIF before SOF0");
    const std::string path = dir.file(afterFrame ? "after.jpg" : "before.jpg");
    writeBytes(path, withExifBesideFrame(readBytes(plain), afterFrame));

    const Reply info = harness.call("metadata", map({{"path", path}}));
    ASSERT_TRUE(info.ok()) << info.errorMessage();
    EXPECT_EQ(intEntry(info.map(), "width"), 20);
    EXPECT_EQ(intEntry(info.map(), "height"), 40);
    EXPECT_EQ(intEntry(info.map(), "orientation"), 6);

    const Reply rendered =
        harness.call("render", renderArguments(path, dir.file(afterFrame ? "a" : "b"), 20, 40));
    ASSERT_TRUE(rendered.ok()) << rendered.errorMessage();
    const RgbaImage out = readImageFile(*stringEntry(rendered.map(), "path"));
    ASSERT_EQ(out.width, 20u);
    ASSERT_EQ(out.height, 40u);
    // JPEG twice over: colours within a few levels, far from the other half's.
    EXPECT_GT(out.at(10, 5)[0], 200);
    EXPECT_LT(out.at(10, 5)[2], 60);
    EXPECT_LT(out.at(10, 35)[0], 60);
    EXPECT_GT(out.at(10, 35)[2], 200);
  }
}

}  // namespace
}  // namespace velmo::testing
