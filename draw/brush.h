// A round brush rasterised straight into coverage bytes, without a path or a stroker.
//
// A pixel's coverage is clamp(r - d, 0, 1), r half the brush width plus half a pixel and d the
// distance from the pixel's centre to the brush's path: the stroked outline with round caps
// and joins, its edge antialiased over one pixel. The distance to a polyline is the smallest
// of the distances to its segments, and the distance to a segment is either the distance to
// the line through it (where the foot of the perpendicular falls within the segment) or the
// distance to the nearer end. So a polyline's coverage is the largest of its segments'
// bodies (the first kind only) and of discs at its points: each joint's disc is worked once,
// and every pixel keeps the largest coverage it is given, so the brush is laid down once
// where it crosses itself.
#pragma once

#include <cstddef>
#include <cstdint>

#include "draw/geometry.h"

namespace velmo::draw {

// Coverage bytes: one per pixel, rows |stride| bytes apart. The stride must be a multiple of
// 4 bytes (Cairo's A8 rows are): pixels are worked four at a time from a multiple of 4, and
// those beyond |width| in a row's padding are written too (with their true coverage).
struct CoverageRows {
  uint8_t* bytes = nullptr;
  size_t stride = 0;
  int width = 0;
  int height = 0;
};

class RoundBrush {
 public:
  // A brush |lineWidth| pixels wide (at least 1, at most a few thousand) over |rows|, whose
  // top-left pixel lies at (originX, originY) on the canvas the points are given in. Points
  // passed below must lie within the canvas grown by the line width and a few pixels.
  RoundBrush(CoverageRows rows, double lineWidth, double originX, double originY);

  // The disc at |centre|: the brush put down once.
  void disc(Point centre);
  // The body of the segment from |from| to |to|: the pixels whose nearest point on the line
  // through the segment lies on the segment. Nothing for a segment of no length.
  void body(Point from, Point to);

 private:
  CoverageRows rows_;
  float radius_;  // half the width plus half a pixel: where coverage reaches 0
  double originX_;
  double originY_;
};

}  // namespace velmo::draw
