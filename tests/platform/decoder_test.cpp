// decodeThumbnail: sizes, orientation, resampling edges and every format's own rules.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include <jpeglib.h>
#include <spng.h>

#include "platform/decoders.h"
#include "platform/image_decoder.h"
#include "platform/image_encoder.h"
#include "platform/orientation.h"
#include "platform/resample.h"
#include "tests/platform/decoder_test_support.h"
#include "tests/support/test_support.h"

namespace velmo::testing {
namespace {

using platform::ImageFormat;
using platform::detail::jpegScaleNumerator;
using platform::detail::PixelSize;
using platform::detail::thumbnailSize;

// Writes |bitmap| as an exact PNG (RGBA when it has alpha) in |dir| and returns its path.
std::string writePng(const ScratchDir& dir, const std::string& name, const Bitmap& bitmap) {
  auto bytes = platform::encodePng(bitmap.view());
  EXPECT_TRUE(bytes.has_value());
  const std::string path = dir.file(name);
  writeBytes(path, *bytes);
  return path;
}

std::string writeFile(const ScratchDir& dir, const std::string& name,
                      const std::vector<uint8_t>& bytes) {
  const std::string path = dir.file(name);
  writeBytes(path, bytes);
  return path;
}

// ---------------------------------------------------------------------------------------
// The decoded size

TEST(ThumbnailSize, LongerSideFollowsTheLimitAndTheShorterIsRounded) {
  EXPECT_EQ(thumbnailSize(4032, 3024, 1080), (PixelSize{1080, 810}));
  EXPECT_EQ(thumbnailSize(3024, 4032, 1080), (PixelSize{810, 1080}));
  EXPECT_EQ(thumbnailSize(8000, 6000, 4619), (PixelSize{4619, 3464}));  // 3464.25
  EXPECT_EQ(thumbnailSize(3, 2, 2), (PixelSize{2, 1}));                 // 1.33
  EXPECT_EQ(thumbnailSize(4, 2, 3), (PixelSize{3, 2}));                 // 1.5, half up
  EXPECT_EQ(thumbnailSize(10000, 1, 100), (PixelSize{100, 1}));         // never below 1
  EXPECT_EQ(thumbnailSize(1, 10000, 100), (PixelSize{1, 100}));
}

TEST(ThumbnailSize, NeverEnlarges) {
  EXPECT_EQ(thumbnailSize(100, 50, 300), (PixelSize{100, 50}));
  EXPECT_EQ(thumbnailSize(1, 1, 16380), (PixelSize{1, 1}));
  EXPECT_EQ(thumbnailSize(640, 427, 640), (PixelSize{640, 427}));
}

TEST(ThumbnailSize, KeepsTheAspectForEverySmallSize) {
  for (uint32_t w = 1; w <= 40; ++w) {
    for (uint32_t h = 1; h <= 40; ++h) {
      for (uint32_t limit = 1; limit <= 45; ++limit) {
        const PixelSize s = thumbnailSize(w, h, limit);
        const uint32_t longer = std::max(w, h), shorter = std::min(w, h);
        const uint32_t target = std::min(limit, longer);
        const uint32_t gotLong = w >= h ? s.width : s.height;
        const uint32_t gotShort = w >= h ? s.height : s.width;
        ASSERT_EQ(gotLong, target) << w << "x" << h << " limit " << limit;
        const double exact = double(shorter) * target / longer;
        ASSERT_LE(std::abs(gotShort - std::max(1.0, exact)), 0.5 + 1e-9)
            << w << "x" << h << " limit " << limit;
        ASSERT_LE(s.width, w);
        ASSERT_LE(s.height, h);
      }
    }
  }
}

TEST(JpegScale, KeepsAFactorOfTwoForTheAreaAverage) {
  // 4032 x 3024 to 1080 x 810: 5/8 gives 2520 x 1890, the first scale at 2160 x 1620 or more.
  EXPECT_EQ(jpegScaleNumerator(4032, 3024, {1080, 810}), 5);
  EXPECT_EQ(jpegScaleNumerator(4032, 3024, {100, 75}), 1);
  EXPECT_EQ(jpegScaleNumerator(4032, 3024, {4032, 3024}), 8);
  for (uint32_t side : {8u, 100u, 1200u, 1800u, 4001u}) {
    for (uint32_t limit : {1u, 7u, 60u, 299u, 600u, 1500u}) {
      const PixelSize target = thumbnailSize(side, side * 2 / 3 + 1, limit);
      const int n = jpegScaleNumerator(side, side * 2 / 3 + 1, target);
      auto scaled = [&](int k) { return (uint64_t{side} * k + 7) / 8; };
      ASSERT_TRUE(n == 8 || scaled(n) >= 2 * uint64_t{target.width}) << side << " " << limit;
      if (n > 1) {
        ASSERT_LT(scaled(n - 1), 2 * uint64_t{target.width}) << side << " " << limit;
      }
    }
  }
}

// Every format keeps to the size rule, counted on the upright picture.
TEST(DecodeThumbnail, SizeFollowsTheRuleInEveryFormat) {
  struct Case {
    const char* file;
    uint32_t uprightWidth, uprightHeight;
  };
  const Case cases[] = {
      {"camera/nikon_d300_progressive.jpg", 200, 133},
      {"orientation/Portrait_6.jpg", 1200, 1800},  // stored 1800 x 1200
      {"formats/png_rgba_interlaced.png", 162, 150},
      {"pngsuite/basn6a16.png", 32, 32},
      {"formats/gif_still.gif", 128, 128},
      {"formats/webp_lossless.webp", 300, 300},
      {"formats/webp_lossy_alpha.webp", 200, 150},
      {"formats/avif_irot90_imir.avif", 640, 427},
  };
  for (const Case& c : cases) {
    for (uint32_t limit : {1u, 2u, 37u, 128u, 149u, 5000u}) {
      auto decoded = decodeData(c.file, limit);
      ASSERT_TRUE(decoded) << c.file << " at " << limit;
      const PixelSize expected = thumbnailSize(c.uprightWidth, c.uprightHeight, limit);
      EXPECT_EQ(decoded->width(), expected.width) << c.file << " at " << limit;
      EXPECT_EQ(decoded->height(), expected.height) << c.file << " at " << limit;
    }
  }
}

// ---------------------------------------------------------------------------------------
// Orientation

// Where the stored corners land, read off the EXIF definitions of each value ("the 0th row
// is the visual right-hand side, the 0th column the visual top" for 6, and so on): the
// stored corner shown at the upright top-left, top-right and bottom-left.
enum Corner { TL, TR, BL, BR };
struct Landing {
  Corner topLeft, topRight, bottomLeft;
};
const Landing kLandings[9] = {
    {TL, TR, BL},                                            // (unused)
    {TL, TR, BL}, {TR, TL, BR}, {BR, BL, TR}, {BL, BR, TL},  // 1 to 4
    {TL, BL, TR}, {BL, TL, BR}, {BR, TR, BL}, {TR, BR, TL},  // 5 to 8
};

// A stored picture of 3 x 2 blocks, each |block| pixels square and of its own colour.
uint32_t blockColor(uint32_t bx, uint32_t by) {
  return opaque(40 + 80 * bx, 60 + 120 * by, 90);
}
Bitmap blocks(uint32_t block) {
  return makeBitmap(3 * block, 2 * block, false,
                    [block](uint32_t x, uint32_t y) { return blockColor(x / block, y / block); });
}
uint32_t cornerColor(Corner corner) {
  switch (corner) {
    case TL:
      return blockColor(0, 0);
    case TR:
      return blockColor(2, 0);
    case BL:
      return blockColor(0, 1);
    case BR:
      return blockColor(2, 1);
  }
  return 0;
}

void expectLanding(const Bitmap& upright, int orientation) {
  const bool turned = orientation >= 5;
  ASSERT_EQ(upright.width() * (turned ? 3 : 2), upright.height() * (turned ? 2 : 3));
  const uint32_t right = upright.width() - 1, bottom = upright.height() - 1;
  EXPECT_EQ(upright.row(0)[0], cornerColor(kLandings[orientation].topLeft)) << orientation;
  EXPECT_EQ(upright.row(0)[right], cornerColor(kLandings[orientation].topRight)) << orientation;
  EXPECT_EQ(upright.row(bottom)[0], cornerColor(kLandings[orientation].bottomLeft)) << orientation;
}

TEST(Orientation, EachValueIsTheExifPermutation) {
  for (int orientation = 1; orientation <= 8; ++orientation) {
    const Bitmap upright = platform::applyOrientation(blocks(1), orientation);
    expectLanding(upright, orientation);
    // A permutation: every stored pixel appears exactly once.
    std::vector<uint32_t> seen(upright.data(), upright.data() + 6);
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(std::unique(seen.begin(), seen.end()), seen.end());
  }
}

// Larger than the copy's tiles, with every pixel distinct: mirrors and the half turn undo
// themselves, the two quarter turns undo each other.
TEST(Orientation, TurnsAndMirrorsUndoEachOther) {
  auto picture = [] {
    return makeBitmap(70, 45, false, [](uint32_t x, uint32_t y) { return opaque(x, y, 7); });
  };
  const Bitmap original = picture();
  const int inverse[9] = {0, 1, 2, 3, 4, 5, 8, 7, 6};
  for (int orientation = 2; orientation <= 8; ++orientation) {
    const Bitmap once = platform::applyOrientation(picture(), orientation);
    EXPECT_NE(maxDifference(once, original), 0) << orientation;
    const Bitmap back = platform::applyOrientation(
        platform::applyOrientation(picture(), orientation), inverse[orientation]);
    EXPECT_EQ(maxDifference(back, original), 0) << orientation;
  }
  // Corners of the larger picture land as the EXIF definitions say.
  for (int orientation = 1; orientation <= 8; ++orientation) {
    const Bitmap upright = platform::applyOrientation(picture(), orientation);
    const uint32_t corners[4] = {opaque(0, 0, 7), opaque(69, 0, 7), opaque(0, 44, 7),
                                 opaque(69, 44, 7)};
    EXPECT_EQ(upright.row(0)[0], corners[kLandings[orientation].topLeft]) << orientation;
    EXPECT_EQ(upright.row(0)[upright.width() - 1], corners[kLandings[orientation].topRight])
        << orientation;
    EXPECT_EQ(upright.row(upright.height() - 1)[0], corners[kLandings[orientation].bottomLeft])
        << orientation;
  }
}

TEST(Orientation, ValuesOutsideOneToEightActAsOne) {
  EXPECT_EQ(platform::effectiveOrientation(std::nullopt), 1);
  for (int64_t odd : {int64_t{0}, int64_t{9}, int64_t{65535}, int64_t{-1}, int64_t{1} << 40}) {
    EXPECT_EQ(platform::effectiveOrientation(odd), 1) << odd;
  }
  EXPECT_EQ(platform::effectiveOrientation(6), 6);
}

// Through the decoder: the file is shrunk first and turned after, exactly.
TEST(Orientation, DecoderAppliesTheStoredValueAfterShrinking) {
  ScratchDir dir;
  const std::string path = writePng(dir, "blocks.png", blocks(10));  // 30 x 20
  for (int orientation = 1; orientation <= 8; ++orientation) {
    auto upright = decodeAs(path, infoFor(ImageFormat::Png, orientation), 15);
    ASSERT_TRUE(upright);
    EXPECT_EQ(std::max(upright->width(), upright->height()), 15u);
    expectLanding(*upright, orientation);
  }
  auto reference = decodeAs(path, infoFor(ImageFormat::Png, 1), 15);
  for (int64_t odd : {int64_t{0}, int64_t{9}, int64_t{65535}}) {
    auto decoded = decodeAs(path, infoFor(ImageFormat::Png, odd), 15);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(maxDifference(*decoded, *reference), 0) << odd;
  }
}

// The same scene stored eight ways comes out as one upright picture.
TEST(Orientation, JpegSetDecodesToTheSamePicture) {
  auto reference = decodeData("orientation/Portrait_1.jpg", 300);
  ASSERT_TRUE(reference);
  EXPECT_EQ(reference->width(), 200u);
  EXPECT_EQ(reference->height(), 300u);
  for (int n = 2; n <= 8; ++n) {
    const std::string file = "orientation/Portrait_" + std::to_string(n) + ".jpg";
    auto decoded = decodeData(file, 300);
    ASSERT_TRUE(decoded) << file;
    EXPECT_GT(psnr(*decoded, *reference), 30.0) << file;
  }
  // Orientation 0 is not a valid value: the picture stays as stored.
  auto zero = decodeData("orientation/Landscape_0.jpg", 300);
  auto one = decodeData("orientation/Landscape_1.jpg", 300);
  ASSERT_TRUE(zero && one);
  EXPECT_EQ(zero->width(), 300u);
  // The Landscape files are separately compressed (about 32 dB apart); a mirrored picture
  // would be far below.
  EXPECT_GT(psnr(*zero, *one), 25.0);
  const Bitmap mirrored = platform::applyOrientation(std::move(*one), 2);
  EXPECT_LT(psnr(*zero, mirrored), 20.0);
}

TEST(Orientation, WebPSetDecodesToTheSamePicture) {
  auto reference = decodeData("orientation/hopper_orientation_1.webp", 128);
  ASSERT_TRUE(reference);
  for (int n = 2; n <= 8; ++n) {
    const std::string file = "orientation/hopper_orientation_" + std::to_string(n) + ".webp";
    auto decoded = decodeData(file, 128);
    ASSERT_TRUE(decoded) << file;
    EXPECT_GT(psnr(*decoded, *reference), 30.0) << file;
  }
}

TEST(Orientation, TinyJpegTurnsToOneByTwo) {
  auto decoded = decodeData("orientation/jpeg_2x1_orientation8.jpg", 100);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->width(), 1u);
  EXPECT_EQ(decoded->height(), 2u);
}

// ---------------------------------------------------------------------------------------
// Resampling: no dark or light edges, exact colours on flat areas

TEST(Resampling, UniformColourStaysExactAtEverySize) {
  ScratchDir dir;
  const uint32_t colour = opaque(200, 100, 50);
  const std::string flat = writePng(
      dir, "flat.png", makeBitmap(64, 48, false, [&](uint32_t, uint32_t) { return colour; }));
  // Translucent: premultiplied (200, 100, 50) at alpha 128.
  const uint32_t translucent = platform::premultiply(200, 100, 50, 128);
  const std::string glass = writePng(
      dir, "glass.png", makeBitmap(64, 48, true, [&](uint32_t, uint32_t) { return translucent; }));
  for (uint32_t limit = 1; limit <= 64; ++limit) {
    auto a = decodePath(flat, limit);
    auto b = decodePath(glass, limit);
    ASSERT_TRUE(a && b);
    for (uint32_t y = 0; y < a->height(); ++y) {
      for (uint32_t x = 0; x < a->width(); ++x) {
        ASSERT_EQ(a->row(y)[x], colour) << "limit " << limit << " at " << x << "," << y;
        ASSERT_EQ(b->row(y)[x], translucent) << "limit " << limit << " at " << x << "," << y;
      }
    }
  }
}

// A flat JPEG goes through DCT scaling and then the area average: the edges must match the
// middle, whatever the ratio.
TEST(Resampling, FlatJpegHasNoEdgeRowsOrColumns) {
  ScratchDir dir;
  const std::string path = writeFile(
      dir, "flat.jpg",
      makeJpeg(makeBitmap(203, 151, false, [](uint32_t, uint32_t) { return opaque(90, 160, 210); }),
               95));
  std::vector<uint32_t> limits;
  for (uint32_t l = 1; l <= 40; ++l) limits.push_back(l);
  for (uint32_t l : {57u, 99u, 101u, 150u, 202u, 203u}) limits.push_back(l);
  for (uint32_t limit : limits) {
    auto decoded = decodePath(path, limit);
    ASSERT_TRUE(decoded);
    const MeanColor whole = meanColor(*decoded);
    EXPECT_NEAR(whole.r, 90, 2) << limit;
    EXPECT_NEAR(whole.g, 160, 2) << limit;
    EXPECT_NEAR(whole.b, 210, 2) << limit;
    const uint32_t w = decoded->width(), h = decoded->height();
    const MeanColor edges[] = {meanColor(*decoded, 0, 0, w, 1), meanColor(*decoded, 0, h - 1, w, h),
                               meanColor(*decoded, 0, 0, 1, h),
                               meanColor(*decoded, w - 1, 0, w, h)};
    for (const MeanColor& edge : edges) {
      EXPECT_NEAR(edge.r, whole.r, 1.0) << limit;
      EXPECT_NEAR(edge.g, whole.g, 1.0) << limit;
      EXPECT_NEAR(edge.b, whole.b, 1.0) << limit;
    }
  }
}

// A ramp 0..255 across 256 columns: each decoded column is the mean of the columns it
// covers, edges included.
TEST(Resampling, RampColumnsAreTheMeansOfWhatTheyCover) {
  ScratchDir dir;
  const std::string path =
      writePng(dir, "ramp.png",
               makeBitmap(256, 4, false, [](uint32_t x, uint32_t) { return opaque(x, x, x); }));
  for (uint32_t limit : {1u, 2u, 3u, 5u, 7u, 10u, 33u, 64u, 100u, 129u, 255u, 256u}) {
    auto decoded = decodePath(path, limit);
    ASSERT_TRUE(decoded);
    ASSERT_EQ(decoded->width(), limit);
    for (uint32_t x = 0; x < limit; ++x) {
      // Source columns [x * 256 / limit, (x + 1) * 256 / limit) have values equal to their
      // index; their mean is the middle of that span.
      const double expected = (x + 0.5) * 256.0 / limit - 0.5;
      for (uint32_t y = 0; y < decoded->height(); ++y) {
        ASSERT_NEAR(double(redOf(decoded->row(y)[x])), expected, 0.5 + 1e-9)
            << "limit " << limit << " column " << x;
      }
    }
  }
}

// Odd sizes of real photos: the outermost rows and columns match those of a full-size
// decode averaged down. A dark or light edge is off by tens of levels; DCT scaling alone
// moves a 5-pixel edge of a 7 x 5 thumbnail by up to 4.
TEST(Resampling, PhotoEdgesMatchAFullDecodeShrunk) {
  for (const char* file : {"camera/nikon_d300_progressive.jpg", "orientation/Portrait_1.jpg"}) {
    auto full = decodeData(file, 5000);
    ASSERT_TRUE(full);
    for (uint32_t limit : {7u, 33u, 97u, 151u, 199u}) {
      auto decoded = decodeData(file, limit);
      ASSERT_TRUE(decoded);
      const uint32_t w = decoded->width(), h = decoded->height();
      Bitmap copy(full->width(), full->height(), false);
      std::copy(full->data(), full->data() + size_t{full->width()} * full->height(), copy.data());
      const Bitmap reference = platform::shrink(std::move(copy), w, h);
      const uint32_t boxes[4][4] = {{0, 0, w, 1}, {0, h - 1, w, h}, {0, 0, 1, h}, {w - 1, 0, w, h}};
      for (const auto& box : boxes) {
        const MeanColor got = meanColor(*decoded, box[0], box[1], box[2], box[3]);
        const MeanColor want = meanColor(reference, box[0], box[1], box[2], box[3]);
        EXPECT_NEAR(got.r, want.r, 6) << file << " at " << limit;
        EXPECT_NEAR(got.g, want.g, 6) << file << " at " << limit;
        EXPECT_NEAR(got.b, want.b, 6) << file << " at " << limit;
      }
    }
  }
}

// ---------------------------------------------------------------------------------------
// JPEG

// DCT scaling plus the area average against a full-size decode averaged down.
TEST(Jpeg, ScaledDecodeMatchesAFullDecodeShrunk) {
  auto full = decodeData("orientation/Portrait_1.jpg", 1800);
  ASSERT_TRUE(full);
  ASSERT_EQ(full->height(), 1800u);
  for (uint32_t limit : {100u, 300u, 700u}) {
    auto scaled = decodeData("orientation/Portrait_1.jpg", limit);
    ASSERT_TRUE(scaled);
    Bitmap copy(full->width(), full->height(), false);
    std::copy(full->data(), full->data() + size_t{full->width()} * full->height(), copy.data());
    const Bitmap reference = platform::shrink(std::move(copy), scaled->width(), scaled->height());
    EXPECT_GT(psnr(*scaled, reference), 38.0) << limit;
  }
}

TEST(Jpeg, GreyscaleComesOutNeutral) {
  auto decoded = decodeData("camera/grayscale.jpg", 1000);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->width(), 128u);
  EXPECT_FALSE(decoded->hasAlpha());
  for (uint32_t y = 0; y < decoded->height(); ++y) {
    for (uint32_t x = 0; x < decoded->width(); ++x) {
      const uint32_t p = decoded->row(y)[x];
      ASSERT_EQ(alphaOf(p), 255u);
      ASSERT_EQ(redOf(p), greenOf(p));
      ASSERT_EQ(greenOf(p), blueOf(p));
    }
  }
}

