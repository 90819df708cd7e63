// The header probe on its own: what the channel does not show (format, declared alpha, stored
// size), the EXIF directory reader, and robustness against cut and corrupted files.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <span>
#include <string>
#include <vector>

#include "platform/exif_orientation.h"
#include "platform/image_probe.h"
#include "tests/support/test_support.h"

namespace velmo::testing {
namespace {

using platform::ImageFormat;
using platform::ImageInfo;
using platform::InputFile;

std::vector<uint8_t> readBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::optional<ImageInfo> probePath(const std::string& path) {
  auto file = InputFile::open(path);
  if (!file) return std::nullopt;
  return platform::probeImage(*file);
}

void writeBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

// Overwrites the file's bytes in place. The file keeps its length, so no truncation happens
// (ext4 flushes a file that is truncated and rewritten, which makes thousands of rewrites slow).
void overwriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::fstream out(path, std::ios::binary | std::ios::in | std::ios::out);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

TEST(ImageProbe, DeclaredAlphaPerFormat) {
  struct Case {
    const char* file;
    ImageFormat format;
    bool alpha;
  };
  const Case cases[] = {
      {"camera/nikon_d300_progressive.jpg", ImageFormat::Jpeg, false},
      {"pngsuite/basn0g01.png", ImageFormat::Png, false},
      {"pngsuite/basn6a16.png", ImageFormat::Png, true},   // colour type 6
      {"pngsuite/tbbn3p08.png", ImageFormat::Png, true},   // palette + tRNS
      {"pngsuite/tp0n3p08.png", ImageFormat::Png, false},  // palette, no tRNS
      {"formats/png_palette_trns.png", ImageFormat::Png, true},
      {"formats/gif_still.gif", ImageFormat::Gif, false},
      {"formats/gif_still_transparent.gif", ImageFormat::Gif, true},  // transparency index
      {"bad/gif_oob_frame.gif", ImageFormat::Gif, true},  // frame 0 leaves the screen uncovered
      {"formats/webp_lossy.webp", ImageFormat::WebP, false},
      {"formats/webp_lossless.webp", ImageFormat::WebP, false},
      {"formats/webp_lossy_alpha_small.webp", ImageFormat::WebP, true},
      {"formats/webp_anim.webp", ImageFormat::WebP, true},
      {"formats/heic_odd_451x461.heic", ImageFormat::Heif, false},
      {"formats/heic_alpha_512.heic", ImageFormat::Heif, true},
  };
  for (const auto& c : cases) {
    const auto info = probePath(dataPath(c.file));
    ASSERT_TRUE(info) << c.file;
    EXPECT_EQ(info->format, c.format) << c.file;
    EXPECT_EQ(info->hasAlpha, c.alpha) << c.file;
  }
}

TEST(ImageProbe, HeifStoredSizeUndoesTheExifQuarterTurn) {
  // libheif shows the iPhone grid upright (3024x4032); EXIF 6 says the stored picture lies
  // on its side, so the stored size is 4032x3024.
  const auto info = probePath(dataPath("formats/heic_iphone13_irot270_exif6.heic"));
  ASSERT_TRUE(info);
  EXPECT_EQ(info->pixelWidth, 4032u);
  EXPECT_EQ(info->pixelHeight, 3024u);
  EXPECT_EQ(info->orientation, 6);
  EXPECT_EQ(info->frameCount, 1u);
  // Without EXIF the orientation is absent rather than 1.
  const auto plain = probePath(dataPath("formats/avif_irot90_imir.avif"));
  ASSERT_TRUE(plain);
  EXPECT_FALSE(plain->orientation);
}

// --- EXIF directory ------------------------------------------------------------------------

std::vector<uint8_t> littleEndianTiff(uint16_t entries, uint16_t tag, uint16_t type, uint32_t count,
                                      uint32_t value) {
  std::vector<uint8_t> t = {'I', 'I', 42, 0, 8, 0, 0, 0, static_cast<uint8_t>(entries), 0};
  auto put16 = [&](uint16_t v) {
    t.push_back(static_cast<uint8_t>(v));
    t.push_back(static_cast<uint8_t>(v >> 8));
  };
  put16(tag);
  put16(type);
  put16(static_cast<uint16_t>(count));
  put16(static_cast<uint16_t>(count >> 16));
  put16(static_cast<uint16_t>(value));
  put16(static_cast<uint16_t>(value >> 16));
  return t;
}

TEST(ExifOrientation, ReadsIfd0EntryByType) {
  using platform::exifOrientation;
  using platform::tiffOrientation;
  EXPECT_EQ(tiffOrientation(littleEndianTiff(1, 0x0112, 3, 1, 6)), 6);
  // LONG is read too; the value is reported as stored.
  EXPECT_EQ(tiffOrientation(littleEndianTiff(1, 0x0112, 4, 1, 70000)), 70000);
  // No value, or a type that holds no integer.
  EXPECT_FALSE(tiffOrientation(littleEndianTiff(1, 0x0112, 3, 0, 6)));
  EXPECT_FALSE(tiffOrientation(littleEndianTiff(1, 0x0112, 5, 1, 6)));
  // Another tag only.
  EXPECT_FALSE(tiffOrientation(littleEndianTiff(1, 0x0110, 3, 1, 6)));
  // A directory that claims more entries than the block holds still yields those present.
  EXPECT_EQ(tiffOrientation(littleEndianTiff(200, 0x0112, 3, 1, 3)), 3);
  // A SHORT array stored elsewhere, at an offset past the end.
  EXPECT_FALSE(tiffOrientation(littleEndianTiff(1, 0x0112, 3, 3, 0x7FFFFFF0)));

  auto bad = littleEndianTiff(1, 0x0112, 3, 1, 6);
  bad[2] = 43;  // not TIFF
  EXPECT_FALSE(tiffOrientation(bad));
  EXPECT_FALSE(tiffOrientation(std::span(bad).first(7)));

  std::vector<uint8_t> block = {'E', 'x', 'i', 'f', 0, 0};
  const auto tiff = littleEndianTiff(1, 0x0112, 3, 1, 8);
  block.insert(block.end(), tiff.begin(), tiff.end());
  EXPECT_EQ(exifOrientation(block), 8);
  EXPECT_EQ(exifOrientation(tiff), 8);
}

// --- Robustness ------------------------------------------------------------------------------

const char* const kRobustnessFiles[] = {
    "camera/nikon_d300_progressive.jpg",
    "orientation/png_exif_chunk_orientation6.png",
    "formats/apng_delay.png",
    "formats/gif_anim_31frames.gif",
    "formats/webp_anim.webp",
    "formats/webp_lossy_alpha_small.webp",
    "formats/heic_odd_451x461.heic",
    "formats/avif_irot90_imir.avif",
};

TEST(ImageProbe, EveryPrefixOfAFileProbesCleanly) {
  ScratchDir dir;
  const std::string path = dir.file("cut");
  for (const char* name : kRobustnessFiles) {
    const std::vector<uint8_t> bytes = readBytes(dataPath(name));
    const auto whole = probePath(dataPath(name));
    ASSERT_TRUE(whole && whole->pixelWidth) << name;
    // Every length through the headers, then a coarser sweep through the rest; from the
    // longest down, so that each cut is a truncation of the file already written.
    std::vector<size_t> lengths;
    for (size_t length = 0; length < bytes.size(); length += length < 1024 ? 1 : 211) {
      lengths.push_back(length);
    }
    writeBytes(path, bytes);
    for (auto it = lengths.rbegin(); it != lengths.rend(); ++it) {
      const size_t length = *it;
      ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(length)), 0);
      const auto cut = probePath(path);
      if (!cut) continue;
      EXPECT_EQ(cut->format, whole->format) << name << " cut at " << length;
      EXPECT_LE(cut->frameCount, std::max<uint64_t>(whole->frameCount, 1))
          << name << " cut at " << length;
      if (cut->pixelWidth) {
        EXPECT_EQ(cut->pixelWidth, whole->pixelWidth) << name << " cut at " << length;
      }
    }
  }
}

