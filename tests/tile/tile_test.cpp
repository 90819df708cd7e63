// The "tile" method through the channel: window arithmetic, the cache, exact pixels in the
// source's own format, shrinking, the PNG size limit and damaged input, for every format read.
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/image_files.h"
#include "tests/support/messages.h"
#include "tests/support/png_chunks.h"
#include "tests/support/test_support.h"

namespace velmo::testing {
namespace {

using namespace std::chrono_literals;
using host::EncodableMap;

const std::string kSourceMessage(messages::kUnreadableImage);
const std::string kUnreadable(messages::kCannotReadLongImage);
const std::string kInvalidWindow(messages::kInvalidTileWindow);
const std::string kNoDestination(messages::kNoTileDestination);
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInfinity = std::numeric_limits<double>::infinity();
constexpr double kExact = kInfinity;  // the PSNR of identical images
const std::string kCamera = dataPath("camera/canon_sx60hs_orientation6.jpg");

EncodableMap window(double x, double y, double width, double height, double sample = 1) {
  return map({{"x", x}, {"y", y}, {"width", width}, {"height", height}, {"sample", sample}});
}

// Colour type and bit depth as the PNG's IHDR stores them.
std::pair<int, int> pngFormat(const std::string& path) {
  char header[26] = {};
  std::ifstream(path, std::ios::binary).read(header, sizeof header);
  return {static_cast<uint8_t>(header[25]), static_cast<uint8_t>(header[24])};
}

class TileTest : public ::testing::Test {
 protected:
  // Made once for the suite, since the tall one takes a moment.
  static void SetUpTestSuite() {
    shared_ = std::make_unique<ScratchDir>();
    // Neighbouring pixels differ, so a window off by one pixel does not match.
    const auto pattern = [](uint32_t x, uint32_t y) {
      return 0xFF000000u | ((x * 4 + y) & 0xFF) << 16 | ((x + (y >> 8) * 37) & 0xFF) << 8 |
             ((x ^ y) & 0xFF);
    };
    writePngFile(wide(), RgbaImage::generate(1080, 4100, pattern), false);
    // Taller than any Cairo surface may be.
    writePngFile(tall(), RgbaImage::generate(64, 40000, pattern), false);
  }
  static void TearDownTestSuite() { shared_.reset(); }
  static std::string wide() { return shared_->file("wide.png"); }
  static std::string tall() { return shared_->file("tall.png"); }

  std::string png(const std::string& name) const { return outputs_.file(name) + ".png"; }

  // Tiles |source| ("path" left out when empty) over |arguments| into |name|.png.
  Reply tile(const std::string& source, EncodableMap arguments, const std::string& name = "tile") {
    if (!source.empty()) arguments.emplace_back("path", source);
    arguments.emplace_back("destination", outputs_.file(name));
    return harness_.call("tile", host::EncodableValue(arguments));
  }
  // The tile as RGBA into |image|; a failed call is a fatal failure, so callers wrap this in
  // ASSERT_NO_FATAL_FAILURE and never go on to measure an image that is not there.
  void tileImage(const std::string& source, const EncodableMap& arguments, const std::string& name,
                 RgbaImage& image) {
    Reply reply = tile(source, arguments, name);
    ASSERT_TRUE(reply.ok()) << reply.errorMessage();
    image = readImageFile(png(name));
  }

