// Helpers for the decoder tests: decoding files to render bitmaps, measuring them, and
// writing flat JPEGs whose colour, profile and scan script are chosen by the test.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "codec/image_probe.h"
#include "platform/bitmap.h"
#include "tests/support/image_files.h"

namespace velmo::testing {

// The probe's answer for |path| (absolute); nullopt when it cannot be opened or probed.
std::optional<codec::ImageInfo> probePath(const std::string& path);
// Probes |path| (absolute) and decodes it at |maxPixelSize|; nullopt when either step yields
// nothing. With |info| the probe is skipped and |info| used instead.
std::optional<platform::Bitmap> decodePath(const std::string& path, uint32_t maxPixelSize,
                                           const std::optional<codec::ImageInfo>& info = {});
std::optional<platform::Bitmap> decodeData(const std::string& relative, uint32_t maxPixelSize);
codec::ImageInfo infoFor(codec::ImageFormat format, std::optional<int64_t> orientation = {});

// A bitmap whose pixel (x, y) is |pixel|(x, y).
platform::Bitmap makeBitmap(uint32_t width, uint32_t height, bool hasAlpha,
                            const std::function<uint32_t(uint32_t, uint32_t)>& pixel);
// The bitmap's channels as stored (premultiplied), for psnr() and maxDifference().
RgbaImage channelsOf(const platform::Bitmap& bitmap);

struct MeanColor {
  double a = 0, r = 0, g = 0, b = 0;
};
// Mean of the pixels in [x0, x1) x [y0, y1).
MeanColor meanColor(const platform::Bitmap& bitmap, uint32_t x0, uint32_t y0, uint32_t x1,
                    uint32_t y1);

// An Adobe RGB (1998) profile, from its primaries and curve, as bytes; |padding| bytes of a
// private tag make it larger.
std::vector<uint8_t> adobeRgbProfile(size_t padding = 0);
// The bytes of an lcms2 |profile|, which is closed.
std::vector<uint8_t> profileBytes(void* profile);

// A JPEG whose every pixel is |pixel|: three samples for RGB, or four ink amounts (0 = no
// ink) for a CMYK file stored inverted as YCCK with the Adobe marker, as Photoshop writes it.
struct FlatJpeg {
  uint32_t width = 16, height = 16;
  std::vector<uint8_t> pixel = {};
  std::vector<uint8_t> icc = {};  // embedded when not empty, over several APP2 segments if large
  // When >= 0: progressive, each AC coefficient of each component in a scan of its own,
  // first sent with this many low bits dropped and then refined one bit per scan.
  int refinements = -1;
};
std::vector<uint8_t> flatJpeg(const FlatJpeg& flat);

}  // namespace velmo::testing