TEST(ImageProbe, CorruptedHeadersProbeCleanly) {
  ScratchDir dir;
  const std::string path = dir.file("corrupt");
  uint32_t state = 12345;
  auto next = [&state] {
    state = state * 1664525u + 1013904223u;
    return state >> 8;
  };
  for (const char* name : kRobustnessFiles) {
    const std::vector<uint8_t> original = readBytes(dataPath(name));
    writeBytes(path, original);
    for (int round = 0; round < 150; ++round) {
      std::vector<uint8_t> bytes = original;
      // A few bytes changed within the first 2 KB, where the headers are.
      const size_t span = std::min<size_t>(bytes.size(), 2048);
      for (int k = 0, n = 1 + static_cast<int>(next() % 4); k < n; ++k) {
        const uint32_t r = next();
        const size_t at = 8 + r % (span - 8);  // the signature stays
        bytes[at] = static_cast<uint8_t>(r % 3 == 0 ? 0xFF : r % 3 == 1 ? 0x00 : next());
      }
      overwriteBytes(path, bytes);
      const auto info = probePath(path);
      // Counted frames take at least a byte of the file each (an APNG declares its count).
      if (info && info->format != ImageFormat::Png) {
        EXPECT_LE(info->frameCount, std::max<uint64_t>(bytes.size(), 1)) << name;
      }
    }
  }
}

}  // namespace
}  // namespace velmo::testing
