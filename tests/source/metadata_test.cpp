// "metadata" through the channel: displayed size, frame count and orientation of every format
// the plug-in reads, and the two failures ("cannot read" and "invalid size") for everything
// else, including damaged files, which must fail cleanly.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/image_files.h"
#include "tests/support/test_support.h"

namespace velmo::testing {
namespace {

using host::EncodableList;
using host::EncodableMap;
using host::EncodableValue;

constexpr const char* kUnreadable = "無法讀取圖片，請重新選擇";
constexpr const char* kInvalidSize = "圖片尺寸無效";

struct Expected {
  int64_t width;
  int64_t height;
  int64_t frames;
  int64_t orientation;
};

std::vector<uint8_t> readBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

void putBe32(std::vector<uint8_t>& bytes, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<uint8_t>(value >> (24 - 8 * i));
}

uint32_t crc32(const uint8_t* data, size_t size) {
  uint32_t c = 0xFFFFFFFFu;
  for (size_t i = 0; i < size; ++i) {
    c ^= data[i];
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
  }
  return ~c;
}

// A TIFF block (the body of an EXIF segment) with the given IFD0 entries and, optionally, an
// IFD1 (the thumbnail's directory). Values fit in the entry: SHORT in its first two bytes.
struct TiffEntry {
  uint16_t tag;
  uint16_t type;
  uint32_t count;
  uint32_t value;
};

std::vector<uint8_t> makeTiff(bool bigEndian, const std::vector<TiffEntry>& ifd0,
                              const std::vector<TiffEntry>& ifd1 = {}) {
  std::vector<uint8_t> out;
  auto u16 = [&](uint16_t v) {
    if (bigEndian) {
      out.push_back(static_cast<uint8_t>(v >> 8));
      out.push_back(static_cast<uint8_t>(v));
    } else {
      out.push_back(static_cast<uint8_t>(v));
      out.push_back(static_cast<uint8_t>(v >> 8));
    }
  };
  auto u32 = [&](uint32_t v) {
    if (bigEndian) {
      u16(static_cast<uint16_t>(v >> 16));
      u16(static_cast<uint16_t>(v));
    } else {
      u16(static_cast<uint16_t>(v));
      u16(static_cast<uint16_t>(v >> 16));
    }
  };
  auto directory = [&](const std::vector<TiffEntry>& entries, uint32_t next) {
    u16(static_cast<uint16_t>(entries.size()));
    for (const auto& e : entries) {
      u16(e.tag);
      u16(e.type);
      u32(e.count);
      if (e.type == 3) {
        u16(static_cast<uint16_t>(e.value));
        u16(0);
      } else {
        u32(e.value);
      }
    }
    u32(next);
  };
  out.push_back(bigEndian ? 'M' : 'I');
  out.push_back(bigEndian ? 'M' : 'I');
  u16(42);
  u32(8);
  const uint32_t ifd1At = ifd1.empty() ? 0 : static_cast<uint32_t>(8 + 2 + 12 * ifd0.size() + 4);
  directory(ifd0, ifd1At);
  if (!ifd1.empty()) directory(ifd1, 0);
  return out;
}

TiffEntry orientationEntry(uint32_t value) {
  return {0x0112, 3, 1, value};
}

// A 4x2 JPEG whose APP1 segments (inserted right after SOI) carry the given TIFF blocks.
std::string jpegWithExif(const ScratchDir& dir, const std::string& name,
                         const std::vector<std::vector<uint8_t>>& tiffBlocks) {
  const std::string path = dir.file(name);
  writeJpegFile(path,
                RgbaImage::generate(4, 2, [](uint32_t x, uint32_t) { return 0xFF000000u | x; }));
  std::vector<uint8_t> jpeg = readBytes(path);
  std::vector<uint8_t> segments;
  for (const auto& tiff : tiffBlocks) {
    const size_t length = 2 + 6 + tiff.size();
    segments.insert(segments.end(), {0xFF, 0xE1, static_cast<uint8_t>(length >> 8),
                                     static_cast<uint8_t>(length), 'E', 'x', 'i', 'f', 0, 0});
    segments.insert(segments.end(), tiff.begin(), tiff.end());
  }
  jpeg.insert(jpeg.begin() + 2, segments.begin(), segments.end());
  writeBytes(path, jpeg);
  return path;
}

// A GIF of |frames| 1x1 frames, each a minimal LZW stream (clear, index 0, end).
std::vector<uint8_t> manyFrameGif(size_t frames) {
  std::vector<uint8_t> gif = {'G',  'I', 'F', '8', '9', 'a', 1,   0,   1,  0,
                              0x80, 0,   0,   0,   0,   0,   255, 255, 255};
  const uint8_t frame[] = {0x2C, 0, 0, 0, 0, 1, 0, 1, 0, 0, 2, 2, 0x44, 0x01, 0};
  for (size_t i = 0; i < frames; ++i) gif.insert(gif.end(), std::begin(frame), std::end(frame));
  gif.push_back(0x3B);
  return gif;
}

class MetadataTest : public ::testing::Test {
 protected:
  Reply metadata(const EncodableValue& arguments) { return harness_.call("metadata", arguments); }
  Reply metadataOf(const std::string& path) { return metadata(map({{"path", path}})); }

