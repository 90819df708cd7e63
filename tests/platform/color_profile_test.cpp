// Conversion to sRGB, checked against the colorimetry worked out here from each colour
// space's primaries and transfer curve (not through lcms2).
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <vector>

#include <cstdio>
#include <cstdlib>

#include <jpeglib.h>
#include <lcms2.h>
#include <libheif/heif.h>

#include "platform/color_profile.h"
#include "platform/image_encoder.h"
#include "platform/library_owners.h"
#include "tests/platform/decoder_test_support.h"
#include "tests/support/test_support.h"

namespace velmo::testing {
namespace {

using platform::CmsProfile;
using platform::CmykConverter;
using platform::ColorConverter;
using Matrix = std::array<std::array<double, 3>, 3>;
using Vec = std::array<double, 3>;

// ---------------------------------------------------------------------------------------
// Reference colorimetry

struct Space {
  double rx, ry, gx, gy, bx, by;  // primaries
  double (*decode)(double);       // encoded 0..1 to linear
};

double srgbDecode(double v) {
  return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
}
double srgbEncode(double v) {
  return v <= 0.0031308 ? v * 12.92 : 1.055 * std::pow(v, 1 / 2.4) - 0.055;
}
double adobeDecode(double v) {
  return std::pow(v, 563.0 / 256.0);
}

const Space kSrgb{0.64, 0.33, 0.30, 0.60, 0.15, 0.06, srgbDecode};
const Space kAdobeRgb{0.64, 0.33, 0.21, 0.71, 0.15, 0.06, adobeDecode};
const Space kDisplayP3{0.680, 0.320, 0.265, 0.690, 0.150, 0.060, srgbDecode};

Matrix inverse(const Matrix& m) {
  const double det = m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
                     m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                     m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
  Matrix r;
  r[0][0] = (m[1][1] * m[2][2] - m[1][2] * m[2][1]) / det;
  r[0][1] = (m[0][2] * m[2][1] - m[0][1] * m[2][2]) / det;
  r[0][2] = (m[0][1] * m[1][2] - m[0][2] * m[1][1]) / det;
  r[1][0] = (m[1][2] * m[2][0] - m[1][0] * m[2][2]) / det;
  r[1][1] = (m[0][0] * m[2][2] - m[0][2] * m[2][0]) / det;
  r[1][2] = (m[0][2] * m[1][0] - m[0][0] * m[1][2]) / det;
  r[2][0] = (m[1][0] * m[2][1] - m[1][1] * m[2][0]) / det;
  r[2][1] = (m[0][1] * m[2][0] - m[0][0] * m[2][1]) / det;
  r[2][2] = (m[0][0] * m[1][1] - m[0][1] * m[1][0]) / det;
  return r;
}

Vec times(const Matrix& m, const Vec& v) {
  return {m[0][0] * v[0] + m[0][1] * v[1] + m[0][2] * v[2],
          m[1][0] * v[0] + m[1][1] * v[1] + m[1][2] * v[2],
          m[2][0] * v[0] + m[2][1] * v[1] + m[2][2] * v[2]};
}

// Linear RGB to XYZ for primaries with a D65 white.
Matrix toXyz(const Space& s) {
  auto column = [](double x, double y) { return Vec{x / y, 1.0, (1 - x - y) / y}; };
  const Vec r = column(s.rx, s.ry), g = column(s.gx, s.gy), b = column(s.bx, s.by);
  const Matrix primaries{{{r[0], g[0], b[0]}, {r[1], g[1], b[1]}, {r[2], g[2], b[2]}}};
  const Vec white = column(0.3127, 0.3290);
  const Vec scale = times(inverse(primaries), white);
  Matrix m;
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) m[i][j] = primaries[i][j] * scale[j];
  }
  return m;
}

