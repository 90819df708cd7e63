// Points and rectangles in drawing coordinates (doubles; canvas pixels or reference units).
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

}  // namespace velmo::draw
