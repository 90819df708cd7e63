// The "tile" method through the channel: window arithmetic, the cache, exact pixels in the
// source's own format, shrinking, the PNG size limit and damaged input.
#include <spng.h>
#include <sys/stat.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <random>
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

const std::string kSourceMessage(messages::kUnreadableImage);
const std::string kUnreadableLongImage(messages::kCannotReadLongImage);
const std::string kInvalidWindow(messages::kInvalidTileWindow);
const std::string kTooLarge(messages::kTileTooLarge);

// The pattern of the generated RGB sources: every pixel differs from its neighbours, and
// every position within 256 of another gives a different colour.
void patternRow(uint32_t y, uint32_t width, uint8_t* out) {
  for (uint32_t x = 0; x < width; ++x) {
    out[3 * x] = static_cast<uint8_t>(x * 4 + y);
    out[3 * x + 1] = static_cast<uint8_t>((y >> 8) * 37 + x);
    out[3 * x + 2] = static_cast<uint8_t>(x ^ y);
  }
}

class TileTest : public ::testing::Test {
 protected:
  // Sources shared by the whole suite: made once, since the tall ones take a moment.
  static void SetUpTestSuite() {
    shared_ = std::make_unique<ScratchDir>();
    // 64 x 40000: taller than any Cairo surface may be.
    writePng(longPng(), pngLayout(64, 40000),
             [](uint32_t y, uint8_t* out) { patternRow(y, 64, out); });
    // 1080 x 4100 grey, for the 2048-pixel limit.
    writePng(tallGreyPng(), pngLayout(1080, 4100, 0), [](uint32_t y, uint8_t* out) {
      for (uint32_t x = 0; x < 1080; ++x) out[x] = static_cast<uint8_t>(x + y);
    });
    writePng(smallPng(), pngLayout(300, 120),
             [](uint32_t y, uint8_t* out) { patternRow(y, 300, out); });
  }
  static void TearDownTestSuite() { shared_.reset(); }

  static std::string longPng() { return shared_->file("long.png"); }
  static std::string tallGreyPng() { return shared_->file("tall_grey.png"); }
  static std::string smallPng() { return shared_->file("small.png"); }

  std::string destination(const std::string& name = "tile") const { return outputs_.file(name); }

  Reply tile(const EncodableMap& arguments) {
    return harness_.call("tile", EncodableValue(arguments), 30s);
  }
  // A tile of |path| over (x, y, width, height) at |sample|, written to |name|.png.
  Reply tile(const std::string& path, double x, double y, double width, double height,
             double sample = 1, const std::string& name = "tile") {
    return tile(plainMap({{"path", path},
                          {"destination", destination(name)},
                          {"x", x},
                          {"y", y},
                          {"width", width},
                          {"height", height},
                          {"sample", sample}}));
  }

  static void expectSize(const Reply& reply, int64_t width, int64_t height) {
    ASSERT_TRUE(reply.ok()) << reply.errorMessage();
    EXPECT_EQ(intEntry(reply.map(), "width"), width);
    EXPECT_EQ(intEntry(reply.map(), "height"), height);
  }

  static inline std::unique_ptr<ScratchDir> shared_;
  ScratchDir sources_;
  ScratchDir outputs_;
  PluginHarness harness_;
};

// --- Window arithmetic ---------------------------------------------------------------------

TEST_F(TileTest, FractionalLeftEdgeWidensTheWindowToWholePixels) {
  // Left edge 10.5 goes down to 10, right edge 110.5 up to 111: 101 pixels.
  Reply reply = tile(smallPng(), 10.5, 4, 100, 10);
  expectSize(reply, 101, 10);
  auto png = readPng(destination() + ".png", SPNG_FMT_RAW);
  ASSERT_TRUE(png);
  std::vector<uint8_t> expected(300 * 3);
  patternRow(4, 300, expected.data());
  EXPECT_TRUE(
      std::equal(png->pixels.begin(), png->pixels.begin() + 101 * 3, expected.begin() + 10 * 3));
}

TEST_F(TileTest, QuotientOfExactly2048Passes) {
  expectSize(tile(tallGreyPng(), 0, 0, 1080, 4096, 2), 540, 2048);
}