  static inline std::unique_ptr<ScratchDir> shared_;
  ScratchDir sources_;
  ScratchDir outputs_;
  PluginHarness harness_;
};

TEST_F(TileTest, WindowArithmetic) {
  struct Case {
    const char* what;
    EncodableMap arguments;
    int64_t width, height;       // 0: refused
    int64_t left = -1, top = 0;  // where a tile at sample 1 starts in the source
  };
  const std::vector<Case> cases = {
      {"left edge 10.5 goes down to 10, right edge 110.5 up to 111", window(10.5, 4, 100, 10), 101,
       10, 10, 4},
      {"quotient of exactly 2048", window(0, 0, 1080, 4096, 2), 540, 2048},
      {"quotient over 2048", window(0, 0, 1080, 4096), 0, 0},
      {"4097 / 2 = 2048.5", window(0, 0, 1080, 4097, 2), 0, 0},
      {"ceil(100 / 3)", window(0, 0, 100, 100, 3), 34, 34},
      {"clipped at the bottom", window(0, 4000, 64, 200), 64, 100, 0, 4000},
      {"outside", window(1080, 0, 10, 10), 0, 0},
      {"sizes absent", map({{"x", 5}}), 0, 0},
      {"height absent", map({{"width", 10}}), 0, 0},
      {"negative sizes extend left and up", window(110, 20, -100, -10), 100, 10, 10, 10},
      {"x 1e19", window(1e19, 0, 10, 10), 0, 0},
      {"x not a number", window(kNaN, 0, 10, 10), 0, 0},
      // From a finite origin, an infinite extent is clipped like a huge finite one.
      {"width 1e308", window(1000, 4, 1e308, 10), 80, 10, 1000, 4},
      {"width infinite", window(1000, 4, kInfinity, 10), 80, 10, 1000, 4},
      {"height infinite", window(3, 4050, 20, kInfinity), 20, 50, 3, 4050},
      {"width minus infinity reaches the left edge", window(30, 7, -kInfinity, 5), 30, 5, 0, 7},
      {"x infinite", window(kInfinity, 0, 10, 10), 0, 0},
      {"y minus infinity", window(0, -kInfinity, 10, kInfinity), 0, 0},
      {"width not a number", window(0, 0, kNaN, 10), 0, 0},
      {"height not a number", window(0, 0, 10, kNaN), 0, 0},
      {"sample not a number", window(0, 0, 30, 20, kNaN), 30, 20, 0, 0},
      {"sample below 1", window(0, 0, 30, 20, 0.5), 30, 20, 0, 0},
      {"integers", map({{"width", int32_t{30}}, {"height", int64_t{20}}, {"sample", 2}}), 15, 10},
  };
  const RgbaImage source = readImageFile(wide());
  size_t made = 0;
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.what);
    // Appended, not "c" + ...: GCC 12 at -O3 reports a false -Wrestrict for literal + string.
    std::string name = "c";
    name += std::to_string(i);
    Reply reply = tile(wide(), c.arguments, name);
    if (c.width == 0) {
      EXPECT_EQ(reply.errorMessage(), kInvalidWindow);
      continue;
    }
    ASSERT_TRUE(reply.ok()) << reply.errorMessage();
    ++made;
    EXPECT_EQ(intEntry(reply.map(), "width"), c.width);
    EXPECT_EQ(intEntry(reply.map(), "height"), c.height);
    if (c.left < 0) continue;
    const RgbaImage expected = boxAverage(source, static_cast<uint32_t>(c.left),
                                          static_cast<uint32_t>(c.top), c.width, c.height);
    EXPECT_EQ(maxDifference(readImageFile(png(name)), expected), 0);
  }
  // Refused windows leave nothing, and made tiles leave no temporary file beside them.
  EXPECT_EQ(outputs_.entries().size(), made);
}

TEST_F(TileTest, ResultDescribesTheFileThatAnswersLaterCalls) {
  Reply first = tile(wide(), window(0, 0, 31, 17), "a.png");
  ASSERT_TRUE(first.ok()) << first.errorMessage();
  EXPECT_EQ(describe(first.map()), fileDescription(png("a.png"), "image/png", 31, 17));
  // Another window and sample, and no "path" at all: the file on disk answers.
  EXPECT_EQ(tile("", window(5, 0, 80, 80, 4), "a.png").map(), first.map());
  EXPECT_EQ(outputs_.entries(), std::vector<std::string>{"a.png.png"});

  // Something at the tile path that is no image, even a FIFO that would block a reader.
  std::filesystem::create_directory(png("dir"));
  ASSERT_EQ(::mkfifo(png("fifo").c_str(), 0600), 0);
  for (const std::string name : {"dir", "fifo"}) {
    SCOPED_TRACE(name);
    Reply reply = tile(wide(), window(0, 0, 10, 10), name);
    ASSERT_EQ(reply.kind, Reply::Kind::Error) << "no reply: the worker is blocked";
    EXPECT_EQ(reply.errorMessage(), kSourceMessage);
  }
  EXPECT_EQ(harness_.call("tile", map({{"path", wide()}})).errorMessage(), kNoDestination);
}

