// Tiles of long PNGs in one long-lived plug-in, whose decodes resume from checkpoints left by
// earlier tiles of the same file: the files written are byte for byte those of fresh
// plug-ins, whatever the order of the windows; a file replaced or rewritten is read afresh;
// the rows unfiltered here are libspng's for every filter and pixel size.
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/image_files.h"
#include "tests/support/messages.h"
#include "tests/support/png_chunks.h"
#include "tests/support/test_support.h"

namespace velmo::testing {
namespace {

using host::EncodableMap;

EncodableMap window(double x, double y, double width, double height, double sample = 1) {
  return map({{"x", x}, {"y", y}, {"width", width}, {"height", height}, {"sample", sample}});
}

// |prefix| and |i|, appended rather than "w" + ...: GCC 12 at -O3 reports a false -Wrestrict
// for literal + string.
std::string numbered(std::string prefix, size_t i) {
  prefix += std::to_string(i);
  return prefix;
}

void putBe32(std::vector<uint8_t>& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

// A PNG whose rows are |rows| (packed, without filter bytes), row y filtered with filter
// |filters|[y % size], and deflated in stored blocks: its size depends only on its geometry,
// not on its pixels.
std::vector<uint8_t> storedPng(uint32_t width, uint32_t height, uint8_t colorType, uint8_t bitDepth,
                               uint32_t pixelBytes, const std::vector<std::vector<uint8_t>>& rows,
                               const std::vector<uint8_t>& filters) {
  std::vector<uint8_t> raw;
  std::vector<uint8_t> zero(rows.at(0).size(), 0);
  for (uint32_t y = 0; y < height; ++y) {
    const std::vector<uint8_t>& x = rows[y];
    const std::vector<uint8_t>& p = y > 0 ? rows[y - 1] : zero;
    const uint8_t filter = filters[y % filters.size()];
    raw.push_back(filter);
    for (size_t i = 0; i < x.size(); ++i) {
      const int a = i >= pixelBytes ? x[i - pixelBytes] : 0;
      const int b = p[i];
      const int c = i >= pixelBytes ? p[i - pixelBytes] : 0;
      int predictor = 0;
      if (filter == 1) predictor = a;
      if (filter == 2) predictor = b;
      if (filter == 3) predictor = (a + b) / 2;
      if (filter == 4) {
        const int pa = std::abs(b - c), pb = std::abs(a - c), pc = std::abs(a + b - 2 * c);
        predictor = pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
      }
      raw.push_back(static_cast<uint8_t>(x[i] - predictor));
    }
  }
  std::vector<uint8_t> zlib = {0x78, 0x01};
  for (size_t at = 0; at < raw.size(); at += 65535) {
    const size_t length = std::min<size_t>(65535, raw.size() - at);
    zlib.push_back(at + length == raw.size() ? 1 : 0);
    zlib.push_back(static_cast<uint8_t>(length));
    zlib.push_back(static_cast<uint8_t>(length >> 8));
    zlib.push_back(static_cast<uint8_t>(~length));
    zlib.push_back(static_cast<uint8_t>(~length >> 8));
    zlib.insert(zlib.end(), raw.begin() + at, raw.begin() + at + length);
  }
  uint32_t s1 = 1, s2 = 0;
  for (const uint8_t byte : raw) {
    s1 = (s1 + byte) % 65521;
    s2 = (s2 + s1) % 65521;
  }
  putBe32(zlib, s2 << 16 | s1);
  std::vector<uint8_t> ihdr;
  putBe32(ihdr, width);
  putBe32(ihdr, height);
  ihdr.insert(ihdr.end(), {bitDepth, colorType, 0, 0, 0});
  PngChunks chunks = {{"IHDR", ihdr}};
  for (size_t at = 0; at < zlib.size(); at += 40000) {
    chunks.push_back(
        {"IDAT", std::vector<uint8_t>(zlib.begin() + at,
                                      zlib.begin() + std::min(at + 40000, zlib.size()))});
  }
  chunks.push_back({"IEND", {}});
  return pngFromChunks(chunks);
}

class TileResumeTest : public ::testing::Test {
 protected:
  // Tiles |source| over |arguments| into |name|.png with |harness|; the file's bytes, or a
  // fatal failure with the error.
  void tileBytes(PluginHarness& harness, const std::string& source, EncodableMap arguments,
                 const std::string& name, std::vector<uint8_t>& bytes) {
    arguments.emplace_back("path", source);
    arguments.emplace_back("destination", outputs_.file(name));
    Reply reply = harness.call("tile", host::EncodableValue(arguments));
    ASSERT_TRUE(reply.ok()) << name << ": " << reply.errorMessage();
    bytes = readBytes(outputs_.file(name) + ".png");
  }

  // Tiles |windows| of |source| in order with one plug-in, and each with a fresh one: the
  // files must be the same bytes.
  void expectSameAsFresh(const std::string& source, const std::vector<EncodableMap>& windows) {
    PluginHarness scrolling;
    for (size_t i = 0; i < windows.size(); ++i) {
      SCOPED_TRACE(numbered(source + ", window ", i));
      std::vector<uint8_t> resumed, fresh;
      const std::string name = numbered("w", counter_++);
      ASSERT_NO_FATAL_FAILURE(tileBytes(scrolling, source, windows[i], name + "s", resumed));
      PluginHarness once;
      ASSERT_NO_FATAL_FAILURE(tileBytes(once, source, windows[i], name + "f", fresh));
      ASSERT_EQ(resumed, fresh);
    }
  }

  ScratchDir sources_;
  ScratchDir outputs_;
  size_t counter_ = 0;
};

// Noise in part of each row keeps zlib's blocks short, so that there are many block
// boundaries to leave checkpoints at, most of them in the middle of a byte and of a row.
RgbaImage scrollImage(uint32_t width, uint32_t height, unsigned seed) {
  std::mt19937 random(seed);
  return RgbaImage::generate(width, height, [&](uint32_t x, uint32_t y) {
    if (x % 50 < 7) return static_cast<uint32_t>(random()) | (y % 3 == 0 ? 0u : 0xFF000000u);
    return 0xFF000000u | ((x * 3 + y) & 0xFF) << 16 | ((y >> 4) & 0xFF) << 8 | ((x ^ y) & 0xFF);
  });
}

TEST_F(TileResumeTest, ScrollAndJumpsGiveTheTilesOfFreshPlugins) {
  const std::string rgb = sources_.file("rgb.png");
  const std::string rgba = sources_.file("rgba.png");
  writePngFile(rgb, scrollImage(301, 6000, 1), false);
  writePngFile(rgba, scrollImage(257, 5000, 2), true);

  // Top to bottom at sample 1, overlapping windows at odd places; then sample 2.
  std::vector<EncodableMap> scroll;
  for (uint32_t y = 0; y < 6000; y += 517) scroll.push_back(window(0, y, 301, 600));
  for (uint32_t y = 0; y < 6000; y += 1601) scroll.push_back(window(3, y, 250, 1700, 2));
  expectSameAsFresh(rgb, scroll);

  // Deep first, then up and down, then the last rows, at both samples and odd edges.
  const std::vector<EncodableMap> jumps = {
      window(0, 4100, 257, 700),     window(5, 900, 200, 333), window(0, 4700, 257, 300, 2),
      window(1, 2222, 100, 1000, 3), window(0, 4999, 257, 1),  window(0, 0, 257, 5000, 3),
      window(0, 2600, 257, 2400, 2)};
  expectSameAsFresh(rgba, jumps);
}

// Files whose decodes do not resume (interlaced, animated, or shrunk from a palette through
// libspng) tile in a long-lived plug-in as they do in fresh ones.
TEST_F(TileResumeTest, FilesThatDoNotResumeTileAsInFreshPlugins) {
  const std::vector<EncodableMap> windows = {window(0, 20, 1e4, 30), window(3, 2, 1e4, 1e4, 2),
                                             window(0, 0, 1e4, 1e4), window(1, 9, 40, 1e4, 3)};
  for (const char* name : {"formats/png_rgba_interlaced.png", "formats/apng_delay.png",
                           "formats/png_palette_trns_interlaced.png", "pngsuite/basn3p04.png"}) {
    expectSameAsFresh(dataPath(name), windows);
  }
}

// Each filter on every pixel size the filters step by, through the rows a sample-1 tile
// copies unchanged: they are libspng's rows of the same file.
TEST_F(TileResumeTest, UnfilteredRowsAreLibspngRows) {
  struct Case {
    const char* name;
    uint8_t colorType, bitDepth;
    uint32_t pixelBytes, rowBytes;
  };
  const uint32_t width = 37;
  const std::vector<Case> cases = {
      {"grey 1-bit", 0, 1, 1, (width + 7) / 8}, {"grey 8", 0, 8, 1, width},
      {"grey-alpha 8", 4, 8, 2, width * 2},     {"rgb 8", 2, 8, 3, width * 3},
      {"rgba 8", 6, 8, 4, width * 4},           {"rgb 16", 2, 16, 6, width * 6},
      {"rgba 16", 6, 16, 8, width * 8},
  };
  std::mt19937 random(7);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const uint32_t height = 40;
    std::vector<std::vector<uint8_t>> rows(height, std::vector<uint8_t>(c.rowBytes));
    for (uint32_t y = 0; y < height; ++y) {
      for (uint32_t i = 0; i < c.rowBytes; ++i) {
        // Smooth with noise, so that every predictor term matters.
        rows[y][i] = static_cast<uint8_t>(i * 5 + y * 3 + (random() % 23));
      }
    }
    const std::string path = sources_.file(std::string(c.name) + ".png");
    writeBytes(path, storedPng(width, height, c.colorType, c.bitDepth, c.pixelBytes, rows,
                               {0, 1, 2, 3, 4, 4, 3, 2, 1}));
    const RgbaImage expected = readImageFile(path);
    PluginHarness harness;
    std::vector<uint8_t> tile;
    ASSERT_NO_FATAL_FAILURE(tileBytes(harness, path, window(0, 0, width, height), c.name, tile));
    EXPECT_EQ(maxDifference(decodeImage(tile), expected), 0);
    // A window starting in the middle, its columns off the byte grid for 1-bit pixels.
    ASSERT_NO_FATAL_FAILURE(
        tileBytes(harness, path, window(3, 17, 29, 20), std::string(c.name) + "w", tile));
    EXPECT_EQ(maxDifference(decodeImage(tile), boxAverage(expected, 3, 17, 29, 20)), 0);
  }
}

// The same path, another file: replaced by a rename (a new inode, the same size and time),
// or rewritten in place (the same inode and size, another time). Either way the plug-in's
// checkpoints of the old file must not be used; both files are the same size, so only the
// identity of the file tells them apart.
TEST_F(TileResumeTest, FileReplacedOrRewrittenIsReadAfresh) {
  const uint32_t width = 120, height = 3000;
  const auto rows = [&](unsigned seed) {
    std::mt19937 random(seed);
    std::vector<std::vector<uint8_t>> made(height, std::vector<uint8_t>(width * 3));
    for (auto& row : made) {
      for (auto& byte : row) byte = static_cast<uint8_t>(random());
    }
    return made;
  };
  // Filters that refer to the row above: a row resumed from a stale checkpoint would differ.
  const std::vector<uint8_t> first = storedPng(width, height, 2, 8, 3, rows(1), {2, 4, 3});
  const std::vector<uint8_t> second = storedPng(width, height, 2, 8, 3, rows(2), {2, 4, 3});
  const std::vector<uint8_t> third = storedPng(width, height, 2, 8, 3, rows(3), {2, 4, 3});
  ASSERT_EQ(first.size(), second.size());
  const std::string path = sources_.file("long.png");
  const std::string other = sources_.file("other.png");
  writeBytes(path, first);

  const auto setTime = [](const std::string& file, timespec when) {
    const timespec times[2] = {when, when};
    ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
  };
  const timespec when{1'700'000'000, 123'456'789};
  setTime(path, when);

  PluginHarness harness;
  const std::vector<EncodableMap> windows = {
      window(0, 0, width, 2900, 2), window(0, 2500, width, 500), window(0, 1700, width, 600, 2)};
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i < windows.size(); ++i) {
    ASSERT_NO_FATAL_FAILURE(tileBytes(harness, path, windows[i], numbered("a", i), bytes));
  }

  const auto expectFresh = [&](const std::string& step) {
    for (size_t i = 0; i < windows.size(); ++i) {
      SCOPED_TRACE(numbered(step + ", window ", i));
      std::vector<uint8_t> resumed, fresh;
      ASSERT_NO_FATAL_FAILURE(tileBytes(harness, path, windows[i], numbered(step, i), resumed));
      PluginHarness once;
      ASSERT_NO_FATAL_FAILURE(tileBytes(once, path, windows[i], numbered(step + "f", i), fresh));
      EXPECT_EQ(resumed, fresh);
    }
  };
  // Replaced: the other file, given the same time, renamed over it.
  writeBytes(other, second);
  setTime(other, when);
  std::filesystem::rename(other, path);
  expectFresh("replaced");
  // Rewritten in place with a third picture, a nanosecond later.
  {
    std::ofstream out(path, std::ios::binary | std::ios::in | std::ios::out);
    out.write(reinterpret_cast<const char*>(third.data()),
              static_cast<std::streamsize>(third.size()));
  }
  setTime(path, {when.tv_sec, when.tv_nsec + 1});
  expectFresh("rewritten");
}

// A damaged stream fails the windows that reach the damage whatever was tiled before, and
// the windows above it go on tiling as before.
TEST_F(TileResumeTest, DamageFailsTheSameWindowsAfterOthers) {
  const uint32_t width = 120, height = 3000;
  std::mt19937 random(3);
  std::vector<std::vector<uint8_t>> rows(height, std::vector<uint8_t>(width * 3));
  for (auto& row : rows) {
    for (auto& byte : row) byte = static_cast<uint8_t>(random());
  }
  std::vector<uint8_t> bytes = storedPng(width, height, 2, 8, 3, rows, {0});
  // A filter type of 9 about two thirds of the way down: rows are 361 bytes with their filter
  // byte, in stored blocks of 65535 with a 5-byte header, after the 2-byte zlib header, in
  // chunks of 40000 with 12 bytes around each, after the 8-byte signature and 25-byte IHDR.
  const size_t damagedRow = 2000;
  const size_t streamOffset = 2 + damagedRow * 361 + (damagedRow * 361 / 65535 + 1) * 5;
  const size_t fileOffset = 8 + 25 + (streamOffset / 40000) * 12 + 8 + streamOffset;
  bytes[fileOffset] = 9;
  // The chunk's CRC made right again, so that only the filter byte is wrong.
  PngChunks chunks = pngChunks(bytes);
  const std::string path = sources_.file("damaged.png");
  writeBytes(path, pngFromChunks(chunks));

  PluginHarness harness;
  std::vector<uint8_t> top;
  ASSERT_NO_FATAL_FAILURE(tileBytes(harness, path, window(0, 0, width, 1900), "top", top));
  struct Case {
    EncodableMap window;
    bool tiles;
  };
  const std::vector<Case> cases = {
      {window(0, 1500, width, 499), true},  {window(0, 1500, width, 501), false},
      {window(0, 2500, width, 100), false}, {window(0, 1000, width, 900), true},
      {window(0, 1999, width, 1), true},    {window(0, 2000, width, 1), false},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(i);
    EncodableMap arguments = cases[i].window;
    arguments.emplace_back("path", path);
    arguments.emplace_back("destination", outputs_.file(numbered("c", i)));
    Reply reply = harness.call("tile", host::EncodableValue(arguments));
    if (cases[i].tiles) {
      EXPECT_TRUE(reply.ok()) << reply.errorMessage();
    } else {
      EXPECT_EQ(reply.errorMessage(), std::string(messages::kCannotReadLongImage));
    }
  }
  std::vector<uint8_t> again;
  ASSERT_NO_FATAL_FAILURE(tileBytes(harness, path, window(0, 0, width, 1900), "again", again));
  EXPECT_EQ(again, top);
}

}  // namespace
}  // namespace velmo::testing
