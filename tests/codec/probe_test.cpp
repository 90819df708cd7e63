// The header probe against cut and corrupted files: it may find nothing, but it must not
// crash, read past the data, or report more than the intact file holds.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "codec/image_probe.h"
#include "tests/support/decoder_fixtures.h"
#include "tests/support/png_chunks.h"
#include "tests/support/test_support.h"

namespace velmo::testing {
namespace {

TEST(ImageProbe, CutAndCorruptedFilesProbeCleanly) {
  ScratchDir dir;
  const std::string path = dir.file("damaged");
  uint32_t state = 12345;
  auto next = [&state] {
    state = state * 1664525u + 1013904223u;
    return state >> 8;
  };
  for (const char* name :
       {"camera/nikon_d300_progressive.jpg", "orientation/png_exif_chunk_orientation6.png",
        "formats/apng_delay.png", "formats/gif_anim_31frames.gif", "formats/webp_anim.webp",
        "formats/webp_lossy_alpha_small.webp", "formats/heic_odd_451x461.heic",
        "formats/avif_irot90_imir.avif"}) {
    SCOPED_TRACE(name);
    const std::vector<uint8_t> original = readBytes(dataPath(name));
    const auto whole = probePath(dataPath(name));
    ASSERT_TRUE(whole && whole->pixelWidth);

    // Every length through the headers, then a coarser sweep; longest first, so that each
    // cut truncates the file already written.
    std::vector<size_t> lengths;
    for (size_t n = 0; n < original.size(); n += n < 1024 ? 1 : 211) lengths.push_back(n);
    writeBytes(path, original);
    for (auto n = lengths.rbegin(); n != lengths.rend(); ++n) {
      ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(*n)), 0);
      const auto cut = probePath(path);
      if (!cut) continue;
      SCOPED_TRACE("cut at " + std::to_string(*n));
      EXPECT_EQ(cut->format, whole->format);
      EXPECT_LE(cut->frameCount, std::max<uint64_t>(whole->frameCount, 1));
      EXPECT_EQ(cut->pixelWidth.value_or(*whole->pixelWidth), *whole->pixelWidth);
    }

    // A few bytes changed within the first 2 KB, where the headers are; the signature stays.
    // Overwritten in place: rewriting a truncated file makes ext4 flush it, which is slow.
    writeBytes(path, original);
    std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
    for (int round = 0; round < 150; ++round) {
      std::vector<uint8_t> bytes = original;
      const size_t span = std::min<size_t>(bytes.size(), 2048);
      for (uint32_t k = 0, changes = 1 + next() % 4; k < changes; ++k) {
        const uint32_t r = next();
        const uint8_t values[] = {0xFF, 0x00, static_cast<uint8_t>(next())};
        bytes[8 + r % (span - 8)] = values[r % 3];
      }
      file.seekp(0).write(reinterpret_cast<const char*>(bytes.data()),
                          static_cast<std::streamsize>(bytes.size()));
      file.flush();
      const auto info = probePath(path);
      if (!info) continue;
      // The signature is intact, so a file that is recognised is recognised as itself.
      EXPECT_EQ(info->format, whole->format) << "round " << round;
      EXPECT_GE(info->frameCount, 1u) << "round " << round;
      // Counted frames take at least a byte each (only an APNG declares its count).
      if (info->format != codec::ImageFormat::Png) {
        EXPECT_LE(info->frameCount, bytes.size()) << "round " << round;
      }
    }
  }
}