// At sample 1 the window is cut, not redrawn: exact pixels in the source's own format.
TEST_F(TileTest, WindowAtSampleOneKeepsPixelsAndFormat) {
  struct Case {
    std::string path;
    uint32_t x, y, width, height;
    std::pair<int, int> format;  // colour type, bit depth
  };
  const std::vector<Case> cases = {
      {tall(), 5, 33001, 50, 2000, {2, 8}},
      {dataPath("pngsuite/basn6a16.png"), 3, 5, 21, 19, {6, 16}},
      // An odd left edge: the 4-bit indices must be repacked, not copied bytewise.
      {dataPath("pngsuite/basn3p04.png"), 3, 5, 21, 19, {3, 4}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    RgbaImage got;
    ASSERT_NO_FATAL_FAILURE(tileImage(c.path, window(c.x, c.y, c.width, c.height), "t", got));
    EXPECT_EQ(pngFormat(png("t")), c.format);
    EXPECT_EQ(maxDifference(got, boxAverage(readImageFile(c.path), c.x, c.y, c.width, c.height)),
              0);
    std::filesystem::remove(png("t"));
  }
}

TEST_F(TileTest, UniformWindowStaysUniformWhenShrunk) {
  const std::string opaque = sources_.file("opaque.png");
  const std::string translucent = sources_.file("translucent.png");
  const std::string jpeg = sources_.file("uniform.jpg");
  writePngFile(opaque, RgbaImage::filled(301, 299, 0xFF2596C9u), false);
  writePngFile(translucent, RgbaImage::filled(301, 299, 0x80C86432u), true);
  writeJpegFile(jpeg, RgbaImage::filled(500, 400, 0xFF5AA01Eu), 90);
  const std::vector<std::tuple<std::string, double, int>> cases = {
      {opaque, 2, 0}, {translucent, 3, 2}, {jpeg, 7, 0}};
  for (const auto& [path, sample, tolerance] : cases) {
    SCOPED_TRACE(path);
    RgbaImage got;
    ASSERT_NO_FATAL_FAILURE(tileImage(path, window(1, 2, 299, 297, sample), "u", got));
    // A redrawn tile is always RGBA.
    EXPECT_EQ(pngFormat(png("u")), std::make_pair(6, 8));
    for (size_t i = 0; i < got.rgba.size(); ++i) ASSERT_EQ(got.rgba[i], got.rgba[i % 4]) << i / 4;
    const RgbaImage source = readImageFile(path);
    for (size_t c = 0; c < 4; ++c) {
      EXPECT_NEAR(got.rgba[c], source.rgba[c], tolerance);
    }
    std::filesystem::remove(png("u"));
  }
}

// Stored 2048 x 1536 with orientation 6: the tile is cut in the stored grid, not the shown one.
TEST_F(TileTest, JpegIsCutInItsStoredGrid) {
  const RgbaImage full = readImageFile(kCamera);
  ASSERT_EQ(full.width, 2048u);
  // Odd edges, away from block boundaries; sample 3 decodes at 3/8 scale, then averages down.
  const std::vector<std::vector<uint32_t>> cases = {
      {0, 0, 2048, 1536, 2, 35}, {37, 1101, 301, 203, 1, 40}, {101, 57, 900, 600, 3, 42}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c[0]);
    RgbaImage got;
    ASSERT_NO_FATAL_FAILURE(tileImage(kCamera, window(c[0], c[1], c[2], c[3], c[4]), "j", got));
    EXPECT_GT(psnr(got, boxAverage(full, c[0], c[1], c[2], c[3], c[4])), c[5]);
    std::filesystem::remove(png("j"));
  }
}

