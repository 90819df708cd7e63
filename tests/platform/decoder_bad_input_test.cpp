// decodeThumbnail on damaged, truncated and hostile files: a clean "no image" (or, where the
// pixels are intact, the picture), in bounded memory.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/image_decoder.h"
#include "tests/platform/decoder_test_support.h"
#include "tests/support/test_support.h"

namespace velmo::testing {
namespace {

using platform::ImageFormat;

struct BadFile {
  const char* file;
  ImageFormat format;  // for files the probe does not recognise
  // 0 when no image may come out; else the picture is intact and has this width.
  uint32_t width;
};

// Each file of tests/data/bad with its outcome. Intact pixels despite the damage: invalid
// EXIF data, a truncated APP14 segment, a bad CRC on an ancillary chunk only... Everything
// else is truncated, corrupt, or declares a frame over the decode limits.
const BadFile kBadFiles[] = {
    {"bad/avif_bomb_17000x17000.avif", ImageFormat::Heif, 0},  // 289 Mpx > 2^28
    {"bad/gif_bomb_extents.gif", ImageFormat::Gif, 100},       // only frame 1 is placed badly
    {"bad/gif_bomb_frame_65535x1321.gif", ImageFormat::Gif, 0},
    {"bad/gif_oob_frame.gif", ImageFormat::Gif, 32},  // frame clipped to the screen
    {"bad/gif_truncated.gif", ImageFormat::Gif, 0},
    {"bad/gif_zero_width.gif", ImageFormat::Gif, 0},
    {"bad/heic_16bytes.heic", ImageFormat::Heif, 0},
    {"bad/heic_bomb_15273920x3024.heic", ImageFormat::Heif, 0},
    {"bad/heic_decode_error.heic", ImageFormat::Heif, 0},
    {"bad/heic_truncated.heic", ImageFormat::Heif, 0},
    // Its scan data runs 1214 bytes past a restart interval: the blocks before were misread
    // (the picture is visibly scrambled), which the strict policy refuses.
    {"bad/jpeg_bad_exif.jpg", ImageFormat::Jpeg, 0},
    {"bad/jpeg_bomb_64250x64250.jpg", ImageFormat::Jpeg, 0},
    {"bad/jpeg_invalid_exif.jpg", ImageFormat::Jpeg, 200},
    {"bad/jpeg_ossfuzz_36829.jpeg", ImageFormat::Jpeg, 0},
    {"bad/jpeg_truncated_app14.jpg", ImageFormat::Jpeg, 100},
    {"bad/jpeg_truncated_pixel6_ultrahdr.jpg", ImageFormat::Jpeg, 0},
    {"bad/jpeg_truncated_progressive.jpg", ImageFormat::Jpeg, 0},
    {"bad/png_bomb_8961x26369_badcrc.png", ImageFormat::Png, 0},
    {"bad/png_broken_80bytes.png", ImageFormat::Png, 0},
    {"bad/png_broken_data_stream.png", ImageFormat::Png, 0},
    {"bad/png_libpng_badadler.png", ImageFormat::Png, 0},
    {"bad/png_libpng_badcrc.png", ImageFormat::Png, 0},  // the IDAT's CRC
    {"bad/png_libpng_huge_IDAT.png", ImageFormat::Png, 0},
    {"bad/png_libpng_huge_eXIf.png", ImageFormat::Png, 0},
    {"bad/png_libpng_huge_iCCP.png", ImageFormat::Png, 0},
    {"bad/png_truncated.png", ImageFormat::Png, 0},
    {"bad/png_truncated_end_chunk.png", ImageFormat::Png, 128},  // cut after the image data
    {"bad/png_ztxt_bomb.png", ImageFormat::Png, 1},              // text is not decoded
    {"pngsuite/xcsn0g01.png", ImageFormat::Png, 0},              // IDAT CRC
    {"pngsuite/xhdn0g08.png", ImageFormat::Png, 0},
    {"pngsuite/xdtn0g01.png", ImageFormat::Png, 0},
    {"bad/text_named.jpg", ImageFormat::Jpeg, 0},
    {"bad/webp_fuzz_12336x12336.webp", ImageFormat::WebP, 0},
    {"bad/webp_vp8l_panic.webp", ImageFormat::WebP, 100},
    {"bad/zero_bytes.jpg", ImageFormat::Jpeg, 0},
    // Not formats of this system, forced through each decoder all the same.
    {"bad/tiff_oom.tif", ImageFormat::Jpeg, 0},
    {"bad/bmp_reallybig.bmp", ImageFormat::Png, 0},
    {"bad/bmp_shortfile.bmp", ImageFormat::Heif, 0},
};

// Decodes the file as the probe sees it, or, when the probe refuses it, as the format
// named in the table: every decoder must cope with any bytes.
std::optional<Bitmap> decodeBad(const BadFile& bad) {
  const std::string path = dataPath(bad.file);
  auto file = platform::InputFile::open(path);
  if (!file) {
    ADD_FAILURE() << "cannot open " << path;
    return std::nullopt;
  }
  auto info = platform::probeImage(*file);
  return platform::decodeThumbnail(*file, info ? *info : infoFor(bad.format), 300);
}

TEST(BadInput, EachFileYieldsNothingOrItsIntactPicture) {
  for (const BadFile& bad : kBadFiles) {
    auto decoded = decodeBad(bad);
    if (bad.width == 0) {
      EXPECT_FALSE(decoded) << bad.file;
    } else {
      ASSERT_TRUE(decoded) << bad.file;
      EXPECT_EQ(decoded->width(), bad.width) << bad.file;
    }
  }
}

TEST(BadInput, EveryDecoderRefusesEveryOtherFormat) {
  const char* files[] = {"camera/grayscale.jpg", "pngsuite/basn2c16.png", "formats/gif_still.gif",
                         "formats/webp_lossy.webp", "formats/heif_hopper_128.heif"};
  const ImageFormat formats[] = {ImageFormat::Jpeg, ImageFormat::Png, ImageFormat::Gif,
                                 ImageFormat::WebP, ImageFormat::Heif};
  for (int f = 0; f < 5; ++f) {
    for (int d = 0; d < 5; ++d) {
      auto decoded = decodeAs(dataPath(files[f]), infoFor(formats[d]), 64);
      EXPECT_EQ(decoded.has_value(), f == d) << files[f] << " as format " << d;
    }
  }
}

// Files cut short anywhere in their image data yield nothing, never a partly grey picture.
TEST(BadInput, TruncatedFilesYieldNothing) {
  ScratchDir dir;
  const char* files[] = {"camera/nikon_d300_progressive.jpg",
                         "orientation/Portrait_1.jpg",
                         "formats/jpeg_arithmetic.jpg",
                         "pngsuite/basn6a16.png",
                         "formats/png_rgba_interlaced.png",
                         "formats/gif_still.gif",
                         "formats/webp_lossy.webp",
                         "formats/webp_lossless.webp",
                         "formats/webp_anim.webp",
                         "formats/heif_hopper_128.heif",
                         "formats/avif_irot90_imir.avif"};
  for (const char* name : files) {
    auto whole = decodeData(name, 64);
    ASSERT_TRUE(whole) << name;
    const std::vector<uint8_t> bytes = readBytes(dataPath(name));
    for (double keep : {0.3, 0.6, 0.9, 0.97}) {
      const std::vector<uint8_t> cut(bytes.begin(), bytes.begin() + size_t(bytes.size() * keep));
      const std::string path = dir.file("cut");
      writeBytes(path, cut);
      auto file = platform::InputFile::open(path);
      ASSERT_TRUE(file);
      // The probe may or may not still recognise a cut file; the decoder is what counts.
      auto info = platform::probeImage(*file);
      ImageInfo asWhole = info ? *info : ImageInfo{};
      if (!info) {
        auto original = platform::InputFile::open(dataPath(name));
        asWhole = *platform::probeImage(*original);
      }
      EXPECT_FALSE(platform::decodeThumbnail(*file, asWhole, 64)) << name << " cut to " << keep;
    }
  }
}

// A progressive JPEG may legally have a couple of thousand scans, each a pass over the whole
// picture: a cheap file that costs minutes. Beyond 1000 scans the decoder gives up; an
// ordinary progression decodes.
TEST(BadInput, JpegWithThousandsOfScansIsRefused) {
  ScratchDir dir;
  const Bitmap picture = makeBitmap(
      64, 48, false, [](uint32_t x, uint32_t y) { return opaque(x * 4, y * 5, (x + y) * 2); });
  const std::string many = dir.file("many.jpg");
  writeBytes(many, makeJpeg(picture, 90, {}, 2000));
  const std::string few = dir.file("few.jpg");
  writeBytes(few, makeJpeg(picture, 90, {}, 50));
  EXPECT_FALSE(decodeAs(many, infoFor(ImageFormat::Jpeg), 64));
  auto decoded = decodeAs(few, infoFor(ImageFormat::Jpeg), 64);
  ASSERT_TRUE(decoded);
  EXPECT_GT(psnr(*decoded, picture), 30.0);
}

uint32_t crc32(const uint8_t* data, size_t size) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < size; ++i) {
    crc ^= data[i];
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
  }
  return ~crc;
}

