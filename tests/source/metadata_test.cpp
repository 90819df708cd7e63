// "metadata" through the channel: the displayed size, frame count and orientation of real
// files, and the two failures ("cannot read", "invalid size") for everything else, damaged
// files included, which must fail cleanly or report only what their headers hold.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/messages.h"
#include "tests/support/test_support.h"

namespace velmo::testing {
namespace {

using host::EncodableMap;
using host::EncodableValue;

struct Expected {
  int64_t width, height, frames, orientation;
};

// A file under tests/data and its description, or (without one) the failure message.
struct Case {
  const char* file;
  std::optional<Expected> expected;
  const char* message = nullptr;
};

void expectReply(const Reply& reply, const std::optional<Expected>& expected, const char* message) {
  if (!expected) return expectError(reply, messages::kProcessingCode, message);
  ASSERT_TRUE(reply.ok()) << reply.errorMessage();
  const EncodableMap& result = reply.map();
  EXPECT_EQ(result.size(), 4u);
  EXPECT_EQ(intEntry(result, "width"), expected->width);
  EXPECT_EQ(intEntry(result, "height"), expected->height);
  EXPECT_EQ(intEntry(result, "frames"), expected->frames);
  EXPECT_EQ(intEntry(result, "orientation"), expected->orientation);
}

void expectCases(const std::vector<Case>& cases) {
  PluginHarness harness;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    expectReply(harness.call("metadata", map({{"path", dataPath(c.file)}})), c.expected, c.message);
  }
}

TEST(Metadata, DescribesEachFormatWithItsOrientation) {
  expectCases({
      // Orientation 0 is invalid but reported raw; only 5..8 exchange the sides.
      {"orientation/Landscape_0.jpg", Expected{1800, 1200, 1, 0}},
      {"orientation/Portrait_3.jpg", Expected{1200, 1800, 1, 3}},
      {"orientation/Portrait_5.jpg", Expected{1200, 1800, 1, 5}},
      {"camera/canon_sx60hs_orientation6.jpg", Expected{1536, 2048, 1, 6}},
      {"formats/apng_delay.png", Expected{128, 64, 4, 1}},
      {"formats/gif_anim_31frames.gif", Expected{320, 240, 31, 1}},
      {"formats/webp_anim.webp", Expected{200, 200, 6, 1}},
      {"orientation/hopper_orientation_6.webp", Expected{128, 128, 1, 6}},
      // eXIf before the image data, and after it.
      {"orientation/png_exif_chunk_orientation6.png", Expected{400, 400, 1, 6}},
      {"orientation/png_exif_chunk_orientation5_pngtest.png", Expected{69, 91, 1, 5}},
      // Orientation 3 written only as XMP is not EXIF.
      {"orientation/png_xmp_only_orientation3.png", Expected{326, 268, 1, 1}},
      // A 4032x3024 grid turned by irot 270, EXIF 6: shown as 3024x4032 once, not twice.
      {"formats/heic_iphone13_irot270_exif6.heic", Expected{3024, 4032, 1, 6}},
      {"formats/heic_two_images.heic", Expected{1280, 854, 2, 1}},
      // irot 90 and imir applied to a 427x640 grid.
      {"formats/avif_irot90_imir.avif", Expected{640, 427, 1, 1}},
      // 452x462 coded, cropped by clap.
      {"formats/heic_odd_451x461.heic", Expected{451, 461, 1, 1}},
  });
}

TEST(Metadata, DamagedFilesFailCleanlyOrReportTheirHeaders) {
  expectCases({
      // Headers cost nothing to read: sizes no decoder accepts are still described.
      {"bad/jpeg_bomb_64250x64250.jpg", Expected{64250, 64250, 1, 1}},
      {"bad/avif_bomb_17000x17000.avif", Expected{17000, 17000, 1, 1}},
      // Second frame far outside the screen: only frame 0 shapes the size.
      {"bad/gif_bomb_extents.gif", Expected{100, 100, 2, 1}},
      // Frame 0 reaches past the 32x32 screen.
      {"bad/gif_bomb_frame_65535x1321.gif", Expected{65535, 66601, 1, 1}},
      {"bad/gif_truncated.gif", Expected{575, 800, 1, 1}},
      // Logical screen width 0.
      {"bad/gif_zero_width.gif", std::nullopt, messages::kInvalidImageSize},
      // No ftyp box at all.
      {"bad/heic_16bytes.heic", std::nullopt, messages::kUnreadableImage},
      {"bad/heic_truncated.heic", std::nullopt, messages::kUnreadableImage},
      // The damage is in the coded data; only "heic" among its brands.
      {"bad/heic_bomb_15273920x3024.heic", Expected{512, 512, 2, 1}},
      {"bad/jpeg_bad_exif.jpg", Expected{500, 500, 1, 1}},
      // Stray bytes between segments, skipped the way libjpeg skips them.
      {"bad/jpeg_ossfuzz_36829.jpeg", Expected{3, 62728, 1, 1}},
      {"bad/jpeg_truncated_progressive.jpg", Expected{100, 100, 1, 1}},
      // IHDR CRC wrong: the size fields are not trusted.
      {"bad/png_bomb_8961x26369_badcrc.png", std::nullopt, messages::kInvalidImageSize},
      {"bad/png_broken_80bytes.png", std::nullopt, messages::kInvalidImageSize},
      {"bad/png_libpng_huge_eXIf.png", Expected{1, 1, 1, 1}},
      {"bad/png_libpng_huge_iCCP.png", Expected{1, 1, 1, 1}},
      {"bad/png_truncated.png", Expected{640, 480, 1, 1}},
      {"bad/png_ztxt_bomb.png", Expected{1, 1, 1, 1}},
      {"pngsuite/xs1n0g01.png", std::nullopt, messages::kUnreadableImage},   // signature
      {"pngsuite/xd3n2c08.png", std::nullopt, messages::kInvalidImageSize},  // bit depth
      {"pngsuite/xcsn0g01.png", Expected{32, 32, 1, 1}},                     // image data only
      // A VP8 chunk without the key frame start code.
      {"bad/webp_fuzz_12336x12336.webp", std::nullopt, messages::kInvalidImageSize},
      {"bad/webp_vp8l_panic.webp", Expected{100, 30, 1, 1}},
  });
}

TEST(Metadata, AnythingButAnImageFilePathCannotBeRead) {
  expectCases({{"formats/bmp_rgb24.bmp", std::nullopt, messages::kUnreadableImage},
               {"formats/tiff_g4_orientation6.tif", std::nullopt, messages::kUnreadableImage},
               {"bad/text_named.jpg", std::nullopt, messages::kUnreadableImage},
               {"bad/zero_bytes.jpg", std::nullopt, messages::kUnreadableImage},
               {"formats", std::nullopt, messages::kUnreadableImage},
               {"formats/missing.png", std::nullopt, messages::kUnreadableImage}});

  ScratchDir dir;
  const std::string fifo = dir.file("pipe");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string image = dataPath("formats/apng_delay.png");
  const std::vector<std::pair<const char*, EncodableValue>> arguments = {
      // A FIFO without a writer must not block the read.
      {"FIFO", map({{"path", fifo}})},
      // The part before the NUL names a real image; the whole path does not.
      {"NUL", map({{"path", image + std::string("\0.png", 5)}})},
      // A URL is taken as a plain (relative) file name.
      {"file URL", map({{"path", "file://" + image}})},
      {"no path", map({{"file", image}})},
      {"number", map({{"path", 12}})},
      {"list", map({{"path", host::EncodableList{EncodableValue(image)}}})},
  };
  PluginHarness harness;
  for (const auto& [what, argument] : arguments) {
    SCOPED_TRACE(what);
    expectReply(harness.call("metadata", argument), std::nullopt, messages::kUnreadableImage);
  }
}

// Whether libheif is mapped into this process.
bool libheifLoaded() {
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line)) {
    if (line.find("/libheif.so") != std::string::npos) return true;
  }
  return false;
}

// libheif, and the encoders and decoders it links, cost every process their loading time:
// they are opened only when a HEIF file is met.
TEST(Metadata, LibheifLoadsOnlyWhenAHeifFileIsMet) {
  // ctest runs each test in a process of its own; run after others, libheif may be in already.
  if (libheifLoaded()) GTEST_SKIP() << "libheif was loaded by an earlier test in this process";
  PluginHarness harness;
  EXPECT_TRUE(harness.call("metadata", map({{"path", dataPath("camera/grayscale.jpg")}})).ok());
  EXPECT_FALSE(libheifLoaded());
  EXPECT_TRUE(
      harness.call("metadata", map({{"path", dataPath("formats/heif_hopper_128.heif")}})).ok());
  EXPECT_TRUE(libheifLoaded());
}

}  // namespace
}  // namespace velmo::testing