// Every other format: the stored grid, the pixel format, and a window that is the same
// pixels as that part of the whole frame (for lossy data within a PSNR).
TEST_F(TileTest, OtherFormats) {
  struct Case {
    const char* path;
    uint32_t width, height;
    int colorType;
    double minPsnr;
    uint32_t x = 47, y = 29;  // a window with detail in it
  };
  const std::vector<Case> cases = {
      {"formats/gif_still_transparent.gif", 200, 150, 6, kExact},
      {"formats/gif_still.gif", 128, 128, 2, kExact},
      {"formats/webp_lossless.webp", 300, 300, 2, kExact},
      // libwebp crops from even edges only; the odd edge must still line up.
      {"formats/webp_lossy_alpha_small.webp", 100, 100, 6, 35},
      {"formats/webp_anim.webp", 200, 200, 6, kExact, 15, 95},  // the first frame
      {"formats/avif_irot90_imir.avif", 427, 640, 2, kExact},   // shown turned and mirrored
      {"formats/heif_hopper_128.heif", 128, 128, 2, kExact},
      {"formats/heic_alpha_512.heic", 512, 512, 6, kExact, 80, 300},
      // Coded as 452 x 462; the clean aperture is the picture.
      {"formats/heic_odd_451x461.heic", 451, 461, 2, kExact, 400, 420},
      {"camera/grayscale.jpg", 128, 128, 0, 40},
      {"camera/cmyk.jpg", 100, 100, 2, 40},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.path);
    std::string name = "f";
    name += std::to_string(i);
    RgbaImage whole;
    ASSERT_NO_FATAL_FAILURE(tileImage(dataPath(c.path), window(0, 0, 1e6, 1e6), name, whole));
    EXPECT_EQ(pngFormat(png(name)).first, c.colorType);
    EXPECT_EQ(whole.width, c.width);
    EXPECT_EQ(whole.height, c.height);
    RgbaImage part;
    ASSERT_NO_FATAL_FAILURE(
        tileImage(dataPath(c.path), window(c.x, c.y, 51, 41), name + "w", part));
    EXPECT_GE(psnr(part, boxAverage(whole, c.x, c.y, 51, 41), true), c.minPsnr);
  }

  // The clean aperture is cut where the displayed picture is: the tile of it is what a
  // render at its own size shows (through JPEG), and a window reaching past its right edge
  // stops there.
  const std::string odd = dataPath("formats/heic_odd_451x461.heic");
  Reply rendered = harness_.call("render", renderArguments(odd, outputs_.file("r"), 451, 461));
  ASSERT_TRUE(rendered.ok()) << rendered.errorMessage();
  RgbaImage tile, edge;
  ASSERT_NO_FATAL_FAILURE(tileImage(odd, window(0, 0, 451, 461), "odd", tile));
  EXPECT_GT(psnr(tile, readImageFile(outputs_.file("r") + ".jpg")), 38);
  ASSERT_NO_FATAL_FAILURE(tileImage(odd, window(440, 450, 100, 100), "edge", edge));
  EXPECT_EQ(edge.width, 11u);
  EXPECT_EQ(edge.height, 11u);
}

TEST_F(TileTest, MissingDamagedOrBombedSourcesFailCleanly) {
  std::ofstream(sources_.file("text.png")) << "not an image";
  // An IHDR that promises 100000 x 100000 RGB pixels, and the start of a zlib stream that
  // never goes on.
  writeBytes(sources_.file("bomb.png"),
             pngFromChunks({{"IHDR", {0, 1, 0x86, 0xA0, 0, 1, 0x86, 0xA0, 8, 2, 0, 0, 0}},
                            {"IDAT", {0x78, 0x9C, 0, 0}},
                            {"IEND", {}}}));
  std::vector<std::pair<std::string, std::string>> cases = {
      {"", kSourceMessage},  // no "path" at all
      {sources_.file("missing.png"), kSourceMessage},
      {sources_.file("text.png"), kSourceMessage},
      {sources_.file("bomb.png"), kUnreadable},
  };
  // png_libpng_badcrc.png: a one-row image whose only IDAT chunk has a wrong CRC.
  for (const char* name :
       {"png_libpng_badadler.png", "png_libpng_badcrc.png", "jpeg_truncated_progressive.jpg",
        "jpeg_truncated_pixel6_ultrahdr.jpg", "jpeg_bomb_64250x64250.jpg", "gif_truncated.gif",
        "gif_zero_width.gif", "heic_decode_error.heic", "avif_bomb_17000x17000.avif",
        "webp_fuzz_12336x12336.webp"}) {
    cases.emplace_back(dataPath(std::string("bad/") + name), kUnreadable);
  }
  for (const auto& [path, message] : cases) {
    SCOPED_TRACE(path);
    EXPECT_EQ(tile(path, window(0, 0, 2048, 2048)).errorMessage(), message);
  }
  // No tile and no temporary file left by any failure.
  EXPECT_TRUE(outputs_.entries().empty());
}