// A PNG signature and a valid IHDR of the given size, then nothing: a decoder that
// allocated for the frame before checking it would do so here.
std::vector<uint8_t> pngHeader(uint32_t width, uint32_t height) {
  std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0, 0, 0, 13};
  const size_t typeAt = png.size();
  png.insert(png.end(), {'I', 'H', 'D', 'R'});
  for (uint32_t v : {width, height}) {
    png.insert(png.end(), {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)});
  }
  png.insert(png.end(), {8, 2, 0, 0, 0});
  const uint32_t crc = crc32(png.data() + typeAt, png.size() - typeAt);
  png.insert(png.end(), {uint8_t(crc >> 24), uint8_t(crc >> 16), uint8_t(crc >> 8), uint8_t(crc)});
  return png;
}

TEST(BadInput, FramesOverTheLimitsAreRefusedBeforeDecoding) {
  ScratchDir dir;
  // 20000 x 20000 is 400 Mpx, over 2^28; 1,000,001 is a side over a million.
  for (auto [width, height] : {std::pair{20000u, 20000u}, std::pair{1000001u, 1u}}) {
    const std::string path = dir.file("header.png");
    writeBytes(path, pngHeader(width, height));
    EXPECT_FALSE(decodeAs(path, infoFor(ImageFormat::Png), 100)) << width << "x" << height;
  }
  // A GIF whose screen is 65535 x 65535 (4.3 Gpx).
  GifSpec spec;
  spec.screenWidth = spec.screenHeight = 65535;
  spec.frameWidth = spec.frameHeight = 1;
  spec.indices = {0};
  spec.palette = {1, 2, 3};
  const std::string path = dir.file("screen.gif");
  writeBytes(path, makeGif(spec));
  EXPECT_FALSE(decodeAs(path, infoFor(ImageFormat::Gif), 100));
}