TEST(Jpeg, ProgressiveAndArithmeticDecode) {
  auto progressive = decodeData("camera/nikon_d300_progressive.jpg", 1000);
  ASSERT_TRUE(progressive);
  EXPECT_EQ(progressive->width(), 200u);
  EXPECT_EQ(progressive->height(), 133u);
  auto arithmetic = decodeData("formats/jpeg_arithmetic.jpg", 1000);
  ASSERT_TRUE(arithmetic);
  EXPECT_EQ(arithmetic->width(), 227u);
  EXPECT_EQ(arithmetic->height(), 149u);
  // A picture, not a flat fill: the rows differ.
  const MeanColor top = meanColor(*arithmetic, 0, 0, 227, 30);
  const MeanColor bottom = meanColor(*arithmetic, 0, 119, 227, 149);
  EXPECT_GT(std::abs(top.r - bottom.r) + std::abs(top.g - bottom.g) + std::abs(top.b - bottom.b),
            20);
}

TEST(Jpeg, TwelveBitPrecisionYieldsNothing) {
  EXPECT_FALSE(decodeData("formats/jpeg_12bit.jpg", 100));
}

// cmyk.jpg is an Adobe YCCK file without a profile: libjpeg hands out inverted CMYK, which
// the naive conversion turns into R = C' K' / 255 (C' = stored value). The reference
// decodes the same file with libjpeg directly; rounding may differ by one level.
TEST(Jpeg, AdobeCmykConvertsNaivelyWithoutAProfile) {
  const std::string path = dataPath("camera/cmyk.jpg");
  auto decoded = decodePath(path, 1000);
  ASSERT_TRUE(decoded);
  ASSERT_EQ(decoded->width(), 100u);

  jpeg_decompress_struct cinfo{};
  jpeg_error_mgr errors{};
  cinfo.err = jpeg_std_error(&errors);
  jpeg_create_decompress(&cinfo);
  const std::vector<uint8_t> bytes = readBytes(path);
  jpeg_mem_src(&cinfo, bytes.data(), bytes.size());
  jpeg_read_header(&cinfo, TRUE);
  ASSERT_TRUE(cinfo.saw_Adobe_marker);
  cinfo.out_color_space = JCS_CMYK;
  jpeg_start_decompress(&cinfo);
  std::vector<uint8_t> row(cinfo.output_width * 4);
  int worst = 0;
  while (cinfo.output_scanline < cinfo.output_height) {
    const uint32_t y = cinfo.output_scanline;
    JSAMPROW rows[1] = {row.data()};
    jpeg_read_scanlines(&cinfo, rows, 1);
    for (uint32_t x = 0; x < cinfo.output_width; ++x) {
      const uint8_t* s = &row[x * 4];
      const uint32_t p = decoded->row(y)[x];
      const int expected[3] = {int(std::lround(s[0] * s[3] / 255.0)),
                               int(std::lround(s[1] * s[3] / 255.0)),
                               int(std::lround(s[2] * s[3] / 255.0))};
      worst = std::max({worst, std::abs(int(redOf(p)) - expected[0]),
                        std::abs(int(greenOf(p)) - expected[1]),
                        std::abs(int(blueOf(p)) - expected[2])});
    }
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  EXPECT_LE(worst, 1);
  // Red letters on black, as the file shows.
  const MeanColor mean = meanColor(*decoded);
  EXPECT_GT(mean.r, mean.g + 15);
  EXPECT_LT(mean.g, 20);
}

// A real Adobe RGB photo: converted to sRGB its colours grow more saturated (Adobe RGB
// values read as sRGB look washed out), while the grey pavement stays grey.
TEST(Jpeg, AdobeRgbPhotoIsConvertedTowardsSaturation) {
  ScratchDir dir;
  std::vector<uint8_t> bytes = readBytes(dataPath("camera/canon_rebel_t6_adobergb.jpg"));
  const std::string tagged = writeFile(dir, "tagged.jpg", bytes);
  // The same file with its ICC segment renamed, so that no profile is found.
  const std::string marker = "ICC_PROFILE";
  auto at = std::search(bytes.begin(), bytes.end(), marker.begin(), marker.end());
  ASSERT_NE(at, bytes.end());
  *at = 'X';
  const std::string untagged = writeFile(dir, "untagged.jpg", bytes);

  auto converted = decodePath(tagged, 500);
  auto raw = decodePath(untagged, 500);
  ASSERT_TRUE(converted && raw);
  ASSERT_EQ(converted->width(), raw->width());
  auto chroma = [](const Bitmap& b) {
    double sum = 0;
    for (uint32_t y = 0; y < b.height(); ++y) {
      for (uint32_t x = 0; x < b.width(); ++x) {
        const uint32_t p = b.row(y)[x];
        sum += std::max({redOf(p), greenOf(p), blueOf(p)}) -
               std::min({redOf(p), greenOf(p), blueOf(p)});
      }
    }
    return sum / (double(b.width()) * b.height());
  };
  EXPECT_GT(chroma(*converted), chroma(*raw) * 1.15);
  // The pavement in the top-left quarter: neutral before and after, nearly the same level.
  const uint32_t w = converted->width(), h = converted->height();
  const MeanColor before = meanColor(*raw, w / 20, h / 3, w / 4, h / 2);
  const MeanColor after = meanColor(*converted, w / 20, h / 3, w / 4, h / 2);
  EXPECT_NEAR(after.r, before.r, 6);
  EXPECT_NEAR(after.g, before.g, 6);
  EXPECT_NEAR(after.b, before.b, 6);
}

// ---------------------------------------------------------------------------------------
// PNG

struct PngPair {
  const char* plain;
  const char* interlaced;
  bool hasAlpha;
};
const PngPair kPngPairs[] = {
    {"pngsuite/basn0g01.png", "pngsuite/basi0g01.png", false},
    {"pngsuite/basn0g16.png", "pngsuite/basi0g16.png", false},
    {"pngsuite/basn2c16.png", "pngsuite/basi2c16.png", false},
    {"pngsuite/basn3p04.png", "pngsuite/basi3p04.png", false},
    {"pngsuite/basn4a08.png", "pngsuite/basi4a08.png", true},
    {"pngsuite/basn6a16.png", "pngsuite/basi6a16.png", true},
};

TEST(Png, InterlacedFilesDecodeToTheirTwinsPixels) {
  for (const PngPair& pair : kPngPairs) {
    for (uint32_t limit : {32u, 13u}) {
      auto plain = decodeData(pair.plain, limit);
      auto interlaced = decodeData(pair.interlaced, limit);
      ASSERT_TRUE(plain && interlaced) << pair.plain;
      EXPECT_EQ(plain->hasAlpha(), pair.hasAlpha) << pair.plain;
      EXPECT_EQ(interlaced->hasAlpha(), pair.hasAlpha) << pair.interlaced;
      EXPECT_EQ(maxDifference(*plain, *interlaced), 0) << pair.plain << " at " << limit;
    }
  }
}

TEST(Png, TransparencyChunkMakesAlpha) {
  auto decoded = decodeData("pngsuite/tbrn2c08.png", 100);
  ASSERT_TRUE(decoded);
  EXPECT_TRUE(decoded->hasAlpha());
  size_t clear = 0;
  for (uint32_t i = 0; i < decoded->width() * decoded->height(); ++i) {
    clear += decoded->data()[i] == 0;
  }
  EXPECT_GT(clear, 0u);
  auto palette = decodeData("formats/png_palette_trns_interlaced.png", 1000);
  ASSERT_TRUE(palette);
  EXPECT_TRUE(palette->hasAlpha());
}

// 16-bit samples are rounded to 8 bits as (v * 255 + 32767) / 65535; the reference reads the
// same file's 16-bit samples with libspng directly.
TEST(Png, SixteenBitSamplesRoundToNearest) {
  const std::string path = dataPath("pngsuite/basn2c16.png");
  auto decoded = decodePath(path, 32);
  ASSERT_TRUE(decoded);
  const std::vector<uint8_t> bytes = readBytes(path);
  spng_ctx* ctx = spng_ctx_new(0);
  ASSERT_EQ(spng_set_png_buffer(ctx, bytes.data(), bytes.size()), 0);
  std::vector<uint16_t> samples(32 * 32 * 4);
  ASSERT_EQ(spng_decode_image(ctx, samples.data(), samples.size() * 2, SPNG_FMT_RGBA16, 0), 0);
  spng_ctx_free(ctx);
  for (uint32_t i = 0; i < 32 * 32; ++i) {
    auto to8 = [](uint16_t v) { return (uint32_t{v} * 255 + 32767) / 65535; };
    const uint16_t* s = &samples[i * 4];
    ASSERT_EQ(decoded->data()[i], opaque(to8(s[0]), to8(s[1]), to8(s[2]))) << i;
  }
}

TEST(Png, AnimatedPngGivesItsDefaultImage) {
  auto decoded = decodeData("formats/apng_delay.png", 1000);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->width(), 128u);
  EXPECT_EQ(decoded->height(), 64u);
}