// The sRGB encoding of an 8-bit colour of |source|; nullopt when it lies outside sRGB.
std::optional<std::array<double, 3>> expectedSrgb(const Space& source, int r, int g, int b) {
  const Vec linear{source.decode(r / 255.0), source.decode(g / 255.0), source.decode(b / 255.0)};
  const Vec xyz = times(toXyz(source), linear);
  const Vec out = times(inverse(toXyz(kSrgb)), xyz);
  std::array<double, 3> encoded;
  for (int i = 0; i < 3; ++i) {
    if (out[i] < -1e-4 || out[i] > 1 + 1e-4) return std::nullopt;
    encoded[i] = 255 * srgbEncode(std::clamp(out[i], 0.0, 1.0));
  }
  return encoded;
}

// ---------------------------------------------------------------------------------------
// Profiles made for the tests

std::vector<uint8_t> saved(cmsHPROFILE profile) {
  cmsUInt32Number size = 0;
  EXPECT_TRUE(cmsSaveProfileToMem(profile, nullptr, &size));
  std::vector<uint8_t> bytes(size);
  EXPECT_TRUE(cmsSaveProfileToMem(profile, bytes.data(), &size));
  cmsCloseProfile(profile);
  return bytes;
}

// |padding| bytes of a private tag make the profile as large as wanted (a JPEG carries a
// profile over 65519 bytes in several APP2 segments).
std::vector<uint8_t> adobeRgbProfile(size_t padding = 0) {
  const cmsCIExyY d65{0.3127, 0.3290, 1.0};
  const cmsCIExyYTRIPLE primaries{{0.64, 0.33, 1.0}, {0.21, 0.71, 1.0}, {0.15, 0.06, 1.0}};
  cmsToneCurve* curve = cmsBuildGamma(nullptr, 563.0 / 256.0);
  cmsToneCurve* curves[3] = {curve, curve, curve};
  cmsHPROFILE profile = cmsCreateRGBProfile(&d65, &primaries, curves);
  cmsFreeToneCurve(curve);
  if (padding > 0) {
    std::vector<uint8_t> filler(padding, 0x5A);
    const auto privateTag = static_cast<cmsTagSignature>(0x7A7A7A7A);
    EXPECT_TRUE(cmsWriteRawTag(profile, privateTag, filler.data(),
                               static_cast<cmsUInt32Number>(filler.size())));
  }
  return saved(profile);
}

std::vector<uint8_t> linearGreyProfile() {
  cmsToneCurve* linear = cmsBuildGamma(nullptr, 1.0);
  cmsHPROFILE profile = cmsCreateGrayProfile(cmsD50_xyY(), linear);
  cmsFreeToneCurve(linear);
  return saved(profile);
}

void expectNear(uint32_t pixel, const std::array<double, 3>& expected, double tolerance,
                const std::string& what) {
  EXPECT_NEAR(redOf(pixel), expected[0], tolerance) << what;
  EXPECT_NEAR(greenOf(pixel), expected[1], tolerance) << what;
  EXPECT_NEAR(blueOf(pixel), expected[2], tolerance) << what;
}

const int kSamples[][3] = {{200, 60, 60},  {60, 180, 90}, {40, 70, 200},   {128, 128, 128},
                           {250, 240, 20}, {10, 10, 10},  {230, 120, 160}, {90, 200, 210}};

// ---------------------------------------------------------------------------------------

TEST(ColorConverter, SrgbProfileChangesNothing) {
  auto converter = ColorConverter::fromIcc(saved(cmsCreate_sRGBProfile()), false);
  ASSERT_TRUE(converter);
  Bitmap bitmap = makeBitmap(16, 16, false, [](uint32_t x, uint32_t y) {
    return opaque(x * 17, y * 17, (x * 7 + y * 11) % 256);
  });
  Bitmap original =
      makeBitmap(16, 16, false, [&](uint32_t x, uint32_t y) { return bitmap.row(y)[x]; });
  converter->convert(bitmap);
  EXPECT_LE(maxDifference(bitmap, original), 1);
}