TEST_F(TileTest, QuotientOver2048IsRefused) {
  EXPECT_EQ(tile(tallGreyPng(), 0, 0, 1080, 4096, 1).errorMessage(), kInvalidWindow);
  // 4097 / 2 = 2048.5.
  EXPECT_EQ(tile(tallGreyPng(), 0, 0, 1080, 4097, 2).errorMessage(), kInvalidWindow);
  EXPECT_TRUE(outputs_.entries().empty());
}

TEST_F(TileTest, OutputSizeRoundsUp) {
  // ceil(100 / 3) = 34.
  expectSize(tile(smallPng(), 0, 0, 100, 100, 3), 34, 34);
}

TEST_F(TileTest, WindowPastTheBottomIsClipped) {
  Reply reply = tile(longPng(), 0, 39000, 64, 2000);
  expectSize(reply, 64, 1000);
}

TEST_F(TileTest, EmptyOrOutsideWindowsAreRefused) {
  EXPECT_EQ(tile(smallPng(), 300, 0, 10, 10).errorMessage(), kInvalidWindow);
  EXPECT_EQ(tile(smallPng(), -50, 0, 50, 10).errorMessage(), kInvalidWindow);
  EXPECT_EQ(tile(smallPng(), 0, 500, 10, 10).errorMessage(), kInvalidWindow);
  // "width" and "height" absent: 0.
  Reply absent = tile(plainMap({{"path", smallPng()}, {"destination", destination()}}));
  EXPECT_EQ(absent.errorMessage(), kInvalidWindow);
  Reply noHeight =
      tile(plainMap({{"path", smallPng()}, {"destination", destination()}, {"width", 10}}));
  EXPECT_EQ(noHeight.errorMessage(), kInvalidWindow);
  EXPECT_TRUE(outputs_.entries().empty());
}

TEST_F(TileTest, NegativeSizesExtendTheWindowLeftAndUp) {
  // (110, 20) with size (-100, -10) is the rectangle from (10, 10) to (110, 20).
  Reply reply = tile(smallPng(), 110, 20, -100, -10);
  expectSize(reply, 100, 10);
  auto png = readPng(destination() + ".png", SPNG_FMT_RAW);
  ASSERT_TRUE(png);
  std::vector<uint8_t> expected(300 * 3);
  patternRow(10, 300, expected.data());
  EXPECT_TRUE(
      std::equal(png->pixels.begin(), png->pixels.begin() + 100 * 3, expected.begin() + 10 * 3));
}

TEST_F(TileTest, NonFiniteOrHugeCoordinatesAreRefusedCleanly) {
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(tile(smallPng(), 1e19, 0, 10, 10).errorMessage(), kInvalidWindow);
  EXPECT_EQ(tile(smallPng(), -1e19, 0, 1e19, 10).errorMessage(), kInvalidWindow);
  EXPECT_EQ(tile(smallPng(), nan, 0, 10, 10).errorMessage(), kInvalidWindow);
  EXPECT_EQ(tile(smallPng(), 0, 0, inf, 10).errorMessage(), kInvalidWindow);
  EXPECT_EQ(tile(smallPng(), -inf, 0, inf, 10).errorMessage(), kInvalidWindow);
  EXPECT_EQ(tile(smallPng(), 0, 0, 10, nan).errorMessage(), kInvalidWindow);
  // A huge but finite window clips to the whole image.
  expectSize(tile(smallPng(), -1e300, -1e300, 2e300, 2e300), 300, 120);
}

TEST_F(TileTest, SampleBelowOneOrNotANumberCountsAsOne) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  expectSize(tile(smallPng(), 0, 0, 30, 20, 0.5, "half"), 30, 20);
  expectSize(tile(smallPng(), 0, 0, 30, 20, nan, "nan"), 30, 20);
  expectSize(tile(smallPng(), 0, 0, 30, 20, -3, "negative"), 30, 20);
  Reply text = tile(plainMap({{"path", smallPng()},
                              {"destination", destination("text")},
                              {"width", 30},
                              {"height", 20},
                              {"sample", "2"}}));
  expectSize(text, 30, 20);
  // Integers are numbers too.
  Reply integer = tile(plainMap({{"path", smallPng()},
                                 {"destination", destination("integer")},
                                 {"width", int32_t{30}},
                                 {"height", int64_t{20}},
                                 {"sample", int32_t{2}}}));
  expectSize(integer, 15, 10);
}

// --- Destination, source and the cache -------------------------------------------------------

