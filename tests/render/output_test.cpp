// Writing a finished image under a byte limit, and describing image files.
#include "render/output.h"
#include "source/image_source.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <limits>

#include "codec/image_encoder.h"
#include "method/error.h"
#include "tests/support/decoder_fixtures.h"
#include "tests/support/messages.h"
#include "tests/support/test_support.h"

namespace velmo::testing {
namespace {

using host::EncodableMap;
using platform::Bitmap;
namespace fs = std::filesystem;

// Gradients under fixed noise: each rung of the JPEG quality ladder gives a different size.
Bitmap photo(uint32_t width, uint32_t height, bool alpha = false) {
  Bitmap bitmap(width, height, alpha);
  uint32_t state = 99;
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      state = state * 1664525u + 1013904223u;
      const uint32_t noise = (state >> 24) & 0x1F, a = alpha ? x * 255 / (width - 1) : 255;
      bitmap.row(y)[x] =
          platform::premultiply((x + noise) & 0xFF, (y * 2 + noise) & 0xFF, (x ^ y) & 0xFF, a);
    }
  }
  return bitmap;
}

// The catalogue message of the PluginError |action| throws, or "" when it throws none.
std::string pluginErrorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const method::PluginError& e) {
    return e.message();
  }
  return "";
}

TEST(Write, LimitPicksTheFirstFittingRungOrFailsWritingNothing) {
  const Bitmap image = photo(320, 240);
  std::vector<std::vector<uint8_t>> rungs;
  for (int quality : {92, 88, 84}) rungs.push_back(*codec::encodeJpeg(image.view(), quality));
  ASSERT_GT(rungs[0].size(), rungs[1].size());
  ASSERT_GT(rungs[1].size(), rungs[2].size());
  auto size = [&](int rung) { return static_cast<int64_t>(rungs[rung].size()); };
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  const std::pair<int64_t, int> cases[] = {// limit, rung written (-1: none)
                                           {size(0), 0}, {size(0) - 1, 1},  {size(1) - 1, 2},
                                           {size(2), 2}, {size(2) - 1, -1}, {0, -1},
                                           {-1, -1},     {kMin, -1}};
  for (const auto& [limit, rung] : cases) {
    SCOPED_TRACE("limit " + std::to_string(limit));
    ScratchDir dir;
    if (rung < 0) {
      EXPECT_EQ(pluginErrorOf([&] { render::write(image.view(), dir.file("a"), false, limit); }),
                messages::kOutputTooLarge);
      EXPECT_TRUE(dir.entries().empty());
      continue;
    }
    const EncodableMap result = render::write(image.view(), dir.file("a"), false, limit);
    EXPECT_EQ(readBytes(dir.file("a.jpg")), rungs[rung]);
    EXPECT_EQ(describe(result),
              fileDescription(dir.file("a.jpg"), "image/jpeg", 320, 240, size(rung)));
  }
}

// PNG is encoded once: over the limit it fails, with no fall-back to JPEG.
TEST(Write, PngOverTheLimitFailsAndTheExtensionIsAppended) {
  ScratchDir dir;
  const Bitmap image = photo(64, 48, true);
  const auto png = codec::encodePng(image.view());
  ASSERT_TRUE(png);
  const auto limit = static_cast<int64_t>(png->size());
  for (int64_t over : {limit - 1, int64_t{-1}}) {
    EXPECT_EQ(pluginErrorOf([&] { render::write(image.view(), dir.file("a.jpg"), true, over); }),
              messages::kOutputTooLarge);
  }
  EXPECT_TRUE(dir.entries().empty());

  const EncodableMap result = render::write(image.view(), dir.file("a.jpg"), true, limit);
  EXPECT_EQ(describe(result), fileDescription(dir.file("a.jpg.png"), "image/png", 64, 48, limit));
  EXPECT_EQ(readBytes(dir.file("a.jpg.png")), *png);
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"a.jpg.png"});
}

// A file the plug-in did not write, and a link to it: the displayed size (libpng's
// pngtest.png, stored 91 x 69 with EXIF orientation 5) and the target's byte size.
TEST(FileResult, DescribesForeignFilesAndLinksAndRefusesNonImages) {
  const std::string png = dataPath("orientation/png_exif_chunk_orientation5_pngtest.png");
  EXPECT_EQ(describe(source::fileResult(png, "image/png")),
            fileDescription(png, "image/png", 69, 91, 8759));
  ScratchDir dir;
  const std::string link = dir.file("tile.png");
  fs::create_symlink(png, link);
  EXPECT_EQ(describe(source::fileResult(link, "image/png")),
            fileDescription(link, "image/png", 69, 91, 8759));

  fs::create_directory(dir.file("folder.png"));
  for (const std::string& path :
       {dataPath("bad/text_named.jpg"), dir.file("absent.png"), dir.file("folder.png")}) {
    EXPECT_EQ(pluginErrorOf([&] { source::fileResult(path, "image/png"); }),
              messages::kUnreadableImage)
        << path;
  }
}

}  // namespace
}  // namespace velmo::testing