// ---------------------------------------------------------------------------------------
// GIF

GifSpec patternGif(uint32_t width, uint32_t height) {
  GifSpec spec;
  spec.screenWidth = spec.frameWidth = width;
  spec.screenHeight = spec.frameHeight = height;
  spec.palette = {255, 0, 0, 0, 255, 0, 0, 0, 255, 250, 250, 250};
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) spec.indices.push_back(uint8_t((x / 3 + y) % 4));
  }
  return spec;
}

uint32_t patternColor(const GifSpec& spec, uint32_t x, uint32_t y) {
  const uint8_t i = spec.indices[y * spec.frameWidth + x];
  return opaque(spec.palette[i * 3], spec.palette[i * 3 + 1], spec.palette[i * 3 + 2]);
}

TEST(Gif, InterlacedAndPlainFramesGiveTheSamePixels) {
  ScratchDir dir;
  GifSpec spec = patternGif(41, 29);
  const std::string plain = writeFile(dir, "plain.gif", makeGif(spec));
  spec.interlaced = true;
  const std::string interlaced = writeFile(dir, "interlaced.gif", makeGif(spec));
  auto a = decodePath(plain, 100);
  auto b = decodePath(interlaced, 100);
  ASSERT_TRUE(a && b);
  EXPECT_FALSE(a->hasAlpha());
  for (uint32_t y = 0; y < 29; ++y) {
    for (uint32_t x = 0; x < 41; ++x) ASSERT_EQ(a->row(y)[x], patternColor(spec, x, y));
  }
  EXPECT_EQ(maxDifference(*a, *b), 0);
  for (uint32_t limit : {7u, 20u}) {
    auto c = decodePath(plain, limit);
    auto d = decodePath(interlaced, limit);
    ASSERT_TRUE(c && d);
    EXPECT_EQ(maxDifference(*c, *d), 0) << limit;
  }
  auto real = decodeData("formats/gif_interlaced.gif", 100);
  ASSERT_TRUE(real);
  EXPECT_EQ(real->width(), 32u);
}