TEST_F(TileTest, DestinationMustBeAString) {
  const std::string message(messages::kNoTileDestination);
  EXPECT_EQ(tile(EncodableMap{}).errorMessage(), message);
  EXPECT_EQ(tile(plainMap({{"path", smallPng()}})).errorMessage(), message);
  EXPECT_EQ(tile(plainMap({{"path", smallPng()}, {"destination", 5}})).errorMessage(), message);
}

TEST_F(TileTest, MissingOrUnreadableSourceFailsWithTheSourceMessage) {
  EXPECT_EQ(tile(sources_.file("missing.png"), 0, 0, 10, 10).errorMessage(), kSourceMessage);
  std::ofstream(sources_.file("text.png")) << "not an image";
  EXPECT_EQ(tile(sources_.file("text.png"), 0, 0, 10, 10).errorMessage(), kSourceMessage);
  EXPECT_EQ(tile(plainMap({{"destination", destination()}, {"width", 10}, {"height", 10}}))
                .errorMessage(),
            kSourceMessage);
  EXPECT_TRUE(outputs_.entries().empty());
}

TEST_F(TileTest, ResultDescribesTheWrittenFile) {
  Reply reply = tile(smallPng(), 0, 0, 31, 17, 1, "a.png");
  ASSERT_TRUE(reply.ok()) << reply.errorMessage();
  const std::string path = destination("a.png") + ".png";
  EXPECT_EQ(stringEntry(reply.map(), "path"), path);
  EXPECT_EQ(stringEntry(reply.map(), "filename"), "a.png.png");
  EXPECT_EQ(stringEntry(reply.map(), "mimeType"), "image/png");
  EXPECT_EQ(intEntry(reply.map(), "width"), 31);
  EXPECT_EQ(intEntry(reply.map(), "height"), 17);
  EXPECT_EQ(intEntry(reply.map(), "byteSize"),
            static_cast<int64_t>(std::filesystem::file_size(path)));
  EXPECT_EQ(reply.map().size(), 6u);
  // Only the tile itself: no temporary file left beside it.
  EXPECT_EQ(outputs_.entries(), std::vector<std::string>{"a.png.png"});
}

TEST_F(TileTest, SecondCallIsAnsweredFromTheFileOnDisk) {
  Reply first = tile(smallPng(), 0, 0, 40, 30);
  ASSERT_TRUE(first.ok()) << first.errorMessage();
  const std::string path = destination() + ".png";
  const auto written = std::filesystem::last_write_time(path);
  // Another window, another sample, and no "path" at all.
  Reply second = tile(plainMap(
      {{"destination", destination()}, {"x", 5}, {"width", 80}, {"height", 80}, {"sample", 4}}));
  ASSERT_TRUE(second.ok()) << second.errorMessage();
  EXPECT_EQ(second.map(), first.map());
  EXPECT_EQ(std::filesystem::last_write_time(path), written);
}

TEST_F(TileTest, DirectoryAtTheTilePathIsRefusedWithoutBlocking) {
  std::filesystem::create_directory(destination() + ".png");
  Reply reply = tile(smallPng(), 0, 0, 10, 10);
  EXPECT_EQ(reply.errorMessage(), kSourceMessage);
  EXPECT_TRUE(std::filesystem::is_directory(destination() + ".png"));
}

TEST_F(TileTest, FifoAtTheTilePathIsRefusedWithoutBlocking) {
  ASSERT_EQ(::mkfifo((destination() + ".png").c_str(), 0600), 0);
  Reply reply = harness_.call(
      "tile",
      map({{"path", smallPng()}, {"destination", destination()}, {"width", 10}, {"height", 10}}),
      10s);
  ASSERT_EQ(reply.kind, Reply::Kind::Error) << "no reply: the worker is blocked";
  EXPECT_EQ(reply.errorMessage(), kSourceMessage);
}

TEST_F(TileTest, DestinationHoldingNulTouchesNothing) {
  const std::string name = destination() + std::string("\0x", 2);
  Reply reply =
      tile(plainMap({{"path", smallPng()}, {"destination", name}, {"width", 10}, {"height", 10}}));
  ASSERT_EQ(reply.kind, Reply::Kind::Error);
  EXPECT_NE(reply.errorMessage().find("Invalid argument"), std::string::npos)
      << reply.errorMessage();
  EXPECT_TRUE(outputs_.entries().empty());
}