TEST_F(TileTest, EncodedTileOver16MiBIsRefused) {
  // 2048 x 2048 of noise does not compress: over 16 MiB as RGBA, under it as RGB.
  std::mt19937 random(1234);
  const RgbaImage noise = RgbaImage::generate(2048, 2048, [&](auto, auto) { return random(); });
  writePngFile(sources_.file("rgba.png"), noise, true);
  writePngFile(sources_.file("rgb.png"), noise, false);
  EXPECT_EQ(tile(sources_.file("rgba.png"), window(0, 0, 2048, 2048)).errorMessage(),
            messages::kTileTooLarge);
  EXPECT_TRUE(outputs_.entries().empty());
  Reply rgb = tile(sources_.file("rgb.png"), window(0, 0, 2048, 2048));
  ASSERT_TRUE(rgb.ok()) << rgb.errorMessage();
  EXPECT_EQ(intEntry(rgb.map(), "width"), 2048);

  // The limit is 16 MiB, not 16 million bytes: 1975 rows of RGBA noise encode to about
  // 16.2 MB, between the two, and pass.
  Reply edge = tile(sources_.file("rgba.png"), window(0, 0, 2048, 1975), "edge");
  ASSERT_TRUE(edge.ok()) << edge.errorMessage();
  const std::optional<int64_t> bytes = intEntry(edge.map(), "byteSize");
  ASSERT_TRUE(bytes);
  EXPECT_GT(*bytes, 16'000'000);
  EXPECT_LT(*bytes, 16'777'216);
}

// Damage inside the image data is found in the rows that are decoded: a window above it
// tiles, one that reaches it fails while its rows are being encoded and leaves nothing. The
// zlib stream's checksum follows the last row, so only a window down to the last row meets
// a wrong one. A chunk's CRC covers the whole chunk, so a window that needs any of its data
// meets a wrong one, even when its rows end before the chunk does.
TEST_F(TileTest, DamagedImageDataFailsOnlyTheWindowsThatReachIt) {
  PngChunks header, data;
  for (auto& chunk : pngChunks(readBytes(tall()))) {
    if (chunk.first == "IDAT") {
      data.emplace_back(std::move(chunk));
    } else if (chunk.first != "IEND") {
      header.emplace_back(std::move(chunk));
    }
  }
  std::vector<uint8_t> stream;
  for (const auto& chunk : data)
    stream.insert(stream.end(), chunk.second.begin(), chunk.second.end());
  // The same image data in other chunks, the file's structure whole.
  const auto rewrite = [&](const std::string& name, std::vector<uint8_t> damaged,
                           std::optional<size_t> wrongCrc = std::nullopt) {
    auto chunks = header;
    for (size_t at = 0; at < damaged.size(); at += 16384) {
      chunks.push_back(
          {"IDAT", std::vector<uint8_t>(damaged.begin() + at,
                                        damaged.begin() + std::min(at + 16384, damaged.size()))});
    }
    chunks.push_back({"IEND", {}});
    std::vector<uint8_t> bytes = pngFromChunks(chunks);
    if (wrongCrc) {
      // The last byte of the CRC of the image data chunk numbered |wrongCrc|.
      size_t at = 8;
      for (size_t i = 0; i < header.size() + *wrongCrc + 1; ++i) {
        at += 12 + (size_t{bytes[at]} << 24 | size_t{bytes[at + 1]} << 16 |
                    size_t{bytes[at + 2]} << 8 | bytes[at + 3]);
      }
      bytes[at - 1] ^= 0x01;
    }
    writeBytes(sources_.file(name), bytes);
    return sources_.file(name);
  };
  std::vector<uint8_t> wrongChecksum = stream;
  wrongChecksum.back() ^= 0xFF;
  // The stream ends about halfway down the image.
  const std::string cut =
      rewrite("cut.png", std::vector<uint8_t>(stream.begin(), stream.begin() + stream.size() / 2));
  const std::string checksum = rewrite("checksum.png", wrongChecksum);
  const std::string same = rewrite("same.png", stream);
  const size_t chunkCount = (stream.size() + 16383) / 16384;
  ASSERT_GE(chunkCount, 4u);
  const std::string firstCrc = rewrite("first_crc.png", stream, 0);
  const std::string middleCrc = rewrite("middle_crc.png", stream, chunkCount / 2);
  const RgbaImage whole = readImageFile(tall());
  ASSERT_EQ(whole.height, 40000u);

  struct Case {
    std::string path;
    EncodableMap window;
    bool tiles;
  };
  const std::vector<Case> cases = {
      {cut, window(3, 17, 50, 2000), true},
      {cut, window(3, 17, 50, 4000, 2), true},
      {cut, window(0, 18000, 64, 4000, 2), false},
      {cut, window(0, 39000, 64, 1000), false},
      {checksum, window(3, 37000, 50, 2000), true},
      {checksum, window(0, 38000, 64, 2000), false},
      {checksum, window(0, 36000, 64, 4000, 2), false},
      {same, window(0, 38000, 64, 2000), true},
      // One row needs only the start of the first chunk.
      {firstCrc, window(0, 0, 64, 1), false},
      {middleCrc, window(3, 17, 50, 2000), true},
      {middleCrc, window(0, 39000, 64, 1000), false},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(i);
    Reply reply = tile(c.path, c.window, "d");
    if (!c.tiles) {
      EXPECT_EQ(reply.errorMessage(), kUnreadable);
      EXPECT_TRUE(outputs_.entries().empty());
      continue;
    }
    ASSERT_TRUE(reply.ok()) << reply.errorMessage();
    if (i == 0 || i == 4) {
      const uint32_t top = i == 0 ? 17 : 37000;
      EXPECT_EQ(maxDifference(readImageFile(png("d")), boxAverage(whole, 3, top, 50, 2000)), 0);
    }
    std::filesystem::remove(png("d"));
  }
}