  static void expectResult(const Reply& reply, const Expected& e, const std::string& what) {
    ASSERT_TRUE(reply.ok()) << what << ": " << reply.errorMessage();
    const EncodableMap& result = reply.map();
    EXPECT_EQ(result.size(), 4u) << what;
    EXPECT_EQ(intEntry(result, "width"), e.width) << what;
    EXPECT_EQ(intEntry(result, "height"), e.height) << what;
    EXPECT_EQ(intEntry(result, "frames"), e.frames) << what;
    EXPECT_EQ(intEntry(result, "orientation"), e.orientation) << what;
  }

  static void expectFailure(const Reply& reply, const std::string& message,
                            const std::string& what) {
    ASSERT_EQ(reply.kind, Reply::Kind::Error) << what;
    EXPECT_EQ(reply.error.code, "PHOTO_PROCESSING") << what;
    EXPECT_EQ(reply.errorMessage(), message) << what;
  }

  PluginHarness harness_;
  ScratchDir dir_;
};

// --- Orientation ------------------------------------------------------------------------

TEST_F(MetadataTest, JpegOrientationExchangesSidesOnlyForQuarterTurns) {
  struct Case {
    const char* file;
    Expected expected;
  };
  const Case cases[] = {
      // Stored 1800x1200 with the invalid value 0: reported as stored, sides kept.
      {"orientation/Landscape_0.jpg", {1800, 1200, 1, 0}},
      {"orientation/Portrait_3.jpg", {1200, 1800, 1, 3}},
      // Stored 1800x1200, shown upright as 1200x1800.
      {"orientation/Portrait_5.jpg", {1200, 1800, 1, 5}},
      {"orientation/Portrait_6.jpg", {1200, 1800, 1, 6}},
      {"orientation/jpeg_2x1_orientation8.jpg", {1, 2, 1, 8}},
      // A camera file: 2048x1536 stored, orientation 6.
      {"camera/canon_sx60hs_orientation6.jpg", {1536, 2048, 1, 6}},
      // Progressive (SOF2) frame header.
      {"camera/nikon_d300_progressive.jpg", {200, 133, 1, 1}},
  };
  for (const auto& c : cases) expectResult(metadataOf(dataPath(c.file)), c.expected, c.file);
}

TEST_F(MetadataTest, EveryStoredOrientationValueIsReportedRaw) {
  for (bool bigEndian : {false, true}) {
    for (uint32_t value : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 9u, 65535u}) {
      const std::string name = std::to_string(value) + (bigEndian ? "-mm" : "-ii") + ".jpg";
      const auto path = jpegWithExif(dir_, name, {makeTiff(bigEndian, {orientationEntry(value)})});
      const bool quarterTurn = value >= 5 && value <= 8;
      expectResult(metadataOf(path),
                   {quarterTurn ? 2 : 4, quarterTurn ? 4 : 2, 1, static_cast<int64_t>(value)},
                   name);
    }
  }
}

TEST_F(MetadataTest, OnlyTheMainImageDirectoryOfTheFirstExifSegmentCounts) {
  // The thumbnail's directory (IFD1) says 6; the image has no orientation of its own.
  const auto thumbnailOnly = jpegWithExif(
      dir_, "ifd1.jpg", {makeTiff(false, {{0x0100, 3, 1, 160}}, {orientationEntry(6)})});
  expectResult(metadataOf(thumbnailOnly), {4, 2, 1, 1}, "IFD1 only");

  const auto both = jpegWithExif(dir_, "both.jpg",
                                 {makeTiff(true, {orientationEntry(3)}, {orientationEntry(6)})});
  expectResult(metadataOf(both), {4, 2, 1, 3}, "IFD0 and IFD1");

  // A second EXIF segment does not override the first.
  const auto twice = jpegWithExif(
      dir_, "twice.jpg",
      {makeTiff(false, {orientationEntry(2)}), makeTiff(false, {orientationEntry(6)})});
  expectResult(metadataOf(twice), {4, 2, 1, 2}, "two segments");

  // An IFD0 offset pointing outside the block gives no orientation, and no failure.
  std::vector<uint8_t> broken = makeTiff(false, {orientationEntry(6)});
  broken[4] = 0xF0;
  const auto outside = jpegWithExif(dir_, "outside.jpg", {broken});
  expectResult(metadataOf(outside), {4, 2, 1, 1}, "IFD0 outside the block");
}

TEST_F(MetadataTest, JpegMarkerWalkToleratesFillAndStrayBytes) {
  const std::string path = dir_.file("fill.jpg");
  writeJpegFile(path, RgbaImage::generate(6, 3, [](uint32_t, uint32_t) { return 0xFF808080u; }));
  std::vector<uint8_t> jpeg = readBytes(path);
  // Fill bytes before the first marker after SOI, and a stray byte plus a stuffed zero
  // before the next one, as some encoders and damaged files have.
  const size_t firstSegmentEnd = 4 + ((jpeg[4] << 8) | jpeg[5]);
  jpeg.insert(jpeg.begin() + static_cast<ptrdiff_t>(firstSegmentEnd), {0x0A, 0xFF, 0x00});
  jpeg.insert(jpeg.begin() + 2, {0xFF, 0xFF, 0xFF});
  writeBytes(path, jpeg);
  expectResult(metadataOf(path), {6, 3, 1, 1}, "fill bytes");

  // Cut before the frame header: recognised as JPEG, but with no size.
  const uint8_t frameHeader[] = {0xFF, 0xC0};
  const auto sof =
      std::search(jpeg.begin(), jpeg.end(), std::begin(frameHeader), std::end(frameHeader));
  ASSERT_NE(sof, jpeg.end());
  writeBytes(path, std::vector<uint8_t>(jpeg.begin(), sof));
  expectFailure(metadataOf(path), kInvalidSize, "no frame header");
}

TEST_F(MetadataTest, PngOrientationComesFromTheExifChunkOnly) {
  // eXIf before the image data, and after it.
  expectResult(metadataOf(dataPath("orientation/png_exif_chunk_orientation6.png")),
               {400, 400, 1, 6}, "eXIf before IDAT");
  expectResult(metadataOf(dataPath("orientation/png_exif_chunk_orientation5_pngtest.png")),
               {69, 91, 1, 5}, "eXIf after IDAT");
  // Orientation 3 written only as XMP, or as ImageMagick's hex text profile: not EXIF.
  expectResult(metadataOf(dataPath("orientation/png_xmp_only_orientation3.png")), {326, 268, 1, 1},
               "XMP only");
  expectResult(metadataOf(dataPath("orientation/png_imagemagick_rawexif_orientation3.png")),
               {512, 512, 1, 1}, "raw profile text");
}

TEST_F(MetadataTest, WebpOrientationComesFromTheExifChunk) {
  expectResult(metadataOf(dataPath("orientation/hopper_orientation_1.webp")), {128, 128, 1, 1},
               "no EXIF");
  expectResult(metadataOf(dataPath("orientation/hopper_orientation_3.webp")), {128, 128, 1, 3},
               "EXIF 3");
  expectResult(metadataOf(dataPath("orientation/hopper_orientation_6.webp")), {128, 128, 1, 6},
               "EXIF 6");
}

// --- Formats -------------------------------------------------------------------------------

TEST_F(MetadataTest, FramesSizesAndOrientationPerFormat) {
  struct Case {
    const char* file;
    Expected expected;
  };
  const Case cases[] = {
      {"formats/apng_delay.png", {128, 64, 4, 1}},
      {"formats/png_palette_trns.png", {64, 64, 1, 1}},
      {"formats/gif_anim_31frames.gif", {320, 240, 31, 1}},
      {"formats/gif_still.gif", {128, 128, 1, 1}},
      {"formats/webp_anim.webp", {200, 200, 6, 1}},
      {"formats/webp_lossless.webp", {300, 300, 1, 1}},
      {"formats/webp_lossy.webp", {100, 100, 1, 1}},
      {"formats/webp_lossy_alpha_small.webp", {100, 100, 1, 1}},
      // Stored 4032x3024 (the grid turned by irot 270), EXIF 6: shown as 3024x4032 once.
      {"formats/heic_iphone13_irot270_exif6.heic", {3024, 4032, 1, 6}},
      {"formats/heic_two_images.heic", {1280, 854, 2, 1}},
      // irot 90 and imir applied to a 427x640 grid.
      {"formats/avif_irot90_imir.avif", {640, 427, 1, 1}},
      // 452x462 coded, cropped by clap; the orientation is only in XMP.
      {"formats/heic_odd_451x461.heic", {451, 461, 1, 1}},
      {"formats/heic_alpha_512.heic", {512, 512, 1, 1}},
      {"pngsuite/basn0g01.png", {32, 32, 1, 1}},
      {"pngsuite/basi3p08.png", {32, 32, 1, 1}},
      {"pngsuite/cdfn2c08.png", {8, 32, 1, 1}},
      {"pngsuite/exif2c08.png", {32, 32, 1, 1}},
      {"pngsuite/s01n3p01.png", {1, 1, 1, 1}},
  };
  for (const auto& c : cases) expectResult(metadataOf(dataPath(c.file)), c.expected, c.file);
}

TEST_F(MetadataTest, ManyFramesAreCountedWithoutDecoding) {
  const std::string path = dir_.file("frames.gif");
  writeBytes(path, manyFrameGif(40000));
  expectResult(metadataOf(path), {1, 1, 40000, 1}, "40000 frames");

  // Cut inside the fourth frame's data: the frames seen so far.
  std::vector<uint8_t> gif = manyFrameGif(10);
  gif.resize(19 + 3 * 15 + 12);
  writeBytes(path, gif);
  expectResult(metadataOf(path), {1, 1, 4, 1}, "cut short");

  // Cut before any frame: nothing to describe.
  gif.resize(19);
  writeBytes(path, gif);
  expectFailure(metadataOf(path), kInvalidSize, "no frame");
}

TEST_F(MetadataTest, RecordedSizesBeyondTheDecodeLimitsAreReported) {
  // Reading headers costs nothing, so sizes no decoder would accept are still described.
  expectResult(metadataOf(dataPath("bad/jpeg_bomb_64250x64250.jpg")), {64250, 64250, 1, 1}, "JPEG");
  expectResult(metadataOf(dataPath("bad/avif_bomb_17000x17000.avif")), {17000, 17000, 1, 1},
               "AVIF");
  // The same AVIF patched to 40000x40000, beyond libheif's default limit.
  std::vector<uint8_t> avif = readBytes(dataPath("bad/avif_bomb_17000x17000.avif"));
  ASSERT_EQ(avif.size(), 1340u);
  ASSERT_EQ(std::string(avif.begin() + 0xB8, avif.begin() + 0xBC), "ispe");
  putBe32(avif, 0xC0, 40000);
  putBe32(avif, 0xC4, 40000);
  const std::string path = dir_.file("big.avif");
  writeBytes(path, avif);
  expectResult(metadataOf(path), {40000, 40000, 1, 1}, "AVIF 40000");
}

// --- Invalid sizes ---------------------------------------------------------------------------

TEST_F(MetadataTest, PngWithZeroSideIsAnInvalidSize) {
  const std::string path = dir_.file("zero.png");
  writePngFile(path, RgbaImage::generate(3, 2, [](uint32_t, uint32_t) { return 0xFF102030u; }),
               false);
  const std::vector<uint8_t> original = readBytes(path);
  expectResult(metadataOf(path), {3, 2, 1, 1}, "unpatched");

  for (size_t field : {16u, 20u}) {  // IHDR width, height
    std::vector<uint8_t> png = original;
    putBe32(png, field, 0);
    putBe32(png, 29, crc32(png.data() + 12, 17));
    writeBytes(path, png);
    expectFailure(metadataOf(path), kInvalidSize, "zero side, CRC right");
  }
  // A size field changed without its CRC: the header is not trusted at all.
  std::vector<uint8_t> png = original;
  putBe32(png, 16, 5);
  writeBytes(path, png);
  expectFailure(metadataOf(path), kInvalidSize, "CRC wrong");
}

TEST_F(MetadataTest, HeifIsRecognisedByItsBrandsAndNeedsReadableBoxes) {
  const std::vector<uint8_t> heic = readBytes(dataPath("formats/heic_odd_451x461.heic"));
  ASSERT_EQ(std::string(heic.begin() + 4, heic.begin() + 24),
            std::string("ftypheic\0\0\0\0mif1heic", 20));
  const std::string path = dir_.file("patched.heic");

  // A HEIF brand among the compatible ones is enough.
  std::vector<uint8_t> bytes = heic;
  std::copy_n("isom", 4, bytes.begin() + 8);
  writeBytes(path, bytes);
  expectResult(metadataOf(path), {451, 461, 1, 1}, "compatible brand");

  // No HEIF brand at all: an ISO media file of another kind, not an image.
  std::copy_n("isomiso2", 8, bytes.begin() + 16);
  writeBytes(path, bytes);
  expectFailure(metadataOf(path), kUnreadable, "no HEIF brand");

  // A HEIF file type whose boxes are cut off: recognised, but without a size.
  writeBytes(path, std::vector<uint8_t>(heic.begin(), heic.begin() + 1000));
  expectFailure(metadataOf(path), kInvalidSize, "cut after 1000 bytes");
  // Cut inside the file type box itself: nothing identifies it.
  writeBytes(path, std::vector<uint8_t>(heic.begin(), heic.begin() + 12));
  expectFailure(metadataOf(path), kUnreadable, "cut inside ftyp");
}

// --- Not an image ----------------------------------------------------------------------------

TEST_F(MetadataTest, ContentThatIsNoImageCannotBeRead) {
  for (const char* file : {"formats/bmp_rgb24.bmp", "formats/tiff_g4_orientation6.tif",
                           "bad/text_named.jpg", "bad/zero_bytes.jpg"}) {
    expectFailure(metadataOf(dataPath(file)), kUnreadable, file);
  }
  // The name says PNG, the content says GIF: content wins.
  const std::string misnamed = dir_.file("picture.png");
  writeBytes(misnamed, readBytes(dataPath("formats/gif_still.gif")));
  expectResult(metadataOf(misnamed), {128, 128, 1, 1}, "misnamed");
}

TEST_F(MetadataTest, PathsThatNameNoRegularFileCannotBeRead) {
  const std::string image = dataPath("formats/gif_still.gif");
  expectFailure(metadataOf(dataPath("formats")), kUnreadable, "directory");
  expectFailure(metadataOf(dataPath("formats/missing.png")), kUnreadable, "missing");
  // The part before the NUL names a real image; the whole path does not.
  expectFailure(metadataOf(image + std::string("\0.png", 5)), kUnreadable, "NUL");
  // A URL is taken as a plain (relative) file name.
  expectFailure(metadataOf("file://" + image), kUnreadable, "file URL");

  const std::string fifo = dir_.file("pipe");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const Reply reply = harness_.call("metadata", map({{"path", fifo}}), std::chrono::seconds(20));
  expectFailure(reply, kUnreadable, "FIFO without a writer");
}

TEST_F(MetadataTest, PathMustBeAString) {
  expectFailure(metadata(EncodableMap{}), kUnreadable, "empty map");
  expectFailure(metadata(map({{"file", dataPath("formats/gif_still.gif")}})), kUnreadable,
                "no path");
  expectFailure(metadata(map({{"path", 12}})), kUnreadable, "number");
  expectFailure(metadata(map({{"path", 1.5}})), kUnreadable, "double");
  expectFailure(metadata(map({{"path", EncodableList{EncodableValue("a.png")}}})), kUnreadable,
                "list");
  expectFailure(metadata(map({{"path", EncodableValue()}})), kUnreadable, "null");
}

// --- Damaged files ----------------------------------------------------------------------------

TEST_F(MetadataTest, DamagedFilesFailCleanlyOrReportTheirHeaders) {
  struct Case {
    const char* file;
    std::optional<Expected> expected;  // else the failure message below
    const char* message = nullptr;
  };
  const Case cases[] = {
      {"bad/bmp_reallybig.bmp", std::nullopt, kUnreadable},
      {"bad/bmp_shortfile.bmp", std::nullopt, kUnreadable},
      {"bad/tiff_oom.tif", std::nullopt, kUnreadable},
      {"bad/text_named.jpg", std::nullopt, kUnreadable},
      {"bad/zero_bytes.jpg", std::nullopt, kUnreadable},
      // Second frame far outside the screen: only frame 0 shapes the size.
      {"bad/gif_bomb_extents.gif", Expected{100, 100, 2, 1}},
      // Frame 0 reaches past the 32x32 screen.
      {"bad/gif_bomb_frame_65535x1321.gif", Expected{65535, 66601, 1, 1}},
      {"bad/gif_oob_frame.gif", Expected{40, 40, 1, 1}},
      {"bad/gif_truncated.gif", Expected{575, 800, 1, 1}},
      {"bad/gif_zero_width.gif", std::nullopt, kInvalidSize},
      // No ftyp box at all.
      {"bad/heic_16bytes.heic", std::nullopt, kUnreadable},
      {"bad/heic_truncated.heic", std::nullopt, kUnreadable},
      // Parses (the damage is in the coded data); only "heic" among its brands.
      {"bad/heic_bomb_15273920x3024.heic", Expected{512, 512, 2, 1}},
      {"bad/heic_decode_error.heic", Expected{240, 320, 2, 1}},
      {"bad/jpeg_bad_exif.jpg", Expected{500, 500, 1, 1}},
      {"bad/jpeg_invalid_exif.jpg", Expected{200, 200, 1, 1}},
      // Stray bytes between segments, skipped the way libjpeg skips them.
      {"bad/jpeg_ossfuzz_36829.jpeg", Expected{3, 62728, 1, 1}},
      {"bad/jpeg_truncated_app14.jpg", Expected{100, 100, 1, 1}},
      {"bad/jpeg_truncated_pixel6_ultrahdr.jpg", Expected{1512, 2688, 1, 1}},
      {"bad/jpeg_truncated_progressive.jpg", Expected{100, 100, 1, 1}},
      // IHDR CRC wrong: the size fields are not trusted.
      {"bad/png_bomb_8961x26369_badcrc.png", std::nullopt, kInvalidSize},
      {"bad/png_broken_80bytes.png", std::nullopt, kInvalidSize},
      {"bad/png_broken_data_stream.png", Expected{128, 128, 1, 1}},
      {"bad/png_libpng_badadler.png", Expected{1, 1, 1, 1}},
      {"bad/png_libpng_badcrc.png", Expected{1, 1, 1, 1}},
      {"bad/png_libpng_huge_IDAT.png", Expected{2, 2, 1, 1}},
      {"bad/png_libpng_huge_eXIf.png", Expected{1, 1, 1, 1}},
      {"bad/png_libpng_huge_iCCP.png", Expected{1, 1, 1, 1}},
      {"bad/png_truncated.png", Expected{640, 480, 1, 1}},
      {"bad/png_truncated_end_chunk.png", Expected{128, 128, 1, 1}},
      {"bad/png_ztxt_bomb.png", Expected{1, 1, 1, 1}},
      // A VP8 chunk without the key frame start code.
      {"bad/webp_fuzz_12336x12336.webp", std::nullopt, kInvalidSize},
      {"bad/webp_vp8l_panic.webp", Expected{100, 30, 1, 1}},
  };
  for (const auto& c : cases) {
    const Reply reply = metadataOf(dataPath(c.file));
    if (c.expected) {
      expectResult(reply, *c.expected, c.file);
    } else {
      expectFailure(reply, c.message, c.file);
    }
  }
}

TEST_F(MetadataTest, CorruptPngSuiteFilesFailCleanly) {
  // Bad signatures are not PNG at all.
  for (const char* file :
       {"pngsuite/xcrn0g04.png", "pngsuite/xlfn0g04.png", "pngsuite/xs1n0g01.png",
        "pngsuite/xs2n0g01.png", "pngsuite/xs4n0g01.png", "pngsuite/xs7n0g01.png"}) {
    expectFailure(metadataOf(dataPath(file)), kUnreadable, file);
  }
  // Colour type, bit depth or IHDR checksum invalid: a header that cannot be used.
  for (const char* file :
       {"pngsuite/xc1n0g08.png", "pngsuite/xc9n2c08.png", "pngsuite/xd0n2c08.png",
        "pngsuite/xd3n2c08.png", "pngsuite/xd9n2c08.png", "pngsuite/xhdn0g08.png"}) {
    expectFailure(metadataOf(dataPath(file)), kInvalidSize, file);
  }
  // Damage in the image data only: the header is fine.
  for (const char* file : {"pngsuite/xcsn0g01.png", "pngsuite/xdtn0g01.png"}) {
    expectResult(metadataOf(dataPath(file)), {32, 32, 1, 1}, file);
  }
}

}  // namespace
}  // namespace velmo::testing
