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
#include <memory>
#include <vector>

#include "draw/geometry.h"

namespace velmo::draw {

// Coverage bytes: one per pixel, rows |stride| bytes apart. The stride must be a multiple of
// 16 bytes: pixels are worked in groups of up to 16 from a multiple of the group's size, and
// those beyond |width| in a row's padding are written too (with their true coverage).
struct CoverageRows {
  uint8_t* bytes = nullptr;
  size_t stride = 0;
  int width = 0;
  int height = 0;
};

// Discs of one radius worked out once for each sixteenth of a pixel that a centre can fall
// on, then copied into place: for drawings of many points, where working each disc out costs
// more than copying it. A centre is moved by at most a thirty-second of a pixel.
class DiscStamps {
 public:
  // Stamps for |radius| (half the brush width plus half a pixel), if a disc of it fits in a
  // stamp (16 x 16 pixels); nullptr for a wider one.
  static std::unique_ptr<DiscStamps> make(float radius);

  float radius() const { return radius_; }
  // Pixels from a disc's stamp origin to its centre's whole pixel.
  int reach() const { return reach_; }
  // Side of a stamp in pixels, 8 or 16; rows are that many bytes.
  int side() const { return side_; }
  // Rows of a stamp that can be covered, from its top: 2 * reach + 2, at most side().
  int rows() const { return 2 * reach_ + 2; }
  // The stamp for a centre |qx| and |qy| sixteenths of a pixel right of and below the
  // centre of pixel (reach, reach) of the stamp.
  const uint8_t* stamp(int qx, int qy) const {
    return bytes_.data() + (static_cast<size_t>(qy) * 16 + static_cast<size_t>(qx)) * side_ * side_;
  }

 private:
  DiscStamps(float radius, int reach, int side);
  float radius_;
  int reach_;
  int side_;
  std::vector<uint8_t> bytes_;
};

// The stamps a drawing's discs share: made for a radius once enough discs of it have been
// drawn that copying pays for making them. One per drawing, used from one thread.
class DiscCache {
 public:
  // The stamps for |radius|, or nullptr while it has been asked for too few times (and for
  // radii too wide for stamps).
  const DiscStamps* stampsFor(float radius);

 private:
  float radius_ = 0;
  int asked_ = 0;
  std::unique_ptr<DiscStamps> stamps_;
};

class RoundBrush {
 public:
  // A brush |lineWidth| pixels wide (at least 1, at most a few thousand) over |rows|, whose
  // top-left pixel lies at (originX, originY) on the canvas the points are given in. Points
  // passed below must lie within the canvas grown by the line width and a few pixels.
  // |discs|, if given, lends stamps for the discs.
  RoundBrush(CoverageRows rows, double lineWidth, double originX, double originY,
             DiscCache* discs = nullptr);

  // The disc at |centre|: the brush put down once.
  void disc(Point centre);
  // The body of the segment from |from| to |to|: the pixels whose nearest point on the line
  // through the segment lies on the segment. Nothing for a segment of no length.
  void body(Point from, Point to);

 private:
  // Copies the stamp of the disc centred at (cx, cy) (relative to the rows' pixel centres);
  // false when it would not lie wholly within the rows.
  bool stampDisc(const DiscStamps& stamps, double cx, double cy);

  CoverageRows rows_;
  float radius_;  // half the width plus half a pixel: where coverage reaches 0
  double originX_;
  double originY_;
  DiscCache* discs_;
};

}  // namespace velmo::draw
