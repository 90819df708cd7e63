// Helpers for the decoder tests: decoding test files, measuring pixels, and writing small
// synthetic images whose every pixel is known.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/bitmap.h"
#include "platform/image_probe.h"

namespace velmo::testing {

using platform::Bitmap;
using platform::ImageInfo;

inline uint32_t alphaOf(uint32_t p) {
  return p >> 24;
}
inline uint32_t redOf(uint32_t p) {
  return (p >> 16) & 0xFF;
}
inline uint32_t greenOf(uint32_t p) {
  return (p >> 8) & 0xFF;
}
inline uint32_t blueOf(uint32_t p) {
  return p & 0xFF;
}
inline uint32_t opaque(uint32_t r, uint32_t g, uint32_t b) {
  return 0xFF000000u | (r << 16) | (g << 8) | b;
}

// Probes |path| (an absolute path) and decodes it with |maxPixelSize|; nullopt when either
// step yields nothing.
std::optional<Bitmap> decodePath(const std::string& path, uint32_t maxPixelSize);
// The same for a file under tests/data.
std::optional<Bitmap> decodeData(const std::string& relative, uint32_t maxPixelSize);
// Decodes with a hand-made ImageInfo, without probing.
std::optional<Bitmap> decodeAs(const std::string& path, const ImageInfo& info,
                               uint32_t maxPixelSize);
ImageInfo infoFor(platform::ImageFormat format, std::optional<int64_t> orientation = {});

// Peak signal-to-noise ratio over the colour channels of two bitmaps of the same size
// (infinity when equal); 0 when the sizes differ.
double psnr(const Bitmap& a, const Bitmap& b);
// Largest difference of any channel, alpha included; 256 when the sizes differ.
int maxDifference(const Bitmap& a, const Bitmap& b);

struct MeanColor {
  double a = 0, r = 0, g = 0, b = 0;
};
// Mean of the pixels in [x0, x1) x [y0, y1).
MeanColor meanColor(const Bitmap& bitmap, uint32_t x0, uint32_t y0, uint32_t x1, uint32_t y1);
MeanColor meanColor(const Bitmap& bitmap);

// A bitmap filled by |pixel(x, y)|.
Bitmap makeBitmap(uint32_t width, uint32_t height, bool hasAlpha,
                  const std::function<uint32_t(uint32_t, uint32_t)>& pixel);

std::vector<uint8_t> readBytes(const std::string& path);
void writeBytes(const std::string& path, std::span<const uint8_t> bytes);

// A baseline (or, with |scans| > 0, progressive) 8-bit RGB JPEG of an opaque bitmap, with
// |icc| embedded when not empty. |scans| asks for a progression of about that many scans,
// all valid: successive-approximation scans one coefficient and one component at a time.
std::vector<uint8_t> makeJpeg(const Bitmap& bitmap, int quality, std::span<const uint8_t> icc = {},
                              int scans = 0);

// A GIF of |width| x |height| frames drawn from |indices| (row-major, |frameWidth| wide)
// with |palette| (RGB triplets), placed at (left, top) on a |screenWidth| x |screenHeight|
// screen, interlaced or not, with |transparent| as the transparent index (-1: none). With
// |frames| > 1 the same frame repeats, filled with |laterFramesIndex| when that is >= 0.
struct GifSpec {
  uint32_t screenWidth = 0, screenHeight = 0;
  uint32_t left = 0, top = 0, frameWidth = 0, frameHeight = 0;
  std::vector<uint8_t> indices;
  std::vector<uint8_t> palette;
  bool interlaced = false;
  int transparent = -1;
  int frames = 1;
  int laterFramesIndex = -1;
};
std::vector<uint8_t> makeGif(const GifSpec& spec);

}  // namespace velmo::testing