TEST(Gif, TransparentIndexAndUncoveredScreenAreClear) {
  ScratchDir dir;
  GifSpec spec = patternGif(20, 10);
  spec.screenWidth = 40;
  spec.screenHeight = 30;
  spec.left = 5;
  spec.top = 4;
  spec.transparent = 3;
  auto decoded = decodePath(writeFile(dir, "placed.gif", makeGif(spec)), 100);
  ASSERT_TRUE(decoded);
  ASSERT_EQ(decoded->width(), 40u);
  EXPECT_TRUE(decoded->hasAlpha());
  for (uint32_t y = 0; y < 30; ++y) {
    for (uint32_t x = 0; x < 40; ++x) {
      const bool inside = x >= 5 && x < 25 && y >= 4 && y < 14;
      uint32_t expected = 0;
      if (inside && spec.indices[(y - 4) * 20 + (x - 5)] != 3) {
        expected = patternColor(spec, x - 5, y - 4);
      }
      ASSERT_EQ(decoded->row(y)[x], expected) << x << "," << y;
    }
  }
}

TEST(Gif, CoveringFrameWithoutTransparencyIsOpaque) {
  auto still = decodeData("formats/gif_still.gif", 1000);
  ASSERT_TRUE(still);
  EXPECT_FALSE(still->hasAlpha());
  auto transparent = decodeData("formats/gif_still_transparent.gif", 1000);
  ASSERT_TRUE(transparent);
  EXPECT_TRUE(transparent->hasAlpha());
  EXPECT_LT(meanColor(*transparent).a, 250);
}

