// The checkpoints a long-lived caller keeps between PNG windows stay within their budget, for
// one file and for all, and a store squeezed far below what it would keep still gives the
// rows of a decode without one.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "codec/image_probe.h"
#include "codec/window_decoder.h"
#include "tests/support/decoder_fixtures.h"
#include "tests/support/image_files.h"
#include "tests/support/test_support.h"

namespace velmo::testing {
namespace {

using codec::DecodeCheckpoints;
using platform::PixelRect;

// The rows of |window| of |path| as stored, read through |checkpoints| (may be null).
std::vector<uint8_t> windowBytes(const std::string& path, const PixelRect& window,
                                 DecodeCheckpoints* checkpoints) {
  const auto file = platform::InputFile::open(path);
  const auto info = probePath(path);
  EXPECT_TRUE(file && info);
  if (!file || !info) return {};
  auto reader = codec::openFrameWindow(*file, *info, codec::WindowUse::Tile, checkpoints);
  EXPECT_TRUE(reader);
  if (!reader) return {};
  auto image = (*reader)->readWindow(window);
  EXPECT_TRUE(image);
  if (!image) return {};
  return image->pixels;
}

// Rows of noise make short deflate blocks, so checkpoints come at almost every row asked for.
std::string noisePng(const ScratchDir& dir, const std::string& name, uint32_t width,
                     uint32_t height, unsigned seed) {
  std::mt19937 random(seed);
  const std::string path = dir.file(name);
  writePngFile(path, RgbaImage::generate(width, height, [&](auto, auto) { return random(); }),
               false);
  return path;
}

TEST(WindowCheckpoints, StayWithinTheBudgetOfEachFileAndOfAll) {
  ScratchDir dir;
  DecodeCheckpoints store;
  const size_t perFile = DecodeCheckpoints::kPerFileBytes;
  std::vector<std::string> paths;
  for (unsigned i = 0; i < DecodeCheckpoints::kFiles + 2; ++i) {
    std::string name = std::to_string(i);
    name += ".png";
    paths.push_back(noisePng(dir, name, 200, 6000, i));
  }
  size_t before = 0;
  for (size_t i = 0; i < paths.size(); ++i) {
    SCOPED_TRACE(paths[i]);
    windowBytes(paths[i], {0, 5990, 200, 10}, &store);
    const size_t held = store.bytes();
    // Each new file adds checkpoints, up to its budget; beyond the last few files, the least
    // recently read is dropped.
    EXPECT_GT(held, i < DecodeCheckpoints::kFiles ? before : 0);
    EXPECT_LE(held, std::min(i + 1, DecodeCheckpoints::kFiles) * perFile);
    EXPECT_GT(held, std::min(i + 1, DecodeCheckpoints::kFiles) * perFile / 2);
    before = held;
  }
}

TEST(WindowCheckpoints, ThinnedBelowTheirUsualNumberTheyGiveTheSameRows) {
  ScratchDir dir;
  const std::string path = noisePng(dir, "noise.png", 150, 4000, 9);
  // Room for about three checkpoints of 32 KiB in each of two files.
  DecodeCheckpoints small(100'000, 2);
  const std::vector<PixelRect> windows = {
      {0, 3900, 150, 100}, {7, 100, 50, 300}, {0, 2100, 150, 1}, {0, 1000, 150, 3000}};
  for (const PixelRect& window : windows) {
    SCOPED_TRACE(window.y);
    const std::vector<uint8_t> resumed = windowBytes(path, window, &small);
    EXPECT_LE(small.bytes(), 100'000u);
    EXPECT_GT(small.bytes(), 0u);
    EXPECT_EQ(resumed, windowBytes(path, window, nullptr));
  }
}

}  // namespace
}  // namespace velmo::testing