TEST_F(TileTest, WriteFailurePassesTheFileSystemErrorUp) {
  const std::string inMissingDirectory = outputs_.file("no/such/dir/tile");
  Reply reply = tile(plainMap(
      {{"path", smallPng()}, {"destination", inMissingDirectory}, {"width", 10}, {"height", 10}}));
  ASSERT_EQ(reply.kind, Reply::Kind::Error);
  EXPECT_NE(reply.errorMessage().find("No such file or directory"), std::string::npos)
      << reply.errorMessage();
  EXPECT_TRUE(outputs_.entries().empty());
}

// --- Exact pixels without redraw -------------------------------------------------------------

TEST_F(TileTest, WindowOfAVeryTallPngIsExact) {
  Reply reply = tile(longPng(), 5, 33001, 50, 2000);
  expectSize(reply, 50, 2000);
  auto png = readPng(destination() + ".png", SPNG_FMT_RAW);
  ASSERT_TRUE(png);
  EXPECT_EQ(png->colorType, 2);
  EXPECT_EQ(png->bitDepth, 8);
  std::vector<uint8_t> expected(64 * 3);
  for (uint32_t y = 0; y < 2000; ++y) {
    patternRow(33001 + y, 64, expected.data());
    ASSERT_TRUE(std::equal(expected.begin() + 5 * 3, expected.begin() + 55 * 3,
                           png->pixels.begin() + y * png->rowBytes))
        << "row " << y;
  }
}

TEST_F(TileTest, SixteenBitSourceStaysSixteenBit) {
  const std::string path = sources_.file("rgba16.png");
  auto sample = [](uint32_t x, uint32_t y, uint32_t c) {
    return static_cast<uint16_t>(x * 1021 + y * 263 + c * 17011);
  };
  writePng(path, pngLayout(40, 30, 6, 16), [&](uint32_t y, uint8_t* out) {
    for (uint32_t x = 0; x < 40; ++x) {
      for (uint32_t c = 0; c < 4; ++c) {
        const uint16_t v = sample(x, y, c);
        out[8 * x + 2 * c] = static_cast<uint8_t>(v >> 8);
        out[8 * x + 2 * c + 1] = static_cast<uint8_t>(v);
      }
    }
  });
  expectSize(tile(path, 3, 2, 20, 10), 20, 10);
  auto png = readPng(destination() + ".png", SPNG_FMT_RAW);
  ASSERT_TRUE(png);
  EXPECT_EQ(png->colorType, 6);
  EXPECT_EQ(png->bitDepth, 16);
  for (uint32_t y = 0; y < 10; ++y) {
    for (uint32_t x = 0; x < 20; ++x) {
      for (uint32_t c = 0; c < 4; ++c) {
        const uint8_t* p = png->pixels.data() + y * png->rowBytes + 8 * x + 2 * c;
        ASSERT_EQ((p[0] << 8) | p[1], sample(x + 3, y + 2, c)) << x << "," << y;
      }
    }
  }
}

TEST_F(TileTest, PaletteSourceKeepsItsPaletteTransparencyAndDepth) {
  const std::string path = sources_.file("palette.png");
  PngLayout layout = pngLayout(37, 9, 3, 2);
  layout.palette = {255, 0, 0, 0, 255, 0, 0, 0, 255, 9, 9, 9};
  layout.trns = {255, 128, 0};
  auto index = [](uint32_t x, uint32_t y) { return (x * 3 + y) % 4; };
  writePng(path, layout, [&](uint32_t y, uint8_t* out) {
    std::fill(out, out + packedRowBytes(layout), 0);
    for (uint32_t x = 0; x < 37; ++x) out[x / 4] |= index(x, y) << (6 - 2 * (x % 4));
  });
  // An odd left edge: the 2-bit samples must be repacked, not copied bytewise.
  expectSize(tile(path, 3, 1, 29, 7), 29, 7);
  auto png = readPng(destination() + ".png", SPNG_FMT_RAW, false);
  ASSERT_TRUE(png);
  EXPECT_EQ(png->colorType, 3);
  EXPECT_EQ(png->bitDepth, 2);
  EXPECT_EQ(png->palette, layout.palette);
  EXPECT_EQ(png->trns, layout.trns);
  for (uint32_t y = 0; y < 7; ++y) {
    for (uint32_t x = 0; x < 29; ++x) {
      const uint8_t byte = png->pixels[y * png->rowBytes + x / 4];
      ASSERT_EQ((byte >> (6 - 2 * (x % 4))) & 3, index(x + 3, y + 1)) << x << "," << y;
    }
  }
}