TEST(Gif, FrameLargerThanTheScreenIsClipped) {
  ScratchDir dir;
  GifSpec spec = patternGif(20, 16);
  spec.screenWidth = 10;
  spec.screenHeight = 8;
  auto decoded = decodePath(writeFile(dir, "big.gif", makeGif(spec)), 100);
  ASSERT_TRUE(decoded);
  ASSERT_EQ(decoded->width(), 10u);
  ASSERT_EQ(decoded->height(), 8u);
  EXPECT_FALSE(decoded->hasAlpha());
  for (uint32_t y = 0; y < 8; ++y) {
    for (uint32_t x = 0; x < 10; ++x) ASSERT_EQ(decoded->row(y)[x], patternColor(spec, x, y));
  }
}

TEST(Gif, OnlyTheFirstFrameIsShown) {
  ScratchDir dir;
  GifSpec spec = patternGif(4, 4);
  spec.frames = 3000;
  spec.laterFramesIndex = 2;
  auto decoded = decodePath(writeFile(dir, "many.gif", makeGif(spec)), 100);
  ASSERT_TRUE(decoded);
  for (uint32_t y = 0; y < 4; ++y) {
    for (uint32_t x = 0; x < 4; ++x) ASSERT_EQ(decoded->row(y)[x], patternColor(spec, x, y));
  }
}