TEST(ColorConverter, AdobeRgbMatchesTheColorimetry) {
  auto converter = ColorConverter::fromIcc(adobeRgbProfile(), false);
  ASSERT_TRUE(converter);
  for (const auto& s : kSamples) {
    auto expected = expectedSrgb(kAdobeRgb, s[0], s[1], s[2]);
    if (!expected) continue;
    Bitmap bitmap =
        makeBitmap(1, 1, false, [&](uint32_t, uint32_t) { return opaque(s[0], s[1], s[2]); });
    converter->convert(bitmap);
    EXPECT_EQ(alphaOf(bitmap.data()[0]), 255u);
    expectNear(bitmap.data()[0], *expected, 2.0, "Adobe RGB " + std::to_string(s[0]));
  }
}

TEST(ColorConverter, DisplayP3MatchesTheColorimetry) {
  auto converter = ColorConverter::displayP3();
  ASSERT_TRUE(converter);
  int checked = 0;
  for (const auto& s : kSamples) {
    auto expected = expectedSrgb(kDisplayP3, s[0], s[1], s[2]);
    if (!expected) continue;
    ++checked;
    Bitmap bitmap =
        makeBitmap(1, 1, false, [&](uint32_t, uint32_t) { return opaque(s[0], s[1], s[2]); });
    converter->convert(bitmap);
    expectNear(bitmap.data()[0], *expected, 2.0, "P3 " + std::to_string(s[0]));
  }
  EXPECT_GE(checked, 4);
}

TEST(ColorConverter, AlphaIsKeptAndColourConvertedUnpremultiplied) {
  auto converter = ColorConverter::fromIcc(adobeRgbProfile(), false);
  ASSERT_TRUE(converter);
  const auto expected = *expectedSrgb(kAdobeRgb, 200, 60, 60);
  Bitmap bitmap(3, 1, true);
  bitmap.data()[0] = platform::premultiply(200, 60, 60, 128);
  bitmap.data()[1] = 0;
  bitmap.data()[2] = platform::premultiply(200, 60, 60, 255);
  converter->convert(bitmap);
  EXPECT_EQ(alphaOf(bitmap.data()[0]), 128u);
  expectNear(bitmap.data()[0],
             {expected[0] * 128 / 255, expected[1] * 128 / 255, expected[2] * 128 / 255}, 2.0,
             "half transparent");
  EXPECT_EQ(bitmap.data()[1], 0u);
  expectNear(bitmap.data()[2], expected, 2.0, "opaque");
}

TEST(ColorConverter, GreyProfileConvertsGreyPixelsOnly) {
  const std::vector<uint8_t> grey = linearGreyProfile();
  EXPECT_FALSE(ColorConverter::fromIcc(grey, false));
  EXPECT_FALSE(ColorConverter::fromIcc(adobeRgbProfile(), true));
  auto converter = ColorConverter::fromIcc(grey, true);
  ASSERT_TRUE(converter);
  Bitmap bitmap = makeBitmap(1, 1, false, [](uint32_t, uint32_t) { return opaque(128, 128, 128); });
  converter->convert(bitmap);
  // Linear 128/255 in sRGB's curve.
  const double level = 255 * srgbEncode(128 / 255.0);
  expectNear(bitmap.data()[0], {level, level, level}, 1.0, "grey");
}

TEST(ColorConverter, UnusableProfilesAreRefused) {
  EXPECT_FALSE(ColorConverter::fromIcc({}, false));
  const std::vector<uint8_t> garbage(500, 0x42);
  EXPECT_FALSE(ColorConverter::fromIcc(garbage, false));
  EXPECT_FALSE(ColorConverter::fromIcc(saved(cmsCreateLab4Profile(nullptr)), false));
  std::vector<uint8_t> cut = adobeRgbProfile();
  cut.resize(cut.size() / 2);
  EXPECT_FALSE(ColorConverter::fromIcc(cut, false));
}