// Damage at a known place gives a known answer: a header that fails its own checks gives no
// size, a recorded size is reported as recorded, and a broken record structure ends the walk.
TEST(ImageProbe, TargetedDamageGivesTheseAnswers) {
  ScratchDir dir;
  const auto find = [](const std::vector<uint8_t>& bytes, std::vector<uint8_t> pattern) {
    return static_cast<size_t>(
        std::search(bytes.begin(), bytes.end(), pattern.begin(), pattern.end()) - bytes.begin());
  };
  struct Case {
    const char* what;
    const char* file;
    std::function<void(std::vector<uint8_t>&)> damage;
    bool recognised;
    std::optional<uint64_t> width, height;
    uint64_t frames;
  };
  const std::vector<Case> cases = {
      {"PNG: the IHDR checksum", "formats/apng_delay.png", [](auto& b) { b[29] ^= 0x01; }, true,
       std::nullopt, std::nullopt, 1},
      {"PNG: the width, checksum left as it was", "formats/apng_delay.png",
       [](auto& b) { b[19] ^= 0x01; }, true, std::nullopt, std::nullopt, 1},
      {"JPEG: the recorded width is 0", "camera/nikon_d300_progressive.jpg",
       [&](auto& b) {
         const size_t sof = find(b, {0xFF, 0xC2});
         b[sof + 7] = 0;
         b[sof + 8] = 0;
       },
       true, 0, 133, 1},
      {"GIF: no record after the colour table", "formats/gif_anim_31frames.gif",
       [](auto& b) { b[13 + 3 * 256] = 0x00; }, true, std::nullopt, std::nullopt, 1},
      {"WebP: the form type", "formats/webp_lossy.webp", [](auto& b) { b[8] = 'X'; }, false,
       std::nullopt, std::nullopt, 1},
      {"HEIF: the file type box's name", "formats/heif_hopper_128.heif",
       [](auto& b) { b[4] = 'x'; }, false, std::nullopt, std::nullopt, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> bytes = readBytes(dataPath(c.file));
    const auto whole = probePath(dataPath(c.file));
    ASSERT_TRUE(whole);
    c.damage(bytes);
    writeBytes(dir.file("damaged"), bytes);
    const auto info = probePath(dir.file("damaged"));
    ASSERT_EQ(info.has_value(), c.recognised);
    if (!info) continue;
    EXPECT_EQ(info->format, whole->format);
    EXPECT_EQ(info->pixelWidth, c.width);
    EXPECT_EQ(info->pixelHeight, c.height);
    EXPECT_EQ(info->frameCount, c.frames);
  }
}

const std::vector<uint8_t> kIhdr2x1 = {0, 0, 0, 2, 0, 0, 0, 1, 8, 2, 0, 0, 0};
// The one row of a 2 x 1 RGB image, a filter byte and six zero samples, as a zlib stream.
const std::vector<uint8_t> kIdat2x1 = {0x78, 0x9C, 0x63, 0x60, 0x00, 0x03,
                                       0x00, 0x00, 0x07, 0x00, 0x01};

TEST(ImageProbe, OnlyAnAnimationControlBeforeTheImageDataMakesAnAnimation) {
  ScratchDir dir;
  const std::vector<uint8_t> threeFrames = {0, 0, 0, 3, 0, 0, 0, 0};
  const std::pair<const char*, uint64_t> cases[] = {{"acTL IDAT", 3}, {"IDAT acTL", 1}};
  for (const auto& [order, frames] : cases) {
    SCOPED_TRACE(order);
    std::vector<std::pair<std::string, std::vector<uint8_t>>> chunks = {{"IHDR", kIhdr2x1}};
    if (order[0] == 'a') chunks.push_back({"acTL", threeFrames});
    chunks.push_back({"IDAT", kIdat2x1});
    if (order[0] == 'I') chunks.push_back({"acTL", threeFrames});
    chunks.push_back({"IEND", {}});
    writeBytes(dir.file("a.png"), pngFromChunks(chunks));
    const auto info = probePath(dir.file("a.png"));
    ASSERT_TRUE(info);
    EXPECT_EQ(info->frameCount, frames);
    EXPECT_EQ(info->pixelWidth, 2u);
  }
}

// The orientation tag is a SHORT by the book; some writers store a LONG. Either is read, in
// either byte order.
TEST(ImageProbe, ExifOrientationStoredAsShortOrLongInEitherByteOrder) {
  ScratchDir dir;
  struct Case {
    const char* what;
    std::vector<uint8_t> tiff;
  };
  const std::vector<Case> cases = {
      {"SHORT, little-endian",
       {'I', 'I', 42, 0, 8, 0, 0, 0, 1, 0, 0x12, 0x01, 3, 0, 1, 0, 0, 0, 6, 0, 0, 0, 0, 0, 0, 0}},
      {"SHORT, big-endian",
       {'M', 'M', 0, 42, 0, 0, 0, 8, 0, 1, 0x01, 0x12, 0, 3, 0, 0, 0, 1, 0, 6, 0, 0, 0, 0, 0, 0}},
      {"LONG, little-endian",
       {'I', 'I', 42, 0, 8, 0, 0, 0, 1, 0, 0x12, 0x01, 4, 0, 1, 0, 0, 0, 6, 0, 0, 0, 0, 0, 0, 0}},
      {"LONG, big-endian",
       {'M', 'M', 0, 42, 0, 0, 0, 8, 0, 1, 0x01, 0x12, 0, 4, 0, 0, 0, 1, 0, 0, 0, 6, 0, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    writeBytes(
        dir.file("o.png"),
        pngFromChunks({{"IHDR", kIhdr2x1}, {"eXIf", c.tiff}, {"IDAT", kIdat2x1}, {"IEND", {}}}));
    const auto info = probePath(dir.file("o.png"));
    ASSERT_TRUE(info);
    EXPECT_EQ(info->orientation, 6);
  }
}

}  // namespace
}  // namespace velmo::testing
