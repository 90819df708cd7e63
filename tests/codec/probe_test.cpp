// The header probe against cut and corrupted files: it may find nothing, but it must not
// crash, read past the data, or report more than the intact file holds.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "codec/image_probe.h"
#include "tests/support/decoder_fixtures.h"
#include "tests/support/test_support.h"

namespace velmo::testing {
namespace {

std::optional<platform::ImageInfo> probePath(const std::string& path) {
  auto file = platform::InputFile::open(path);
  if (!file) return std::nullopt;
  return platform::probeImage(*file);
}

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
      // Counted frames take at least a byte each (only an APNG declares its count).
      if (info && info->format != platform::ImageFormat::Png) {
        EXPECT_LE(info->frameCount, bytes.size()) << "round " << round;
      }
    }
  }
}

}  // namespace
}  // namespace velmo::testing
