// What the benchmark programs share: reading and writing the generated inputs, and the
// libjpeg-turbo reference operations that set the floor for our own. Nothing here links the
// product's code beyond the Bitmap layout, so the inputs can be made while it is in pieces.
//
// These programs run on inputs they generated themselves, so a library failure here is a
// broken bench, not bad input: the helpers print what failed and exit instead of recovering.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/bitmap.h"

namespace velmo::bench {

// Prints "bench: |what|" to stderr and exits with status 2.
[[noreturn]] void die(const std::string& what);

// 8-bit interleaved pixels, |channels| per pixel (3 RGB, 4 straight RGBA), rows packed.
struct Pixels {
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t channels = 3;
  std::vector<uint8_t> data;

  size_t rowBytes() const { return size_t{width} * channels; }
  uint8_t* row(uint32_t y) { return data.data() + y * rowBytes(); }
  const uint8_t* row(uint32_t y) const { return data.data() + y * rowBytes(); }
};

// Binary PPM (P6, maxval 255), the input cjpeg reads.
Pixels readPpm(const std::string& path);
void writePpm(const std::string& path, const Pixels& image);

// An 8-bit RGB or RGBA PNG decoded whole with libspng (RGBA stays straight alpha).
Pixels readPng(const std::string& path);

// Pixels in the render layout: premultiplied 0xAARRGGBB, alpha declared when |image| has 4
// channels.
platform::Bitmap toBitmap(const Pixels& image);

// libjpeg-turbo compressing |image| (RGB) exactly as `cjpeg -quality Q` does by default:
// 4:2:0, islow DCT, standard Huffman tables; |optimize| adds `-optimize`.
std::vector<uint8_t> libjpegCompress(const Pixels& image, int quality, bool optimize);

// libjpeg-turbo decoding the JPEG at |path| to RGB with DCT scaling |scaleNum|/8, the fast
// path `djpeg -scale N/8` takes; no resampling beyond the DCT.
Pixels libjpegDecodeScaled(const std::string& path, unsigned scaleNum);

// The smallest DCT scale N/8 (N 1..8) at which the longer side of a |width| x |height| JPEG is
// still at least |limit|, the scale a decode to |limit| has to start from.
unsigned dctScaleFor(uint32_t width, uint32_t height, uint32_t limit);

// The "render-full" job, done the same way by ours and by every peer: the 12 MP photo cut to
// its middle 80 % and rendered to 1080 x 810, with five pen strokes of 50 points (5 output
// pixels wide, round caps and joins), one blur brush of 20 points (40 output pixels wide) and
// a small signature. Points are fractions of the whole photo (bench/pillow_full.py repeats
// these formulas for Pillow).
struct FractionPoint {
  double x = 0;
  double y = 0;
};
inline constexpr double kFullInset = 0.1;  // crop [0.1, 0.1, 0.8, 0.8]
inline constexpr int kFullWidth = 1080;
inline constexpr int kFullHeight = 810;
inline constexpr double kFullPenWidth = 5;    // output pixels
inline constexpr double kFullBlurWidth = 40;  // output pixels
inline constexpr uint32_t kFullPenColor = 0xFFFF3B30;
inline constexpr const char* kFullSignature = "Velmo 2026";
std::vector<std::vector<FractionPoint>> fullJobPens();  // 5 strokes of 50 points
std::vector<FractionPoint> fullJobBlurPath();           // 20 points
// Where a fraction of the photo lands on the 1080 x 810 output.
inline FractionPoint fullJobOnCanvas(FractionPoint p) {
  const double side = 1 - 2 * kFullInset;
  return {(p.x - kFullInset) / side * kFullWidth, (p.y - kFullInset) / side * kFullHeight};
}

}  // namespace velmo::bench