TEST(CmykConverter, NaiveConversionHandlesBothInkConventions) {
  const CmykConverter plain({}, false);
  const CmykConverter adobe({}, true);
  EXPECT_FALSE(plain.colorimetric());
  // Plain CMYK: 0 = no ink. Adobe's inverted CMYK: 255 = no ink.
  const uint8_t plainSamples[] = {0, 0, 0, 0, 255, 0, 0, 0, 0, 0, 0, 255, 0, 128, 255, 0};
  const uint8_t adobeSamples[] = {255, 255, 255, 255, 0,   255, 255, 255,
                                  255, 255, 255, 0,   255, 127, 0,   255};
  uint32_t a[4], b[4];
  plain.convertRow(plainSamples, a, 4);
  adobe.convertRow(adobeSamples, b, 4);
  const uint32_t expected[4] = {opaque(255, 255, 255), opaque(0, 255, 255), opaque(0, 0, 0),
                                opaque(255, 127, 0)};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(a[i], expected[i]) << i;
    EXPECT_EQ(b[i], expected[i]) << i;
  }
  // A profile of another colour space falls back to the naive conversion.
  EXPECT_FALSE(CmykConverter(adobeRgbProfile(), true).colorimetric());
}

// ---------------------------------------------------------------------------------------
// Profiles embedded in files

TEST(ColorManagement, JpegProfileIsAppliedEvenAcrossSeveralSegments) {
  ScratchDir dir;
  const Bitmap patch =
      makeBitmap(48, 32, false, [](uint32_t, uint32_t) { return opaque(200, 60, 60); });
  const auto expected = *expectedSrgb(kAdobeRgb, 200, 60, 60);
  for (size_t padding : {size_t{0}, size_t{150000}}) {
    const std::vector<uint8_t> icc = adobeRgbProfile(padding);
    const std::string path = dir.file("patch" + std::to_string(padding) + ".jpg");
    writeBytes(path, makeJpeg(patch, 100, icc));
    auto decoded = decodePath(path, 100);
    ASSERT_TRUE(decoded);
    const MeanColor mean = meanColor(*decoded);
    expectNear(opaque(uint32_t(std::lround(mean.r)), uint32_t(std::lround(mean.g)),
                      uint32_t(std::lround(mean.b))),
               expected, 3.0, "profile of " + std::to_string(icc.size()) + " bytes");
  }
}

TEST(ColorManagement, PngProfileIsAppliedToRgbAndGrey) {
  ScratchDir dir;
  platform::PngImage rgb;
  rgb.width = 4;
  rgb.height = 4;
  rgb.colorType = 2;
  rgb.bitDepth = 8;
  for (int i = 0; i < 16; ++i) rgb.pixels.insert(rgb.pixels.end(), {200, 60, 60});
  rgb.icc = adobeRgbProfile();
  const std::string rgbPath = dir.file("rgb.png");
  writeBytes(rgbPath, *platform::encodePng(rgb));
  auto decoded = decodePath(rgbPath, 100);
  ASSERT_TRUE(decoded);
  expectNear(decoded->data()[5], *expectedSrgb(kAdobeRgb, 200, 60, 60), 2.0, "RGB PNG");

  platform::PngImage grey;
  grey.width = 4;
  grey.height = 4;
  grey.colorType = 0;
  grey.bitDepth = 8;
  grey.pixels.assign(16, 128);
  grey.icc = linearGreyProfile();
  const std::string greyPath = dir.file("grey.png");
  writeBytes(greyPath, *platform::encodePng(grey));
  auto greyDecoded = decodePath(greyPath, 100);
  ASSERT_TRUE(greyDecoded);
  const double level = 255 * srgbEncode(128 / 255.0);
  expectNear(greyDecoded->data()[5], {level, level, level}, 1.0, "grey PNG");
}

// A CMYK profile whose colours are the naive ones with red and blue exchanged, so that a
// conversion through it is told apart from the naive fallback at a glance.
void swappedNaiveSampler(const cmsUInt16Number in[], cmsUInt16Number out[], void* toLab) {
  // Ink amounts 0..65535 (0 = no ink) to the naive RGB, then red and blue exchanged.
  auto light = [&](int i) { return (1 - in[i] / 65535.0) * (1 - in[3] / 65535.0); };
  const double rgb[3] = {light(2), light(1), light(0)};
  cmsCIELab lab;
  cmsDoTransform(toLab, rgb, &lab, 1);
  cmsFloat2LabEncoded(out, &lab);
}

