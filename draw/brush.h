// A round brush rasterised straight into coverage bytes, without a path or a stroker, and the
// blends that lay a colour or an image through those bytes.
//
// A pixel's coverage is clamp(r - d, 0, 1), r half the brush width plus half a pixel and d the
// distance from the pixel's centre to the brush's path: the stroked outline with round caps
// and joins, its edge antialiased over one pixel. The distance to a polyline is the smallest
// of the distances to its segments, so a polyline is drawn segment by segment, each with its
// two round ends, and every pixel keeps the largest coverage it is given: the brush is laid
// down once where it crosses itself.
//
// The pixel loops come in three builds (plain, SSE2 and AVX2 with FMA); the widest the
// processor runs is picked once, when first used.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "draw/geometry.h"

namespace velmo::draw {

// Coverage bytes over a rectangle of a canvas, one per pixel, with the span of each row that
// holds any coverage. Kept between strokes so that its memory is reused.
class CoverageMask {
 public:
  // The mask over |width| x |height| canvas pixels from (x, y), with nothing covered.
  void reset(int x, int y, int width, int height);

  int x() const { return x_; }
  int y() const { return y_; }
  int width() const { return width_; }
  int height() const { return height_; }
  // Rows are stride() bytes apart, at least width() + 31: the pixel loops work pixels in
  // groups from a span's first pixel, and those past the span's end land in the row's padding.
  size_t stride() const { return stride_; }
  uint8_t* row(int y) { return bytes_.data() + static_cast<size_t>(y) * stride_; }
  const uint8_t* row(int y) const { return bytes_.data() + static_cast<size_t>(y) * stride_; }

  // The first and last pixel of row y that may be covered; first > last for none.
  int first(int y) const { return first_[static_cast<size_t>(y)]; }
  int last(int y) const { return last_[static_cast<size_t>(y)]; }
  // Grows row y's span to take in pixels first to last.
  void widen(int y, int first, int last);
  // Every row's span is the whole row: for coverage drawn by other means.
  void widenAll();

  // The spans, for the pixel loops: one first and one last pixel per row.
  int* firsts() { return first_.data(); }
  int* lasts() { return last_.data(); }
  const int* firsts() const { return first_.data(); }
  const int* lasts() const { return last_.data(); }

 private:
  int x_ = 0;
  int y_ = 0;
  int width_ = 0;
  int height_ = 0;
  size_t stride_ = 0;
  std::vector<uint8_t> bytes_;
  std::vector<int> first_;
  std::vector<int> last_;
};

class RoundBrush {
 public:
  // A brush |lineWidth| pixels wide (at least 1, at most a few thousand) drawing into |mask|.
  // Points are given on the canvas and must lie within the mask grown by the line width and a
  // few pixels; the mask lies within a canvas of at most a few tens of thousands of pixels a
  // side, where floats place a pixel to a thousandth.
  RoundBrush(CoverageMask& mask, double lineWidth);

  // The brush along the segment from |from| to |to|, with round ends: a disc when they are the
  // same point.
  void segment(Point from, Point to);

 private:
  CoverageMask& mask_;
  float radius_;  // half the width plus half a pixel: where coverage reaches 0
};

// Premultiplied 0xAARRGGBB, as the canvas holds its pixels.
using PremultipliedPixel = uint32_t;

// How a source is laid through coverage m (0 to 1) onto a pixel, each channel rounded as
// pixman rounds it:
//   Over: source * m + pixel * (1 - alpha * m), alpha being the source's;
//   Copy: source * m + pixel * (1 - m): the source replaces the pixel, alpha included.
enum class MaskBlend { Over, Copy };

// Lays |color| through |mask| onto the canvas pixels |canvas| (rows |canvasStride| bytes
// apart, the mask's pixel (0, 0) at canvas pixel (mask.x(), mask.y())), on the spans only.
void blendColorThrough(uint8_t* canvas, size_t canvasStride, const CoverageMask& mask,
                       PremultipliedPixel color, MaskBlend blend);
// The same with a source image over the mask's rectangle (rows |sourceStride| bytes apart).
void blendImageThrough(uint8_t* canvas, size_t canvasStride, const CoverageMask& mask,
                       const uint8_t* source, size_t sourceStride, MaskBlend blend);

// The pixel loops of one instruction set; for the tests, which compare the builds.
enum class PixelLoops { Plain, Sse2, Avx2 };
// The widest build this processor runs.
PixelLoops fastestPixelLoops();
// Makes |loops| the build used from now on (if the processor runs it; false if not).
bool usePixelLoops(PixelLoops loops);

}  // namespace velmo::draw