TEST_F(TileTest, IccProfileOfAPngTravelsWithItsPixels) {
  const std::string path = sources_.file("icc.png");
  PngLayout layout = pngLayout(16, 16);
  layout.icc.assign(300, 7);
  std::copy_n("RGB ", 4, layout.icc.begin() + 16);
  writePng(path, layout, [](uint32_t y, uint8_t* out) { patternRow(y, 16, out); });
  ASSERT_TRUE(tile(path, 0, 0, 8, 8).ok());
  auto png = readPng(destination() + ".png", SPNG_FMT_RAW);
  ASSERT_TRUE(png);
  EXPECT_EQ(png->icc, layout.icc);
}

// Interlaced and plain PngSuite files of the same picture give the same tile.
TEST_F(TileTest, InterlacedPngGivesTheSameTileAsItsPlainTwin) {
  for (const std::string name : {"basi0g02", "basi6a16"}) {
    SCOPED_TRACE(name);
    std::string twin = name;
    twin[3] = 'n';
    ASSERT_TRUE(tile(dataPath("pngsuite/" + name + ".png"), 3, 5, 21, 19, 1, name).ok());
    ASSERT_TRUE(tile(dataPath("pngsuite/" + twin + ".png"), 3, 5, 21, 19, 1, twin).ok());
    auto interlaced = readPng(destination(name) + ".png", SPNG_FMT_RAW);
    auto plain = readPng(destination(twin) + ".png", SPNG_FMT_RAW);
    ASSERT_TRUE(interlaced && plain);
    EXPECT_EQ(interlaced->interlace, 0);
    EXPECT_EQ(interlaced->colorType, plain->colorType);
    EXPECT_EQ(interlaced->bitDepth, plain->bitDepth);
    EXPECT_EQ(interlaced->pixels, plain->pixels);
  }
}

// --- Redrawn tiles ---------------------------------------------------------------------------

TEST_F(TileTest, UniformWindowStaysExactlyUniformWhenShrunk) {
  const std::string opaque = sources_.file("opaque.png");
  writePng(opaque, pngLayout(301, 299), [](uint32_t, uint8_t* out) {
    for (uint32_t x = 0; x < 301; ++x) {
      out[3 * x] = 37;
      out[3 * x + 1] = 150;
      out[3 * x + 2] = 201;
    }
  });
  const std::string translucent = sources_.file("translucent.png");
  writePng(translucent, pngLayout(301, 299, 6), [](uint32_t, uint8_t* out) {
    for (uint32_t x = 0; x < 301; ++x) {
      out[4 * x] = 200;
      out[4 * x + 1] = 100;
      out[4 * x + 2] = 50;
      out[4 * x + 3] = 128;
    }
  });
  for (double sample : {2.0, 3.0}) {
    for (const std::string& source : {opaque, translucent}) {
      SCOPED_TRACE(source + " at " + std::to_string(sample));
      const std::string name = "u" + std::to_string(static_cast<int>(sample)) +
                               std::filesystem::path(source).stem().string();
      Reply reply = tile(source, 1, 2, 299, 297, sample, name);
      ASSERT_TRUE(reply.ok()) << reply.errorMessage();
      auto png = readPng(destination(name) + ".png", SPNG_FMT_RGBA8);
      ASSERT_TRUE(png);
      EXPECT_EQ(png->colorType, 6);  // a redrawn tile is always RGBA
      EXPECT_EQ(png->width, static_cast<uint32_t>(std::ceil(299 / sample)));
      EXPECT_EQ(png->height, static_cast<uint32_t>(std::ceil(297 / sample)));
      const std::vector<uint8_t> first(png->pixels.begin(), png->pixels.begin() + 4);
      for (size_t i = 0; i < png->pixels.size(); i += 4) {
        ASSERT_TRUE(std::equal(first.begin(), first.end(), png->pixels.begin() + i)) << i / 4;
      }
      if (source == opaque) {
        EXPECT_EQ(first, (std::vector<uint8_t>{37, 150, 201, 255}));
      } else {
        EXPECT_EQ(first[3], 128);
        EXPECT_NEAR(first[0], 200, 2);
        EXPECT_NEAR(first[1], 100, 2);
        EXPECT_NEAR(first[2], 50, 2);
      }
    }
  }
}