// The decompression bombs, decoded in a child process whose address space is capped at
// 1 GiB: each must come back with "no image" instead of running out of memory.
TEST(BadInput, BombsStayWithinAGibibyte) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer reserves more address space than the cap";
#else
  const char* bombs[] = {"bad/jpeg_bomb_64250x64250.jpg",
                         "bad/avif_bomb_17000x17000.avif",
                         "bad/png_bomb_8961x26369_badcrc.png",
                         "bad/gif_bomb_frame_65535x1321.gif",
                         "bad/heic_bomb_15273920x3024.heic",
                         "bad/webp_fuzz_12336x12336.webp",
                         "bad/png_ztxt_bomb.png",
                         "bad/png_libpng_huge_iCCP.png"};
  std::vector<std::string> paths;
  for (const char* bomb : bombs) paths.push_back(dataPath(bomb));
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const rlimit cap{1u << 30, 1u << 30};
    if (setrlimit(RLIMIT_AS, &cap) != 0) _exit(2);
    for (const std::string& path : paths) {
      auto file = platform::InputFile::open(path);
      if (!file) _exit(3);
      auto info = platform::probeImage(*file);
      ImageInfo fallback = infoFor(ImageFormat::Heif);
      auto decoded = platform::decodeThumbnail(*file, info ? *info : fallback, 4096);
      // The zTXt file's pixels are fine; all the others must be refused.
      if (decoded && path.find("ztxt") == std::string::npos) _exit(4);
    }
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "the child died of signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
#endif
}

}  // namespace
}  // namespace velmo::testing