// ---------------------------------------------------------------------------------------
// WebP

TEST(WebP, ScaledDecodeMatchesAFullDecodeShrunk) {
  auto full = decodeData("formats/webp_lossless.webp", 300);
  auto scaled = decodeData("formats/webp_lossless.webp", 100);
  ASSERT_TRUE(full && scaled);
  const Bitmap reference = platform::shrink(std::move(*full), 100, 100);
  EXPECT_GT(psnr(*scaled, reference), 35.0);
}

TEST(WebP, AlphaIsPremultiplied) {
  auto decoded = decodeData("formats/webp_lossy_alpha.webp", 1000);
  ASSERT_TRUE(decoded);
  EXPECT_TRUE(decoded->hasAlpha());
  size_t clear = 0;
  for (uint32_t i = 0; i < decoded->width() * decoded->height(); ++i) {
    const uint32_t p = decoded->data()[i];
    ASSERT_LE(std::max({redOf(p), greenOf(p), blueOf(p)}), alphaOf(p));
    clear += alphaOf(p) == 0;
  }
  EXPECT_GT(clear, 0u);
  auto opaqueWebP = decodeData("formats/webp_lossy.webp", 1000);
  ASSERT_TRUE(opaqueWebP);
  EXPECT_FALSE(opaqueWebP->hasAlpha());
}