// The tile at sample 2 of a pattern is the mean of each 2 x 2 block.
TEST_F(TileTest, ShrunkPngIsTheAreaAverage) {
  Reply reply = tile(smallPng(), 10, 20, 200, 100, 2);
  expectSize(reply, 100, 50);
  auto png = readPng(destination() + ".png", SPNG_FMT_RGBA8);
  auto source = readPng(smallPng(), SPNG_FMT_RGBA8);
  ASSERT_TRUE(png && source);
  int worst = 0;
  for (uint32_t y = 0; y < 50; ++y) {
    for (uint32_t x = 0; x < 100; ++x) {
      for (uint32_t c = 0; c < 3; ++c) {
        int sum = 0;
        for (uint32_t dy = 0; dy < 2; ++dy) {
          for (uint32_t dx = 0; dx < 2; ++dx) {
            sum += source->pixels[(20 + 2 * y + dy) * source->rowBytes + (10 + 2 * x + dx) * 4 + c];
          }
        }
        const int got = png->pixels[y * png->rowBytes + x * 4 + c];
        worst = std::max(worst, std::abs(got * 4 - sum));
      }
    }
  }
  // Within rounding of the mean.
  EXPECT_LE(worst, 2);
}

// --- JPEG --------------------------------------------------------------------------------------

// Mean of |box| x |box| blocks of the window (x, y, w, h) of an RGB image.
std::vector<uint8_t> boxAverage(const ReadJpeg& image, uint32_t x0, uint32_t y0, uint32_t w,
                                uint32_t h, uint32_t box) {
  std::vector<uint8_t> out;
  for (uint32_t y = 0; y < h / box; ++y) {
    for (uint32_t x = 0; x < w / box; ++x) {
      for (uint32_t c = 0; c < 3; ++c) {
        uint32_t sum = 0;
        for (uint32_t dy = 0; dy < box; ++dy) {
          for (uint32_t dx = 0; dx < box; ++dx) {
            sum += image.pixels[((y0 + y * box + dy) * image.width + x0 + x * box + dx) * 3 + c];
          }
        }
        out.push_back(static_cast<uint8_t>((sum + box * box / 2) / (box * box)));
      }
    }
  }
  return out;
}

std::vector<uint8_t> rgbOf(const ReadPng& png) {
  std::vector<uint8_t> rgb;
  for (size_t i = 0; i < png.pixels.size(); i += 4) {
    rgb.insert(rgb.end(), png.pixels.begin() + i, png.pixels.begin() + i + 3);
  }
  return rgb;
}

TEST_F(TileTest, JpegWindowMatchesAFullDecodeOfTheSameRows) {
  const std::string path = dataPath("camera/canon_sx60hs_orientation6.jpg");
  auto full = readJpeg(path);
  ASSERT_TRUE(full);
  // Odd edges, away from block boundaries.
  Reply reply = tile(path, 37, 1101, 301, 203);
  expectSize(reply, 301, 203);
  auto png = readPng(destination() + ".png", SPNG_FMT_RAW);
  ASSERT_TRUE(png);
  EXPECT_EQ(png->colorType, 2);
  EXPECT_EQ(png->bitDepth, 8);
  std::vector<uint8_t> expected;
  for (uint32_t y = 1101; y < 1304; ++y) {
    const uint8_t* row = full->pixels.data() + (size_t{y} * full->width + 37) * 3;
    expected.insert(expected.end(), row, row + 301 * 3);
  }
  EXPECT_GT(psnr(png->pixels, expected), 40.0);
}

TEST_F(TileTest, JpegIsCutInItsStoredGrid) {
  // Stored 2048 x 1536 with orientation 6 ("metadata" reports 1536 x 2048).
  const std::string path = dataPath("camera/canon_sx60hs_orientation6.jpg");
  Reply reply = tile(path, 0, 0, 2048, 1536, 2);
  expectSize(reply, 1024, 768);
  auto full = readJpeg(path);
  auto png = readPng(destination() + ".png", SPNG_FMT_RGBA8);
  ASSERT_TRUE(full && png);
  EXPECT_GT(psnr(rgbOf(*png), boxAverage(*full, 0, 0, 2048, 1536, 2)), 35.0);
}

