// Tiles of every format this system reads: each keeps the stored pixel grid, and a window is
// the same pixels as the corresponding part of a tile of the whole frame.
#include <spng.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "plugin/error.h"
#include "tests/support/test_support.h"
#include "tests/tile/test_images.h"

namespace velmo::testing {
namespace {

using namespace std::chrono_literals;
using host::EncodableMap;
using host::EncodableValue;

constexpr double kExact = std::numeric_limits<double>::infinity();

class TileFormatsTest : public ::testing::Test {
 protected:
  // The tile of |source| over (x, y, width, height) at |sample|, read back as RGBA8.
  std::optional<ReadPng> tileOf(const std::string& source, double x, double y, double width,
                                double height, double sample = 1) {
    const std::string destination = outputs_.file("t" + std::to_string(count_++));
    Reply reply = harness_.call("tile",
                                map({{"path", source},
                                     {"destination", destination},
                                     {"x", x},
                                     {"y", y},
                                     {"width", width},
                                     {"height", height},
                                     {"sample", sample}}),
                                30s);
    lastReply_ = reply;
    if (!reply.ok()) return std::nullopt;
    return readPng(destination + ".png", SPNG_FMT_RGBA8);
  }

  // The part of a whole-frame tile that a window covers, as RGBA8.
  static std::vector<uint8_t> crop(const ReadPng& whole, uint32_t x, uint32_t y, uint32_t width,
                                   uint32_t height) {
    std::vector<uint8_t> out;
    for (uint32_t row = y; row < y + height; ++row) {
      const uint8_t* from = whole.pixels.data() + row * whole.rowBytes + size_t{x} * 4;
      out.insert(out.end(), from, from + size_t{width} * 4);
    }
    return out;
  }

  // Checks that the window (x, y, width, height) at sample 1 matches the same part of the
  // whole frame's tile, within |minPsnr| (infinity: exactly).
  void expectWindowMatchesWhole(const std::string& source, uint32_t x, uint32_t y, uint32_t width,
                                uint32_t height, double minPsnr) {
    auto whole = tileOf(source, 0, 0, 1e6, 1e6);
    ASSERT_TRUE(whole) << lastReply_.errorMessage();
    auto window = tileOf(source, x, y, width, height);
    ASSERT_TRUE(window) << lastReply_.errorMessage();
    ASSERT_EQ(window->width, width);
    ASSERT_EQ(window->height, height);
    const std::vector<uint8_t> expected = crop(*whole, x, y, width, height);
    if (std::isinf(minPsnr)) {
      EXPECT_EQ(window->pixels, expected);
    } else {
      EXPECT_GT(psnr(window->pixels, expected), minPsnr);
    }
  }

