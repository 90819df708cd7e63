// Points, rectangles and sizes in drawing coordinates (doubles; canvas pixels or reference
// units), and the constants the figures are built with.
#pragma once

namespace velmo::draw {

struct Point {
  double x = 0;
  double y = 0;
  friend bool operator==(const Point&, const Point&) = default;
};

// A rectangle by its origin and size.
struct Rect {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;
  friend bool operator==(const Rect&, const Rect&) = default;
};

// A width and a height, such as a text's measure.
struct Size {
  double width = 0;
  double height = 0;
  friend bool operator==(const Size&, const Size&) = default;
};

// Bezier control distance of a quarter ellipse, as a fraction of its radius: 4/3 (sqrt(2) - 1),
// as Cairo's own arcs use.
inline constexpr double kKappa = 0.5522847498307936;

// Cairo keeps path coordinates in 24.8 fixed point (about 8.4 million pixels). Edges further
// than this (2^21) outside the canvas are pulled in to it: still far enough out that no
// visible pixel, nor any edge of the widest brush, can tell the difference.
inline constexpr double kFarOutside = 2097152;

}  // namespace velmo::draw