std::vector<uint8_t> swappedCmykProfile() {
  cmsHPROFILE srgb = cmsCreate_sRGBProfile();
  cmsHPROFILE lab = cmsCreateLab4Profile(nullptr);
  cmsHTRANSFORM toLab = cmsCreateTransform(srgb, TYPE_RGB_DBL, lab, TYPE_Lab_DBL,
                                           INTENT_RELATIVE_COLORIMETRIC, cmsFLAGS_NOCACHE);
  cmsHPROFILE profile = cmsCreateProfilePlaceholder(nullptr);
  cmsSetProfileVersion(profile, 4.3);
  cmsSetDeviceClass(profile, cmsSigOutputClass);
  cmsSetColorSpace(profile, cmsSigCmykData);
  cmsSetPCS(profile, cmsSigLabData);
  cmsPipeline* pipeline = cmsPipelineAlloc(nullptr, 4, 3);
  cmsStage* grid = cmsStageAllocCLut16bit(nullptr, 9, 4, 3, nullptr);
  cmsStageSampleCLut16bit(
      grid,
      [](const cmsUInt16Number in[], cmsUInt16Number out[], void* cargo) -> cmsInt32Number {
        swappedNaiveSampler(in, out, cargo);
        return TRUE;
      },
      toLab, 0);
  // Version 4 lookup tables are curves, grid, curves: identity curves around the grid.
  cmsPipelineInsertStage(pipeline, cmsAT_END, cmsStageAllocToneCurves(nullptr, 4, nullptr));
  cmsPipelineInsertStage(pipeline, cmsAT_END, grid);
  cmsPipelineInsertStage(pipeline, cmsAT_END, cmsStageAllocToneCurves(nullptr, 3, nullptr));
  cmsWriteTag(profile, cmsSigAToB0Tag, pipeline);
  cmsWriteTag(profile, cmsSigMediaWhitePointTag, cmsD50_XYZ());
  cmsPipelineFree(pipeline);
  cmsDeleteTransform(toLab);
  cmsCloseProfile(lab);
  cmsCloseProfile(srgb);
  return saved(profile);
}

// A flat Adobe-style CMYK JPEG (YCCK with the APP14 marker, samples stored inverted).
std::vector<uint8_t> adobeCmykJpeg(const uint8_t inks[4], std::span<const uint8_t> icc) {
  jpeg_compress_struct cinfo{};
  jpeg_error_mgr errors{};
  cinfo.err = jpeg_std_error(&errors);
  jpeg_create_compress(&cinfo);
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&cinfo, &buffer, &size);
  cinfo.image_width = 16;
  cinfo.image_height = 16;
  cinfo.input_components = 4;
  cinfo.in_color_space = JCS_CMYK;
  jpeg_set_defaults(&cinfo);
  jpeg_set_colorspace(&cinfo, JCS_YCCK);
  jpeg_set_quality(&cinfo, 100, TRUE);
  jpeg_start_compress(&cinfo, TRUE);
  if (!icc.empty()) jpeg_write_icc_profile(&cinfo, icc.data(), unsigned(icc.size()));
  std::vector<uint8_t> row;
  for (int x = 0; x < 16; ++x) {
    for (int k = 0; k < 4; ++k) row.push_back(uint8_t(255 - inks[k]));
  }
  while (cinfo.next_scanline < cinfo.image_height) {
    JSAMPROW rows[1] = {row.data()};
    jpeg_write_scanlines(&cinfo, rows, 1);
  }
  jpeg_finish_compress(&cinfo);
  std::vector<uint8_t> bytes(buffer, buffer + size);
  jpeg_destroy_compress(&cinfo);
  std::free(buffer);
  return bytes;
}

TEST(ColorManagement, CmykJpegGoesThroughItsProfile) {
  ScratchDir dir;
  const uint8_t red[4] = {0, 255, 255, 0};  // magenta and yellow ink
  const std::string naive = dir.file("naive.jpg");
  writeBytes(naive, adobeCmykJpeg(red, {}));
  const std::string profiled = dir.file("profiled.jpg");
  writeBytes(profiled, adobeCmykJpeg(red, swappedCmykProfile()));
  auto plain = decodePath(naive, 100);
  auto converted = decodePath(profiled, 100);
  ASSERT_TRUE(plain && converted);
  expectNear(plain->data()[100], {255, 0, 0}, 3.0, "naive");
  expectNear(converted->data()[100], {0, 0, 255}, 6.0, "through the profile");
  EXPECT_EQ(alphaOf(converted->data()[100]), 255u);
}