TEST(WebP, AnimationGivesItsFirstFrame) {
  auto decoded = decodeData("formats/webp_anim.webp", 1000);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->width(), 200u);
  EXPECT_EQ(decoded->height(), 200u);
}

// ---------------------------------------------------------------------------------------
// HEIF

// The iPhone file stores a 4032 x 3024 grid with irot 270 and also says EXIF orientation 6;
// libheif applies the irot, and the EXIF value must not turn it a second time.
TEST(Heif, IphonePhotoIsTurnedOnceToPortrait) {
  auto decoded = decodeData("formats/heic_iphone13_irot270_exif6.heic", 400);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->width(), 300u);
  EXPECT_EQ(decoded->height(), 400u);
  EXPECT_FALSE(decoded->hasAlpha());
}

TEST(Heif, MirroredAndTurnedAvifIsLandscape) {
  auto decoded = decodeData("formats/avif_irot90_imir.avif", 1000);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->width(), 640u);
  EXPECT_EQ(decoded->height(), 427u);
}

TEST(Heif, AlphaPlaneGivesAlpha) {
  auto decoded = decodeData("formats/heic_alpha_512.heic", 256);
  ASSERT_TRUE(decoded);
  EXPECT_TRUE(decoded->hasAlpha());
  EXPECT_LT(meanColor(*decoded).a, 250);
  for (uint32_t i = 0; i < decoded->width() * decoded->height(); ++i) {
    const uint32_t p = decoded->data()[i];
    ASSERT_LE(std::max({redOf(p), greenOf(p), blueOf(p)}), alphaOf(p));
  }
}

// The same portrait of Grace Hopper as a HEIF and as a WebP: decoding, colour and
// orientation agree (both are lossy, hence the modest bound).
TEST(Heif, SmallHeifMatchesTheSamePictureInWebP) {
  auto heif = decodeData("formats/heif_hopper_128.heif", 128);
  auto webp = decodeData("orientation/hopper_orientation_1.webp", 128);
  ASSERT_TRUE(heif && webp);
  EXPECT_GT(psnr(*heif, *webp), 25.0);
}

}  // namespace
}  // namespace velmo::testing
