// Reading and writing small test images independently of the code under test, and
// measuring the difference between two images.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace velmo::testing {

// 8-bit straight RGBA, rows packed.
struct RgbaImage {
  uint32_t width = 0;
  uint32_t height = 0;
  std::vector<uint8_t> rgba;

  RgbaImage() = default;
  RgbaImage(uint32_t w, uint32_t h) : width(w), height(h), rgba(size_t{w} * h * 4, 0) {}
  uint8_t* at(uint32_t x, uint32_t y) { return rgba.data() + (size_t{y} * width + x) * 4; }
  const uint8_t* at(uint32_t x, uint32_t y) const {
    return rgba.data() + (size_t{y} * width + x) * 4;
  }
  // An image whose pixel (x, y) is |color|(x, y) as 0xAARRGGBB.
  static RgbaImage generate(uint32_t w, uint32_t h,
                            const std::function<uint32_t(uint32_t, uint32_t)>& color);
  // An image whose every pixel is |color| (0xAARRGGBB).
  static RgbaImage filled(uint32_t w, uint32_t h, uint32_t color) {
    return generate(w, h, [color](uint32_t, uint32_t) { return color; });
  }
};

// A file's bytes, and a file made of |bytes|; both throw on failure.
std::vector<uint8_t> readBytes(const std::string& path);
void writeBytes(const std::string& path, const std::vector<uint8_t>& bytes);

// Decodes a PNG (libspng, to RGBA8) or JPEG (libjpeg, alpha 255); throws on failure.
RgbaImage decodeImage(const std::vector<uint8_t>& bytes);
RgbaImage readImageFile(const std::string& path);
// Format of the file by its signature: "png", "jpeg" or "".
std::string sniffFormat(const std::string& path);
// Writes an 8-bit PNG, RGBA when |alpha|, else RGB; throws on failure.
void writePngFile(const std::string& path, const RgbaImage& image, bool alpha);
// Writes a baseline JPEG at |quality|; throws on failure.
void writeJpegFile(const std::string& path, const RgbaImage& image, int quality = 95);

// Mean of each |box| x |box| block of the window (x0, y0, width, height), rounded to nearest;
// box 1 is a plain cut.
RgbaImage boxAverage(const RgbaImage& image, uint32_t x0, uint32_t y0, uint32_t width,
                     uint32_t height, uint32_t box = 1);

// Peak signal-to-noise ratio over the R, G, B (and A when |withAlpha|) channels; infinity
// for identical images. The sizes must match.
double psnr(const RgbaImage& a, const RgbaImage& b, bool withAlpha = false);
// Largest absolute difference of any channel.
int maxDifference(const RgbaImage& a, const RgbaImage& b, bool withAlpha = true);

}  // namespace velmo::testing