  ScratchDir outputs_;
  PluginHarness harness_;
  Reply lastReply_;
  int count_ = 0;
};

TEST_F(TileFormatsTest, GifWindowIsExactAndKeepsTransparency) {
  const std::string gif = dataPath("formats/gif_still_transparent.gif");
  auto whole = tileOf(gif, 0, 0, 1e6, 1e6);
  ASSERT_TRUE(whole) << lastReply_.errorMessage();
  EXPECT_EQ(whole->width, 200u);
  EXPECT_EQ(whole->height, 150u);
  EXPECT_EQ(whole->colorType, 6);
  bool transparent = false;
  for (size_t i = 3; i < whole->pixels.size(); i += 4) transparent |= whole->pixels[i] == 0;
  EXPECT_TRUE(transparent);
  expectWindowMatchesWhole(gif, 13, 27, 101, 55, kExact);
}

TEST_F(TileFormatsTest, OpaqueGifGivesAnRgbTile) {
  auto whole = tileOf(dataPath("formats/gif_still.gif"), 0, 0, 128, 128);
  ASSERT_TRUE(whole) << lastReply_.errorMessage();
  EXPECT_EQ(whole->colorType, 2);
}

TEST_F(TileFormatsTest, LosslessWebPWindowIsExact) {
  expectWindowMatchesWhole(dataPath("formats/webp_lossless.webp"), 31, 17, 150, 201, kExact);
}

TEST_F(TileFormatsTest, LossyWebPWindowFromOddEdgesLinesUp) {
  // libwebp crops from even edges only; an odd edge must still give the pixels at that edge.
  const std::string webp = dataPath("formats/webp_lossy_alpha_small.webp");
  auto whole = tileOf(webp, 0, 0, 100, 100);
  ASSERT_TRUE(whole) << lastReply_.errorMessage();
  EXPECT_EQ(whole->colorType, 6);
  expectWindowMatchesWhole(webp, 7, 9, 51, 41, 35.0);
}

TEST_F(TileFormatsTest, AnimatedWebPGivesItsFirstFrame) {
  auto whole = tileOf(dataPath("formats/webp_anim.webp"), 0, 0, 200, 200);
  ASSERT_TRUE(whole) << lastReply_.errorMessage();
  EXPECT_EQ(whole->width, 200u);
  EXPECT_EQ(whole->height, 200u);
  auto shrunk = tileOf(dataPath("formats/webp_anim.webp"), 0, 0, 200, 200, 3);
  ASSERT_TRUE(shrunk) << lastReply_.errorMessage();
  EXPECT_EQ(shrunk->width, 67u);
}

TEST_F(TileFormatsTest, HeifIsCutInItsStoredGrid) {
  // Stored 427 x 640 and shown turned and mirrored: the tile keeps the stored grid.
  auto whole = tileOf(dataPath("formats/avif_irot90_imir.avif"), 0, 0, 1e6, 1e6);
  ASSERT_TRUE(whole) << lastReply_.errorMessage();
  EXPECT_EQ(whole->width, 427u);
  EXPECT_EQ(whole->height, 640u);
  expectWindowMatchesWhole(dataPath("formats/heif_hopper_128.heif"), 5, 6, 70, 71, kExact);
}

TEST_F(TileFormatsTest, HeifWithAlphaGivesAnRgbaTile) {
  auto whole = tileOf(dataPath("formats/heic_alpha_512.heic"), 0, 0, 512, 512, 2);
  ASSERT_TRUE(whole) << lastReply_.errorMessage();
  EXPECT_EQ(whole->width, 256u);
  auto native = tileOf(dataPath("formats/heic_alpha_512.heic"), 100, 100, 64, 64);
  ASSERT_TRUE(native) << lastReply_.errorMessage();
  EXPECT_EQ(native->colorType, 6);
}

TEST_F(TileFormatsTest, GreyJpegGivesAGreyTile) {
  auto grey = tileOf(dataPath("camera/grayscale.jpg"), 3, 4, 60, 50);
  ASSERT_TRUE(grey) << lastReply_.errorMessage();
  EXPECT_EQ(grey->colorType, 0);
  // Shrunk, it is RGBA like every redrawn tile, and still grey.
  auto shrunk = tileOf(dataPath("camera/grayscale.jpg"), 0, 0, 128, 128, 3);
  ASSERT_TRUE(shrunk) << lastReply_.errorMessage();
  EXPECT_EQ(shrunk->colorType, 6);
  for (size_t i = 0; i < shrunk->pixels.size(); i += 4) {
    ASSERT_EQ(shrunk->pixels[i], shrunk->pixels[i + 1]);
    ASSERT_EQ(shrunk->pixels[i], shrunk->pixels[i + 2]);
  }
}

TEST_F(TileFormatsTest, CmykJpegIsConvertedToRgbWithoutItsProfile) {
  auto tile = tileOf(dataPath("camera/cmyk.jpg"), 0, 0, 100, 100);
  ASSERT_TRUE(tile) << lastReply_.errorMessage();
  EXPECT_EQ(tile->colorType, 2);
  EXPECT_TRUE(tile->icc.empty());
  auto shrunk = tileOf(dataPath("camera/cmyk.jpg"), 0, 0, 100, 100, 2);
  ASSERT_TRUE(shrunk) << lastReply_.errorMessage();
  // The same picture either way.
  std::vector<uint8_t> halved;
  for (uint32_t y = 0; y < 50; ++y) {
    for (uint32_t x = 0; x < 50; ++x) {
      for (uint32_t c = 0; c < 4; ++c) {
        uint32_t sum = 0;
        for (uint32_t d = 0; d < 4; ++d) {
          sum += tile->pixels[(2 * y + d / 2) * tile->rowBytes + (2 * x + d % 2) * 4 + c];
        }
        halved.push_back(static_cast<uint8_t>((sum + 2) / 4));
      }
    }
  }
  EXPECT_GT(psnr(shrunk->pixels, halved), 30.0);
}

TEST_F(TileFormatsTest, JpegProfileIsEmbeddedWhenThePixelsAreKept) {
  ScratchDir sources;
  std::vector<uint8_t> icc(400, 3);
  std::copy_n("RGB ", 4, icc.begin() + 16);
  const std::string path = sources.file("icc.jpg");
  writeJpeg(
      path, 64, 48, 90,
      [](uint32_t y, uint8_t* rgb) {
        for (uint32_t x = 0; x < 64 * 3; ++x) rgb[x] = static_cast<uint8_t>(x + y);
      },
      icc);
  auto tile = tileOf(path, 0, 0, 64, 48);
  ASSERT_TRUE(tile) << lastReply_.errorMessage();
  EXPECT_EQ(tile->icc, icc);
}

TEST_F(TileFormatsTest, DamagedFramesOfEveryFormatAreRefused) {
  const std::string unreadable(messages::kCannotReadLongImage);
  for (const char* name :
       {"bad/gif_truncated.gif", "bad/gif_zero_width.gif", "bad/heic_decode_error.heic",
        "bad/avif_bomb_17000x17000.avif", "bad/webp_fuzz_12336x12336.webp",
        "bad/jpeg_truncated_pixel6_ultrahdr.jpg", "bad/png_libpng_badadler.png"}) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(tileOf(dataPath(name), 0, 0, 50, 50));
    EXPECT_EQ(lastReply_.errorMessage(), unreadable);
  }
  EXPECT_TRUE(outputs_.entries().empty());
}

}  // namespace
}  // namespace velmo::testing
