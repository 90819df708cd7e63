#include "platform/color_profile.h"

#include <algorithm>
#include <limits>
#include <vector>

namespace velmo::platform {
namespace {

// Little-endian 0xAARRGGBB is the byte order B, G, R, A.
constexpr cmsUInt32Number kPixelFormat = TYPE_BGRA_8;

// Relative colorimetric, with black point compensation so that the source's black maps to
// sRGB black instead of a lifted grey (it changes nothing for matrix-shaper profiles, whose
// black is zero already).
constexpr cmsUInt32Number kIntent = INTENT_RELATIVE_COLORIMETRIC;
constexpr cmsUInt32Number kFlags = cmsFLAGS_BLACKPOINTCOMPENSATION;

CmsProfile openProfile(std::span<const uint8_t> icc) {
  if (icc.empty() || icc.size() > std::numeric_limits<cmsUInt32Number>::max()) return nullptr;
  return CmsProfile(cmsOpenProfileFromMem(icc.data(), static_cast<cmsUInt32Number>(icc.size())));
}

uint32_t unpremultiplied(uint32_t p) {
  const uint32_t a = p >> 24;
  if (a == 255 || a == 0) return p;
  return (a << 24) | (uint32_t{unpremultiply((p >> 16) & 0xFF, a)} << 16) |
         (uint32_t{unpremultiply((p >> 8) & 0xFF, a)} << 8) | unpremultiply(p & 0xFF, a);
}

}  // namespace

std::optional<ColorConverter> ColorConverter::fromIcc(std::span<const uint8_t> icc,
                                                      bool greyPixels) {
  CmsProfile source = openProfile(icc);
  if (!source) return std::nullopt;
  CmsProfile srgb(cmsCreate_sRGBProfile());
  if (!srgb) return std::nullopt;

  ColorConverter converter;
  const cmsColorSpaceSignature space = cmsGetColorSpace(source.get());
  if (space == cmsSigRgbData && !greyPixels) {
    converter.transform_.reset(cmsCreateTransform(source.get(), kPixelFormat, srgb.get(),
                                                  kPixelFormat, kIntent,
                                                  kFlags | cmsFLAGS_COPY_ALPHA));
    if (!converter.transform_) return std::nullopt;
    return converter;
  }
  if (space == cmsSigGrayData && greyPixels) {
    CmsTransform grey(
        cmsCreateTransform(source.get(), TYPE_GRAY_8, srgb.get(), kPixelFormat, kIntent, kFlags));
    if (!grey) return std::nullopt;
    std::array<uint8_t, 256> levels;
    for (size_t i = 0; i < levels.size(); ++i) levels[i] = static_cast<uint8_t>(i);
    std::array<uint32_t, 256> table;
    // The transform writes colour only; the alpha byte stays as filled here.
    table.fill(0xFF000000u);
    cmsDoTransform(grey.get(), levels.data(), table.data(), 256);
    converter.greyLevels_ = table;
    return converter;
  }
  return std::nullopt;
}

std::optional<ColorConverter> ColorConverter::displayP3() {
  const cmsCIExyY d65{0.3127, 0.3290, 1.0};
  const cmsCIExyYTRIPLE primaries{{0.680, 0.320, 1.0}, {0.265, 0.690, 1.0}, {0.150, 0.060, 1.0}};
  // The sRGB curve as an ICC parametric curve of type 4.
  const cmsFloat64Number srgbCurve[5] = {2.4, 1.0 / 1.055, 0.055 / 1.055, 1.0 / 12.92, 0.04045};
  CmsToneCurve curve(cmsBuildParametricToneCurve(nullptr, 4, srgbCurve));
  if (!curve) return std::nullopt;
  cmsToneCurve* curves[3] = {curve.get(), curve.get(), curve.get()};
  CmsProfile p3(cmsCreateRGBProfile(&d65, &primaries, curves));
  CmsProfile srgb(cmsCreate_sRGBProfile());
  if (!p3 || !srgb) return std::nullopt;
  ColorConverter converter;
  converter.transform_.reset(cmsCreateTransform(p3.get(), kPixelFormat, srgb.get(), kPixelFormat,
                                                kIntent, kFlags | cmsFLAGS_COPY_ALPHA));
  if (!converter.transform_) return std::nullopt;
  return converter;
}

void ColorConverter::convert(Bitmap& bitmap) const {
  const uint32_t width = bitmap.width();
  if (greyLevels_) {
    const auto& table = *greyLevels_;
    for (uint32_t y = 0; y < bitmap.height(); ++y) {
      uint32_t* row = bitmap.row(y);
      for (uint32_t x = 0; x < width; ++x) {
        // R = G = B in a decoded grey image; blue stands for all three.
        const uint32_t p = unpremultiplied(row[x]);
        const uint32_t a = p >> 24;
        row[x] = premultiplyArgb((a << 24) | (table[p & 0xFF] & 0x00FFFFFFu));
      }
    }
    return;
  }
  if (!transform_) return;
  if (!bitmap.hasAlpha()) {
    for (uint32_t y = 0; y < bitmap.height(); ++y) {
      cmsDoTransform(transform_.get(), bitmap.row(y), bitmap.row(y), width);
    }
    return;
  }
  std::vector<uint32_t> straight(width);
  for (uint32_t y = 0; y < bitmap.height(); ++y) {
    uint32_t* row = bitmap.row(y);
    std::transform(row, row + width, straight.begin(), unpremultiplied);
    cmsDoTransform(transform_.get(), straight.data(), straight.data(), width);
    std::transform(straight.begin(), straight.end(), row, premultiplyArgb);
  }
}

CmykConverter::CmykConverter(std::span<const uint8_t> icc, bool inverted) : inverted_(inverted) {
  CmsProfile source = openProfile(icc);
  if (!source || cmsGetColorSpace(source.get()) != cmsSigCmykData) return;
  CmsProfile srgb(cmsCreate_sRGBProfile());
  if (!srgb) return;
  transform_.reset(cmsCreateTransform(source.get(), inverted ? TYPE_CMYK_8_REV : TYPE_CMYK_8,
                                      srgb.get(), kPixelFormat, kIntent, kFlags));
}

void CmykConverter::convertRow(const uint8_t* cmyk, uint32_t* out, uint32_t count) const {
  if (transform_) {
    // The transform writes colour only; the alpha byte stays as filled here.
    std::fill(out, out + count, 0xFF000000u);
    cmsDoTransform(transform_.get(), cmyk, out, count);
    return;
  }
  const uint32_t flip = inverted_ ? 0 : 255;
  for (uint32_t x = 0; x < count; ++x) {
    const uint8_t* s = cmyk + size_t{x} * 4;
    // Amounts of light left by each ink, 255 = no ink.
    const uint32_t c = s[0] ^ flip, m = s[1] ^ flip, yl = s[2] ^ flip, k = s[3] ^ flip;
    auto mix = [k](uint32_t v) {
      const uint32_t t = v * k + 128;
      return (t + (t >> 8)) >> 8;
    };
    out[x] = 0xFF000000u | (mix(c) << 16) | (mix(m) << 8) | mix(yl);
  }
}

}  // namespace velmo::platform
