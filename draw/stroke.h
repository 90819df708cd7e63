// Drawing the caller's annotations onto an output canvas: pen lines, rectangles, ellipses,
// straight lines, arrows, and blur strokes that show the blur preview through the area the
// brush covers.
//
// Stroke points are fractions of the whole upright, turned photo; they are mapped onto the canvas
// through the crop fractions, which may reach beyond the photo. Nothing here refuses input:
// points that do not map to finite canvas positions are dropped, and geometry far outside
// the canvas is cut back before it reaches Cairo, whose fixed-point coordinates would
// otherwise wrap around, so one unusable stroke never spoils the strokes after it.
#pragma once

#include <array>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "draw/canvas.h"
#include "draw/color.h"
#include "draw/geometry.h"
#include "platform/bitmap.h"

namespace velmo::draw {

enum class Shape {
  Blur,       // the blur preview painted through the brush area
  Rectangle,  // outline of the box spanned by the first and last points
  Ellipse,    // outline of the ellipse inscribed in that box
  Line,       // first point to last point
  Arrow,      // a line with a two-barbed head at its last point
  Freehand,   // the polyline through all points, or a dot for a single point
};

struct Stroke {
  // Fractions of the upright, turned photo's width and height, from its top-left corner.
  std::vector<Point> points;
  Color color;
  // Brush width as a fraction of the upright, turned photo's shorter side.
  double widthFraction = 0.006;
  Shape shape = Shape::Freehand;
};

// Where the strokes land: the canvas size, the size of the upright, turned photo, and the
// crop fractions of that photo which the canvas shows. Crop width and height are above 0.
struct StrokeSpace {
  double width = 0;
  double height = 0;
  double turnedWidth = 0;
  double turnedHeight = 0;
  Rect crop{0, 0, 1, 1};
};

// Largest brush width in canvas pixels: far wider than any canvas, small enough that the
// geometry around it stays within Cairo's range.
inline constexpr double kMaxLineWidth = 1 << 20;

// The canvas position of a point given in fractions; not clamped, possibly not finite.
Point mapPoint(const StrokeSpace& space, Point fraction);

// The brush width in canvas pixels: widthFraction of the photo's shorter side, in output
// pixels per photo pixel across; at least 1 (also for NaN) and at most kMaxLineWidth.
double lineWidth(const StrokeSpace& space, double widthFraction);

// The far ends of an arrow head's two barbs at |to|, each 4 line widths long and 30 degrees
// either side of the shaft from |from|. A shaft of zero length points right.
std::array<Point, 2> arrowBarbs(Point from, Point to, double lineWidth);

// An axis-aligned rectangle by its edges.
struct Box {
  double left = 0;
  double top = 0;
  double right = 0;
  double bottom = 0;
};

// The part of the segment a-b inside |box| (Liang-Barsky), or nullopt when none is. An end
// inside the box is returned unchanged, bit for bit, so clipped pieces of a polyline still
// meet where they did.
std::optional<std::pair<Point, Point>> clipSegment(Point a, Point b, const Box& box);

// Draws |strokes| in order onto |canvas| (width and height as in |space|). |obscured| is the
// blur preview, stretched over the whole canvas for blur strokes; without it blur strokes
// draw nothing. Leaves the canvas's graphics state as it found it. Throws only what the
// canvas throws for a failure of Cairo itself (lack of memory).
void drawStrokes(Canvas& canvas, std::span<const Stroke> strokes, const StrokeSpace& space,
                 std::optional<platform::BitmapView> obscured);

}  // namespace velmo::draw