// A file cut short is refused when the source is opened, before the window is looked at: a
// window above the cut gets no tile, and an invalid window gets the source's message.
TEST_F(TileTest, TruncatedFilesAreRefusedWhateverTheWindow) {
  const auto cut = [&](const std::string& from, const std::string& name, double keep) {
    std::vector<uint8_t> bytes = readBytes(from);
    bytes.resize(static_cast<size_t>(static_cast<double>(bytes.size()) * keep));
    writeBytes(sources_.file(name), bytes);
    return sources_.file(name);
  };
  const std::vector<std::string> damaged = {
      dataPath("bad/png_truncated.png"),
      dataPath("bad/png_broken_data_stream.png"),  // garbage where the end chunk should be
      cut(tall(), "tall_cut.png", 0.5),
      cut(kCamera, "camera_cut.jpg", 0.6),
      cut(dataPath("formats/webp_lossless.webp"), "cut.webp", 0.9),
  };
  const std::vector<std::pair<const char*, EncodableMap>> windows = {
      {"top corner", window(0, 0, 16, 16)},
      {"outside the image", window(1e6, 1e6, 16, 16)},
      {"no size", map({{"x", 1}})},
  };
  for (const std::string& path : damaged) {
    for (const auto& [what, arguments] : windows) {
      SCOPED_TRACE(path + ", " + what);
      // A tile made by mistake must not answer the next call from the cache.
      EXPECT_EQ(tile(path, arguments).errorMessage(), kUnreadable);
      std::filesystem::remove(png("tile"));
    }
  }
  // The intact files tile, with bytes after the end of a JPEG or PNG tolerated.
  const std::string trailing = sources_.file("trailing.jpg");
  std::filesystem::copy_file(kCamera, trailing);
  std::ofstream(trailing, std::ios::binary | std::ios::app) << "trailing bytes";
  for (const std::string& path :
       {tall(), kCamera, trailing, dataPath("formats/webp_lossless.webp")}) {
    SCOPED_TRACE(path);
    Reply reply = tile(path, window(0, 0, 16, 16), "whole");
    EXPECT_TRUE(reply.ok()) << reply.errorMessage();
    std::filesystem::remove(png("whole"));
  }
}

}  // namespace
}  // namespace velmo::testing
