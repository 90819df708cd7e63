// Colour conversion of decoded pixels to sRGB.
//
// Every canvas of the render path is treated as sRGB, so pixels that a file describes with an
// embedded ICC profile (or, for HEIF, an nclx colour description) are converted once, right
// after decoding, with lcms2 and the relative colorimetric intent. Pixels without a usable
// description are taken as sRGB unchanged; a profile that lcms2 cannot read is ignored
// rather than failing the decode.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include <lcms2.h>
#include "platform/bitmap.h"

#include "platform/owner.h"

namespace velmo::platform {

// lcms2: profiles and transforms. Both handles are void pointers in lcms2, so the owners
// differ only by their deleters; keep each handle in the owner of its own kind.
using CmsProfile = Owner<void, cmsCloseProfile>;
using CmsTransform = Owner<void, cmsDeleteTransform>;
using CmsToneCurve = Owner<cmsToneCurve, cmsFreeToneCurve>;

// Converts Bitmap pixels (premultiplied 0xAARRGGBB) from a source colour space to sRGB.
class ColorConverter {
 public:
  // For pixels described by |icc|: an RGB profile, or a grey one when |greyPixels| (the
  // decoded pixels came from a grey image and have R = G = B). nullopt when lcms2 cannot
  // read the profile or make a transform from it, or when the profile describes another
  // colour space than the image's, since it then does not describe these pixels.
  static std::optional<ColorConverter> fromIcc(std::span<const uint8_t> icc, bool greyPixels);

  // For Display P3 pixels: the P3 primaries with a D65 white point and the sRGB transfer
  // curve, as an nclx colour description with primaries 12 (SMPTE EG 432-1) means.
  static std::optional<ColorConverter> displayP3();

  // Converts every pixel of |bitmap| in place. Alpha is kept; pixels with alpha are
  // converted unpremultiplied and premultiplied again.
  void convert(Bitmap& bitmap) const;

 private:
  ColorConverter() = default;

  // RGB sources use the lcms2 transform; grey sources a table of the 256 grey levels, since
  // a decoded grey image already has R = G = B.
  CmsTransform transform_;
  std::optional<std::array<uint32_t, 256>> greyLevels_;
};

// Converts rows of 8-bit CMYK samples, as libjpeg delivers them, to opaque Bitmap pixels.
class CmykConverter {
 public:
  // |inverted|: the samples are stored inverted (255 means no ink), as in the CMYK JPEG
  // files that Adobe applications write. |icc|: the file's ICC profile, or empty. A CMYK
  // profile that lcms2 can use converts colorimetrically; otherwise the conversion is the
  // naive one, R = (1 - C)(1 - K) and likewise for G and B.
  CmykConverter(std::span<const uint8_t> icc, bool inverted);

  bool colorimetric() const { return transform_ != nullptr; }

  // |cmyk| holds |count| pixels of four samples each; |out| receives |count| pixels.
  void convertRow(const uint8_t* cmyk, uint32_t* out, uint32_t count) const;

 private:
  CmsTransform transform_;
  bool inverted_;
};

}  // namespace velmo::platform
