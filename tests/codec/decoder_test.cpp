// decodeThumbnail on good files: sizes, orientation, edges after reduction, declared alpha,
// and conversion to sRGB through embedded profiles.
#include <gtest/gtest.h>
#include <lcms2.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "codec/image_encoder.h"
#include "tests/support/decoder_fixtures.h"
#include "tests/support/test_support.h"

namespace velmo::testing {

using codec::ImageInfo;
using platform::Bitmap;
namespace {

using codec::ImageFormat;

void expectColour(uint32_t pixel, double r, double g, double b, double tolerance) {
  EXPECT_NEAR((pixel >> 16) & 0xFF, r, tolerance);
  EXPECT_NEAR((pixel >> 8) & 0xFF, g, tolerance);
  EXPECT_NEAR(pixel & 0xFF, b, tolerance);
}

// The longer upright side becomes min(limit, itself), the shorter follows the aspect rounded
// half up (never below 1), in every format; the upright size counts, not the stored one.
TEST(Decoder, SizeFollowsTheLimitAndNeverEnlarges) {
  struct Case {
    const char* file;
    uint32_t width, height;
  };
  const Case cases[] = {
      {"camera/nikon_d300_progressive.jpg", 200, 133}, {"formats/jpeg_arithmetic.jpg", 227, 149},
      {"orientation/Portrait_6.jpg", 1200, 1800},   // stored 1800 x 1200
      {"formats/avif_irot90_imir.avif", 640, 427},  // stored 427 x 640, irot and imir
      {"formats/png_rgba_interlaced.png", 162, 150},   {"formats/gif_still.gif", 128, 128},
      {"formats/webp_lossy_alpha.webp", 200, 150},
  };
  for (const Case& c : cases) {
    for (uint32_t limit : {1u, 2u, 37u, 149u, 5000u}) {
      SCOPED_TRACE(std::string(c.file) + " at " + std::to_string(limit));
      const uint32_t longer = std::max(c.width, c.height), target = std::min(limit, longer);
      const auto other = std::max<uint32_t>(
          1, uint32_t(std::lround(double(std::min(c.width, c.height)) * target / longer)));
      auto decoded = decodeData(c.file, limit);
      ASSERT_TRUE(decoded);
      EXPECT_EQ(decoded->width(), c.width >= c.height ? target : other);
      EXPECT_EQ(decoded->height(), c.width >= c.height ? other : target);
    }
  }
}

// The same scene stored with each EXIF orientation comes out as one upright picture. The
// files are compressed separately, 30 dB or more apart; a picture turned or mirrored wrongly
// is far below.
TEST(Decoder, EveryOrientationGivesTheSameUprightPicture) {
  const std::pair<const char*, std::vector<const char*>> sets[] = {
      {"orientation/Portrait_1.jpg",
       {"orientation/Portrait_2.jpg", "orientation/Portrait_3.jpg", "orientation/Portrait_4.jpg",
        "orientation/Portrait_5.jpg", "orientation/Portrait_6.jpg", "orientation/Portrait_7.jpg",
        "orientation/Portrait_8.jpg"}},
      {"orientation/hopper_orientation_1.webp",
       {"orientation/hopper_orientation_2.webp", "orientation/hopper_orientation_6.webp",
        "orientation/hopper_orientation_7.webp"}},
      // 0 is no orientation at all: the picture stays as stored.
      {"orientation/Landscape_1.jpg", {"orientation/Landscape_0.jpg"}},
  };
  for (const auto& [referenceFile, files] : sets) {
    auto reference = decodeData(referenceFile, 300);
    ASSERT_TRUE(reference);
    for (const char* file : files) {
      auto decoded = decodeData(file, 300);
      ASSERT_TRUE(decoded) << file;
      EXPECT_GT(psnr(channelsOf(*decoded), channelsOf(*reference)), 25.0) << file;
    }
  }
}

// Orientation 8 on 2 x 1 pictures: the stored right pixel goes to the top, the left one to
// the bottom, nothing blended. The test file is a single red, as its EXIF says orientation 8;
// the black and white one is made here and told its orientation.
TEST(Decoder, TinyTurnedJpegPlacesEachPixelExactly) {
  ScratchDir dir;
  writeJpegFile(dir.file("2x1.jpg"), RgbaImage::generate(2, 1, [](uint32_t x, uint32_t) {
                  return x == 0 ? 0xFF000000u : 0xFFFFFFFFu;
                }));
  const std::pair<std::string, std::optional<ImageInfo>> files[] = {
      {dataPath("orientation/jpeg_2x1_orientation8.jpg"), std::nullopt},
      {dir.file("2x1.jpg"), infoFor(ImageFormat::Jpeg, 8)}};
  for (const auto& [path, info] : files) {
    auto stored = decodePath(path, 100, infoFor(ImageFormat::Jpeg, 1));
    auto upright = decodePath(path, 100, info);
    ASSERT_TRUE(stored && upright) << path;
    ASSERT_EQ(stored->width(), 2u);
    ASSERT_EQ(upright->width(), 1u);
    ASSERT_EQ(upright->height(), 2u);
    EXPECT_EQ(upright->row(0)[0], stored->row(0)[1]) << path;
    EXPECT_EQ(upright->row(1)[0], stored->row(0)[0]) << path;
  }
}

// A flat picture stays flat at every size: the outermost rows and columns, where a resampler
// that weighs in pixels outside the picture goes dark or light, match the whole.
TEST(Decoder, NoDarkOrLightEdgesAtAnySize) {
  ScratchDir dir;
  writeBytes(dir.file("flat.jpg"),
             flatJpeg({.width = 203, .height = 151, .pixel = {90, 160, 210}}));
  writePngFile(dir.file("glass.png"),
               RgbaImage::generate(203, 151, [](uint32_t, uint32_t) { return 0x80C86432u; }), true);
  std::vector<uint32_t> limits = {57, 99, 101, 150, 202};
  for (uint32_t l = 1; l <= 40; ++l) limits.push_back(l);
  for (const char* name : {"flat.jpg", "glass.png"}) {
    auto full = decodePath(dir.file(name), 1000);
    ASSERT_TRUE(full);
    const MeanColor want = meanColor(*full, 0, 0, 203, 151);
    for (uint32_t limit : limits) {
      SCOPED_TRACE(std::string(name) + " at " + std::to_string(limit));
      auto d = decodePath(dir.file(name), limit);
      ASSERT_TRUE(d);
      const uint32_t w = d->width(), h = d->height();
      const uint32_t boxes[5][4] = {
          {0, 0, w, h}, {0, 0, w, 1}, {0, h - 1, w, h}, {0, 0, 1, h}, {w - 1, 0, w, h}};
      for (const auto& box : boxes) {
        const MeanColor got = meanColor(*d, box[0], box[1], box[2], box[3]);
        EXPECT_NEAR(got.a, want.a, 1.0);
        EXPECT_NEAR(got.r, want.r, 1.0);
        EXPECT_NEAR(got.g, want.g, 1.0);
        EXPECT_NEAR(got.b, want.b, 1.0);
      }
    }
  }
}

// Grey at 16 bits, palette at 4 bits, grey + alpha, RGBA at 16 bits: the interlaced twin
// gives the same pixels at full size and reduced.
TEST(Decoder, PngSuiteInterlacedTwinsAgree) {
  const std::pair<const char*, const char*> twins[] = {
      {"pngsuite/basn0g16.png", "pngsuite/basi0g16.png"},
      {"pngsuite/basn3p04.png", "pngsuite/basi3p04.png"},
      {"pngsuite/basn4a08.png", "pngsuite/basi4a08.png"},
      {"pngsuite/basn6a16.png", "pngsuite/basi6a16.png"}};
  for (const auto& [plainFile, interlacedFile] : twins) {
    for (uint32_t limit : {32u, 13u}) {
      SCOPED_TRACE(std::string(interlacedFile) + " at " + std::to_string(limit));
      auto plain = decodeData(plainFile, limit);
      auto interlaced = decodeData(interlacedFile, limit);
      ASSERT_TRUE(plain && interlaced);
      EXPECT_EQ(plain->hasAlpha(), interlaced->hasAlpha());
      EXPECT_EQ(maxDifference(channelsOf(*plain), channelsOf(*interlaced)), 0);
    }
  }
}

// hasAlpha is what the file declares; declared alpha comes out premultiplied, with some
// pixels actually see-through.
TEST(Decoder, AlphaIsWhatTheFileDeclares) {
  const std::pair<const char*, bool> cases[] = {
      {"camera/grayscale.jpg", false},
      {"pngsuite/basn3p04.png", false},
      {"pngsuite/basn6a16.png", true},
      {"pngsuite/tbrn2c08.png", true},  // tRNS on RGB
      {"formats/png_palette_trns_interlaced.png", true},
      {"formats/gif_still.gif", false},
      {"formats/gif_still_transparent.gif", true},
      {"formats/webp_lossy.webp", false},
      {"formats/webp_lossy_alpha.webp", true},
      {"formats/heif_hopper_128.heif", false},
      {"formats/heic_alpha_512.heic", true},
  };
  for (const auto& [file, hasAlpha] : cases) {
    SCOPED_TRACE(file);
    auto decoded = decodeData(file, 64);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->hasAlpha(), hasAlpha);
    uint32_t minAlpha = 255, worstExcess = 0;
    for (uint32_t y = 0; y < decoded->height(); ++y) {
      for (uint32_t x = 0; x < decoded->width(); ++x) {
        const uint32_t p = decoded->row(y)[x], a = p >> 24;
        minAlpha = std::min(minAlpha, a);
        for (uint32_t c : {(p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF}) {
          worstExcess = std::max(worstExcess, c > a ? c - a : 0);
        }
      }
    }
    EXPECT_EQ(minAlpha < 255, hasAlpha);
    EXPECT_EQ(worstExcess, 0u);
  }
}

// The iPhone file stores irot 270 and also says EXIF orientation 6: libheif applies the
// irot, and the EXIF value must not turn it a second time.
TEST(Decoder, HeifIsTurnedOnlyOnce) {
  auto decoded = decodeData("formats/heic_iphone13_irot270_exif6.heic", 400);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->width(), 300u);
  EXPECT_EQ(decoded->height(), 400u);
}

// ---------------------------------------------------------------------------------------
// Embedded colour profiles

// Adobe RGB (200, 60, 60) is sRGB (231.5, 57.4, 57.4), worked out from the two spaces'
// primaries and curves. The profile is padded past one APP2 segment's 65519 bytes.
TEST(ColourProfile, AdobeRgbJpegIsConvertedToSrgb) {
  ScratchDir dir;
  writeBytes(
      dir.file("adobe.jpg"),
      flatJpeg(
          {.width = 48, .height = 32, .pixel = {200, 60, 60}, .icc = adobeRgbProfile(150000)}));
  auto decoded = decodePath(dir.file("adobe.jpg"), 100);
  ASSERT_TRUE(decoded);
  expectColour(decoded->row(16)[24], 231.5, 57.4, 57.4, 3.0);
}

// A CMYK profile whose colours are the naive ones with red and blue exchanged, so that a
// conversion through it is told apart from the naive fallback at a glance.
std::vector<uint8_t> swappedCmykProfile() {
  cmsHPROFILE srgb = cmsCreate_sRGBProfile();
  cmsHPROFILE lab = cmsCreateLab4Profile(nullptr);
  cmsHTRANSFORM toLab = cmsCreateTransform(srgb, TYPE_RGB_DBL, lab, TYPE_Lab_DBL,
                                           INTENT_RELATIVE_COLORIMETRIC, cmsFLAGS_NOCACHE);
  cmsStage* grid = cmsStageAllocCLut16bit(nullptr, 9, 4, 3, nullptr);
  auto sampler = [](const cmsUInt16Number in[], cmsUInt16Number out[], void* cargo) {
    auto light = [&](int i) { return (1 - in[i] / 65535.0) * (1 - in[3] / 65535.0); };
    const double rgb[3] = {light(2), light(1), light(0)};
    cmsCIELab colour;
    cmsDoTransform(cargo, rgb, &colour, 1);
    cmsFloat2LabEncoded(out, &colour);
    return cmsInt32Number(TRUE);
  };
  cmsStageSampleCLut16bit(grid, sampler, toLab, 0);
  // Version 4 lookup tables are curves, grid, curves: identity curves around the grid.
  cmsPipeline* pipeline = cmsPipelineAlloc(nullptr, 4, 3);
  cmsPipelineInsertStage(pipeline, cmsAT_END, cmsStageAllocToneCurves(nullptr, 4, nullptr));
  cmsPipelineInsertStage(pipeline, cmsAT_END, grid);
  cmsPipelineInsertStage(pipeline, cmsAT_END, cmsStageAllocToneCurves(nullptr, 3, nullptr));
  cmsHPROFILE profile = cmsCreateProfilePlaceholder(nullptr);
  cmsSetProfileVersion(profile, 4.3);
  cmsSetDeviceClass(profile, cmsSigOutputClass);
  cmsSetColorSpace(profile, cmsSigCmykData);
  cmsSetPCS(profile, cmsSigLabData);
  cmsWriteTag(profile, cmsSigAToB0Tag, pipeline);
  cmsWriteTag(profile, cmsSigMediaWhitePointTag, cmsD50_XYZ());
  cmsPipelineFree(pipeline);
  cmsDeleteTransform(toLab);
  cmsCloseProfile(lab);
  cmsCloseProfile(srgb);
  return profileBytes(profile);
}

// Adobe CMYK (inverted samples) of magenta and yellow ink: red by the naive conversion when
// there is no profile, blue through the swapping profile.
TEST(ColourProfile, CmykJpegGoesThroughItsProfileElseTheNaiveInks) {
  ScratchDir dir;
  writeBytes(dir.file("naive.jpg"), flatJpeg({.pixel = {0, 255, 255, 0}}));
  writeBytes(dir.file("profiled.jpg"),
             flatJpeg({.pixel = {0, 255, 255, 0}, .icc = swappedCmykProfile()}));
  auto naive = decodePath(dir.file("naive.jpg"), 100);
  auto profiled = decodePath(dir.file("profiled.jpg"), 100);
  ASSERT_TRUE(naive && profiled);
  expectColour(naive->row(8)[8], 255, 0, 0, 3.0);
  expectColour(profiled->row(8)[8], 0, 0, 255, 6.0);
  EXPECT_EQ(profiled->row(8)[8] >> 24, 255u);
}

// Grey stays R = G = B: a greyscale JPEG, and a grey PNG whose linear profile makes 128 the
// sRGB level 187.8.
TEST(ColourProfile, GreyComesOutNeutral) {
  codec::PngImage grey;
  grey.width = grey.height = 4;
  grey.pixels.assign(16, 128);
  cmsToneCurve* linear = cmsBuildGamma(nullptr, 1.0);
  grey.icc = profileBytes(cmsCreateGrayProfile(cmsD50_xyY(), linear));
  cmsFreeToneCurve(linear);
  ScratchDir dir;
  writeBytes(dir.file("grey.png"), *codec::encodePng(grey));
  auto png = decodePath(dir.file("grey.png"), 100);
  auto jpeg = decodeData("camera/grayscale.jpg", 1000);
  ASSERT_TRUE(png && jpeg);
  expectColour(png->row(2)[2], 187.8, 187.8, 187.8, 1.0);
  for (const Bitmap* bitmap : {&*png, &*jpeg}) {
    const RgbaImage channels = channelsOf(*bitmap);
    for (size_t i = 0; i < channels.rgba.size(); i += 4) {
      ASSERT_EQ(channels.rgba[i], channels.rgba[i + 1]) << i / 4;
      ASSERT_EQ(channels.rgba[i + 1], channels.rgba[i + 2]) << i / 4;
    }
  }
}

}  // namespace
}  // namespace velmo::testing
