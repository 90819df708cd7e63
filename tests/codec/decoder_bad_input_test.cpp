// decodeThumbnail on damaged, truncated and hostile files: a clean "no image" (or, where the
// pixels are intact, the picture), in bounded memory.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <string>
#include <vector>

#include "tests/support/decoder_fixtures.h"
#include "tests/support/test_support.h"

namespace velmo::testing {
namespace {

using codec::ImageFormat;

struct BadFile {
  const char* file;
  ImageFormat format;  // decoded as this when the probe does not recognise the file
  uint32_t width;      // 0 when no image may come out; else the intact picture's width
};

// Intact pixels despite the damage: invalid EXIF data, a truncated APP14 segment, a bad CRC
// on an ancillary chunk only... Everything else is truncated, corrupt, or declares a frame
// over the decode limits.
const BadFile kBadFiles[] = {
    {"bad/avif_bomb_17000x17000.avif", ImageFormat::Heif, 0},  // 289 Mpx > 2^28
    {"bad/gif_bomb_extents.gif", ImageFormat::Gif, 100},       // only frame 1 is placed badly
    {"bad/gif_bomb_frame_65535x1321.gif", ImageFormat::Gif, 0},
    {"bad/gif_oob_frame.gif", ImageFormat::Gif, 40},  // the canvas takes in the whole frame
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
    {"formats/jpeg_12bit.jpg", ImageFormat::Jpeg, 0},  // a precision this system does not read
    {"bad/png_bomb_8961x26369_badcrc.png", ImageFormat::Png, 0},
    {"bad/png_broken_80bytes.png", ImageFormat::Png, 0},
    {"bad/png_broken_data_stream.png", ImageFormat::Png, 0},
    {"bad/png_libpng_badadler.png", ImageFormat::Png, 0},
    {"bad/png_libpng_badcrc.png", ImageFormat::Png, 0},  // the IDAT's CRC
    {"bad/png_libpng_huge_IDAT.png", ImageFormat::Png, 0},
    {"bad/png_libpng_huge_eXIf.png", ImageFormat::Png, 0},
    {"bad/png_libpng_huge_iCCP.png", ImageFormat::Png, 0},
    {"bad/png_truncated.png", ImageFormat::Png, 0},
    // Cut inside a second IDAT chunk, after the DEFLATE stream ended: whole pixels, but the
    // file is truncated all the same.
    {"bad/png_truncated_end_chunk.png", ImageFormat::Png, 0},
    {"bad/png_ztxt_bomb.png", ImageFormat::Png, 1},  // text is not decoded
    {"pngsuite/xcsn0g01.png", ImageFormat::Png, 0},  // IDAT CRC
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

// Each file is decoded in a child process whose address space is capped at 1 GiB, so that a
// decoder allocating for a bomb's declared size fails the test instead of the machine.
TEST(BadInput, EachFileYieldsNothingOrItsIntactPictureInBoundedMemory) {
  const int status = runInChild([] {
#if !defined(__SANITIZE_ADDRESS__)  // AddressSanitizer reserves more address space than that
    const rlimit cap{1u << 30, 1u << 30};
    if (setrlimit(RLIMIT_AS, &cap) != 0) return 2;
#endif
    for (const BadFile& bad : kBadFiles) {
      const std::string path = dataPath(bad.file);
      const auto decoded = decodePath(path, 4096, probePath(path).value_or(infoFor(bad.format)));
      EXPECT_EQ(decoded ? decoded->width() : 0, bad.width) << bad.file;
    }
    return ::testing::Test::HasFailure() ? 1 : 0;
  });
  EXPECT_EQ(status, 0) << "1: a wrong answer, printed by the child; 2: setrlimit failed; over "
                          "128: killed by a signal";
}

// Files cut short anywhere in their image data yield nothing, never a partly grey picture.
TEST(BadInput, TruncatedFilesYieldNothing) {
  ScratchDir dir;
  for (const char* name :
       {"camera/nikon_d300_progressive.jpg", "formats/png_rgba_interlaced.png",
        "formats/gif_still.gif", "formats/webp_lossy.webp", "formats/heif_hopper_128.heif"}) {
    const auto info = probePath(dataPath(name));
    ASSERT_TRUE(info && decodePath(dataPath(name), 64, info)) << name;
    const std::vector<uint8_t> bytes = readBytes(dataPath(name));
    for (double keep : {0.3, 0.9, 0.97}) {
      writeBytes(dir.file("cut"), {bytes.begin(), bytes.begin() + long(bytes.size() * keep)});
      EXPECT_FALSE(decodePath(dir.file("cut"), 64, info)) << name << " cut to " << keep;
    }
  }
}

// A progressive JPEG may legally have a couple of thousand scans, each a pass over the whole
// picture: a cheap file that costs minutes. Beyond 1000 scans the decoder gives up.
TEST(BadInput, JpegWithOverAThousandScansIsRefused) {
  ScratchDir dir;
  // One DC scan and 3 x 63 AC scans each sent in 5 or 6 passes: 946 or 1135 scans.
  writeBytes(dir.file("946.jpg"), flatJpeg({.pixel = {20, 90, 200}, .refinements = 4}));
  writeBytes(dir.file("1135.jpg"), flatJpeg({.pixel = {20, 90, 200}, .refinements = 5}));
  EXPECT_TRUE(decodePath(dir.file("946.jpg"), 64));
  EXPECT_FALSE(decodePath(dir.file("1135.jpg"), 64));
}

}  // namespace
}  // namespace velmo::testing