TEST_F(TileTest, ShrunkJpegWindowLinesUpWithTheFullDecode) {
  // Sample 3 from odd edges: decoded at 3/8 scale, then averaged down.
  const std::string path = dataPath("camera/canon_sx60hs_orientation6.jpg");
  Reply reply = tile(path, 101, 57, 900, 600, 3);
  expectSize(reply, 300, 200);
  auto full = readJpeg(path);
  auto png = readPng(destination() + ".png", SPNG_FMT_RGBA8);
  ASSERT_TRUE(full && png);
  EXPECT_GT(psnr(rgbOf(*png), boxAverage(*full, 101, 57, 900, 600, 3)), 40.0);
}

TEST_F(TileTest, UniformJpegStaysUniformWhenShrunk) {
  const std::string path = sources_.file("uniform.jpg");
  writeJpeg(path, 500, 400, 90, [](uint32_t, uint8_t* rgb) {
    for (uint32_t x = 0; x < 500; ++x) {
      rgb[3 * x] = 90;
      rgb[3 * x + 1] = 160;
      rgb[3 * x + 2] = 30;
    }
  });
  auto full = readJpeg(path);
  ASSERT_TRUE(full);
  const std::vector<uint8_t> colour(full->pixels.begin(), full->pixels.begin() + 3);
  for (double sample : {2.0, 3.0, 7.0}) {
    const std::string name = "s" + std::to_string(static_cast<int>(sample));
    ASSERT_TRUE(tile(path, 3, 5, 301, 199, sample, name).ok());
    auto png = readPng(destination(name) + ".png", SPNG_FMT_RGBA8);
    ASSERT_TRUE(png);
    for (size_t i = 0; i < png->pixels.size(); i += 4) {
      ASSERT_TRUE(std::equal(colour.begin(), colour.end(), png->pixels.begin() + i))
          << "sample " << sample << " pixel " << i / 4;
    }
  }
}

// --- Limits and damaged data -------------------------------------------------------------------

void noiseRows(const std::string& path, uint8_t colorType, uint32_t channels) {
  std::mt19937 random(1234);
  writePng(
      path, pngLayout(2048, 2048, colorType),
      [&](uint32_t, uint8_t* out) {
        for (uint32_t i = 0; i < 2048 * channels; ++i) out[i] = static_cast<uint8_t>(random());
      },
      0);
}

TEST_F(TileTest, TileOver16MiBIsRefused) {
  const std::string path = sources_.file("rgba_noise.png");
  noiseRows(path, 6, 4);
  // 2048 x 2048 x 4 bytes of noise do not compress: more than 16 MiB of PNG.
  EXPECT_EQ(tile(path, 0, 0, 2048, 2048).errorMessage(), kTooLarge);
  EXPECT_TRUE(outputs_.entries().empty());
}

TEST_F(TileTest, RgbNoiseOfTheSameSizeFits) {
  const std::string path = sources_.file("rgb_noise.png");
  noiseRows(path, 2, 3);
  expectSize(tile(path, 0, 0, 2048, 2048), 2048, 2048);
}

TEST_F(TileTest, DamagedDataInTheWindowIsRefused) {
  // Cut inside IDAT after about 400 of 480 rows.
  EXPECT_EQ(tile(dataPath("bad/png_truncated.png"), 0, 420, 640, 50).errorMessage(),
            kUnreadableLongImage);
  EXPECT_EQ(tile(dataPath("bad/png_broken_data_stream.png"), 0, 0, 128, 128).errorMessage(),
            kUnreadableLongImage);
  EXPECT_EQ(tile(dataPath("bad/jpeg_truncated_progressive.jpg"), 0, 0, 100, 100).errorMessage(),
            kUnreadableLongImage);
  EXPECT_TRUE(outputs_.entries().empty());
}

TEST_F(TileTest, RowsBeforeTheDamageStillMakeATile) {
  // Only the rows down to the window's bottom are decoded.
  expectSize(tile(dataPath("bad/png_truncated.png"), 0, 0, 640, 100), 640, 100);
}

TEST_F(TileTest, DecompressionBombsAreRefusedBeforeDecoding) {
  const std::string png = sources_.file("bomb.png");
  writePngHeaderOnly(png, 100000, 100000);
  EXPECT_EQ(tile(png, 0, 0, 100, 100).errorMessage(), kUnreadableLongImage);
  EXPECT_EQ(tile(dataPath("bad/jpeg_bomb_64250x64250.jpg"), 0, 0, 100, 100).errorMessage(),
            kUnreadableLongImage);
  EXPECT_TRUE(outputs_.entries().empty());
}

}  // namespace
}  // namespace velmo::testing