heif_error appendHeif(heif_context*, const void* data, size_t size, void* user) {
  auto& out = *static_cast<std::vector<uint8_t>*>(user);
  out.insert(out.end(), static_cast<const uint8_t*>(data),
             static_cast<const uint8_t*>(data) + size);
  return heif_error{heif_error_Ok, heif_suberror_Unspecified, "ok"};
}

// A flat 64 x 64 AVIF of (200, 60, 60) whose nclx colour box names |primaries|.
std::vector<uint8_t> flatAvif(heif_color_primaries primaries) {
  std::vector<uint8_t> out;
  platform::HeifContext context(heif_context_alloc());
  heif_encoder* rawEncoder = nullptr;
  if (heif_context_get_encoder_for_format(context.get(), heif_compression_AV1, &rawEncoder).code !=
      heif_error_Ok) {
    ADD_FAILURE() << "no AV1 encoder";
    return out;
  }
  std::unique_ptr<heif_encoder, platform::ReleaseWith<heif_encoder_release>> encoder(rawEncoder);
  heif_encoder_set_lossy_quality(encoder.get(), 90);
  heif_encoder_set_parameter(encoder.get(), "speed", "9");
  heif_image* rawImage = nullptr;
  heif_image_create(64, 64, heif_colorspace_RGB, heif_chroma_interleaved_RGB, &rawImage);
  platform::HeifImage image(rawImage);
  heif_image_add_plane(image.get(), heif_channel_interleaved, 64, 64, 8);
  int stride = 0;
  uint8_t* plane = heif_image_get_plane(image.get(), heif_channel_interleaved, &stride);
  for (int y = 0; y < 64; ++y) {
    for (int x = 0; x < 64; ++x) {
      uint8_t* p = plane + y * stride + x * 3;
      p[0] = 200;
      p[1] = 60;
      p[2] = 60;
    }
  }
  platform::HeifNclxProfile nclx(heif_nclx_color_profile_alloc());
  nclx->color_primaries = primaries;
  nclx->transfer_characteristics = heif_transfer_characteristic_IEC_61966_2_1;
  nclx->matrix_coefficients = heif_matrix_coefficients_ITU_R_BT_601_6;
  nclx->full_range_flag = 1;
  heif_image_set_nclx_color_profile(image.get(), nclx.get());
  heif_image_handle* handle = nullptr;
  EXPECT_EQ(
      heif_context_encode_image(context.get(), image.get(), encoder.get(), nullptr, &handle).code,
      heif_error_Ok);
  platform::HeifImageHandle owned(handle);
  heif_writer writer{1, appendHeif};
  EXPECT_EQ(heif_context_write(context.get(), &writer, &out).code, heif_error_Ok);
  return out;
}

// Display P3 described by nclx primaries (12): converted; BT.709 primaries: sRGB's own.
// AV1 coding of a flat patch moves it by a level or two.
TEST(ColorManagement, HeifNclxDisplayP3IsConverted) {
  ScratchDir dir;
  const std::string p3 = dir.file("p3.avif");
  writeBytes(p3, flatAvif(heif_color_primaries_SMPTE_EG_432_1));
  const std::string srgb = dir.file("srgb.avif");
  writeBytes(srgb, flatAvif(heif_color_primaries_ITU_R_BT_709_5));
  auto converted = decodePath(p3, 64);
  auto unchanged = decodePath(srgb, 64);
  ASSERT_TRUE(converted && unchanged);
  expectNear(converted->data()[64 * 32 + 32], *expectedSrgb(kDisplayP3, 200, 60, 60), 4.0,
             "P3 AVIF");
  expectNear(unchanged->data()[64 * 32 + 32], {200, 60, 60}, 4.0, "BT.709 AVIF");
}

}  // namespace
}  // namespace velmo::testing
