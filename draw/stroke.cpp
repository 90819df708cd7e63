#include "draw/stroke.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <numbers>

namespace velmo::draw {
namespace {

// Box edges further than this outside the canvas are pulled in to it: still far enough out
// that no edge of the widest brush reaches the canvas, near enough for Cairo's range.
constexpr double kFarOutside = 1 << 21;
// Coordinates are held within this before segments are clipped, so that differences of two
// coordinates stay finite. Nothing this far out can be seen.
constexpr double kHuge = 1e300;
// Consecutive points of a polyline closer than this to the last kept one add nothing visible
// and are dropped before stroking.
constexpr double kMinStep = 1.0 / 16;

// Entry and exit parameters along a + t (b - a) of the segment's part inside the box, from
// a's side: the Liang-Barsky bounds. nullopt when no part is inside.
std::optional<std::pair<double, double>> clipParameters(Point a, Point b, const Box& box) {
  const double dx = b.x - a.x, dy = b.y - a.y;
  const double p[4] = {-dx, dx, -dy, dy};
  const double q[4] = {a.x - box.left, box.right - a.x, a.y - box.top, box.bottom - a.y};
  double enter = 0, leave = 1;
  for (int i = 0; i < 4; ++i) {
    if (p[i] == 0) {
      if (q[i] < 0) return std::nullopt;  // parallel to this edge and outside it
      continue;
    }
    const double t = q[i] / p[i];
    if (p[i] < 0) {
      if (t > leave) return std::nullopt;
      enter = std::max(enter, t);
    } else {
      if (t < enter) return std::nullopt;
      leave = std::min(leave, t);
    }
  }
  return std::pair{enter, leave};
}

Point toward(Point from, Point to, double t) {
  return {from.x + t * (to.x - from.x), from.y + t * (to.y - from.y)};
}

Point limit(Point p) {
  return {std::clamp(p.x, -kHuge, kHuge), std::clamp(p.y, -kHuge, kHuge)};
}

Point inside(Point p, const Box& box) {
  return {std::clamp(p.x, box.left, box.right), std::clamp(p.y, box.top, box.bottom)};
}

// The canvas grown by the line width and 2 pixels: what lies beyond cannot reach a pixel.
Box reach(const StrokeSpace& space, double lw) {
  const double margin = lw + 2;
  return {-margin, -margin, space.width + margin, space.height + margin};
}

// The first-last box of a figure, with edges far outside the canvas pulled in.
Box figureBox(Point first, Point last, const StrokeSpace& space) {
  auto pull = [](double v, double extent) {
    return std::clamp(v, -kFarOutside, extent + kFarOutside);
  };
  return {
      pull(std::min(first.x, last.x), space.width), pull(std::min(first.y, last.y), space.height),
      pull(std::max(first.x, last.x), space.width), pull(std::max(first.y, last.y), space.height)};
}

// Adds the visible pieces of the polyline through |points| to the path: each segment cut to
// |box|, consecutive pieces joined where they still meet.
void addPolyline(Canvas& canvas, std::span<const Point> points, const Box& box) {
  bool open = false;
  Point pen;
  for (size_t i = 1; i < points.size(); ++i) {
    const auto piece = clipSegment(points[i - 1], points[i], box);
    if (!piece) {
      open = false;
      continue;
    }
    if (!open || !(piece->first == pen)) canvas.moveTo(piece->first);
    canvas.lineTo(piece->second);
    pen = piece->second;
    open = true;
  }
}

void addSegment(Canvas& canvas, Point a, Point b, const Box& box) {
  const Point segment[2] = {a, b};
  addPolyline(canvas, segment, box);
}

// Adds a disc of diameter lw at |centre| unless it is out of reach.
void addDisc(Canvas& canvas, Point centre, double lw, const Box& box) {
  if (centre.x < box.left || centre.x > box.right || centre.y < box.top || centre.y > box.bottom) {
    return;
  }
  canvas.addEllipse(centre.x - lw * 0.5, centre.y - lw * 0.5, lw, lw);
}

// The polyline's points with runs of near-duplicates thinned out; the last point is kept.
std::vector<Point> thinned(const std::vector<Point>& points) {
  std::vector<Point> kept;
  kept.reserve(points.size());
  for (const Point& p : points) {
    if (!kept.empty() && std::abs(p.x - kept.back().x) < kMinStep &&
        std::abs(p.y - kept.back().y) < kMinStep) {
      continue;
    }
    kept.push_back(p);
  }
  if (kept.size() == 1 && points.size() > 1) kept.push_back(points.back());
  return kept;
}

// The blur preview stretched over the canvas, copied through the brush area. The brush is
// drawn as coverage over its own device extents only, so a small brush costs little on a
// large canvas.
void drawBlur(Canvas& canvas, const std::vector<Point>& points, double lw, const Box& box,
              const platform::BitmapView& obscured) {
  double minX = points[0].x, maxX = minX, minY = points[0].y, maxY = minY;
  for (const Point& p : points) {
    minX = std::min(minX, p.x);
    maxX = std::max(maxX, p.x);
    minY = std::min(minY, p.y);
    maxY = std::max(maxY, p.y);
  }
  // Half the brush and a pixel for the antialiased edge.
  const double spread = lw / 2 + 1;
  const double left = std::floor(std::max(0.0, minX - spread));
  const double top = std::floor(std::max(0.0, minY - spread));
  const double right = std::ceil(std::min<double>(canvas.width(), maxX + spread));
  const double bottom = std::ceil(std::min<double>(canvas.height(), maxY + spread));
  if (!(left < right && top < bottom)) return;

  const auto x = static_cast<int>(left), y = static_cast<int>(top);
  Canvas coverage(static_cast<uint32_t>(right - left), static_cast<uint32_t>(bottom - top),
                  Canvas::Format::Coverage);
  coverage.translate(-left, -top);
  coverage.setLineWidth(lw);
  coverage.setRoundCapsAndJoins();
  if (points.size() == 1) {
    addDisc(coverage, points[0], lw, box);
    coverage.fill();
  } else {
    addPolyline(coverage, thinned(points), box);
    coverage.stroke();
  }
  canvas.drawStretchedThrough(obscured, coverage, x, y);
}

void drawFigure(Canvas& canvas, const Stroke& stroke, const std::vector<Point>& points, double lw,
                const StrokeSpace& space, const std::optional<platform::BitmapView>& obscured) {
  const Box box = reach(space, lw);
  const Point first = points.front(), last = points.back();
  switch (stroke.shape) {
    case Shape::Blur:
      if (obscured) drawBlur(canvas, points, lw, box, *obscured);
      return;
    case Shape::Rectangle:
    case Shape::Ellipse: {
      const Box figure = figureBox(first, last, space);
      const double w = figure.right - figure.left, h = figure.bottom - figure.top;
      if (w == 0 || h == 0) {
        // A box without area is stroked as the line it is (a dot when it is a point).
        addSegment(canvas, {figure.left, figure.top}, {figure.right, figure.bottom}, box);
      } else if (stroke.shape == Shape::Rectangle) {
        canvas.addRectangle(figure.left, figure.top, w, h);
      } else {
        canvas.addEllipse(figure.left, figure.top, w, h);
      }
      canvas.stroke();
      return;
    }
    case Shape::Line:
    case Shape::Arrow:
      addSegment(canvas, first, last, box);
      canvas.stroke();
      if (stroke.shape == Shape::Arrow) {
        const auto barbs = arrowBarbs(first, last, lw);
        addSegment(canvas, last, barbs[0], box);
        addSegment(canvas, last, barbs[1], box);
        canvas.stroke();
      }
      return;
    case Shape::Freehand:
      if (points.size() == 1) {
        addDisc(canvas, first, lw, box);
        canvas.fill();
      } else {
        addPolyline(canvas, thinned(points), box);
        canvas.stroke();
      }
      return;
  }
}

}  // namespace

Point mapPoint(const StrokeSpace& space, Point fraction) {
  return {space.width * (fraction.x - space.crop[0]) / space.crop[2],
          space.height * (fraction.y - space.crop[1]) / space.crop[3]};
}

double lineWidth(const StrokeSpace& space, double widthFraction) {
  const double minSide = space.fullHeight < space.fullWidth ? space.fullHeight : space.fullWidth;
  const double lw = space.width * minSide * widthFraction / (space.fullWidth * space.crop[2]);
  if (!(lw >= 1)) return 1;  // NaN included
  return std::min(lw, kMaxLineWidth);
}

std::array<Point, 2> arrowBarbs(Point from, Point to, double lineWidth) {
  const double angle = std::atan2(to.y - from.y, to.x - from.x);
  const double head = lineWidth * 4.0;
  const double left = angle - std::numbers::pi / 6, right = angle + std::numbers::pi / 6;
  return {Point{to.x - head * std::cos(left), to.y - head * std::sin(left)},
          Point{to.x - head * std::cos(right), to.y - head * std::sin(right)}};
}

std::optional<std::pair<Point, Point>> clipSegment(Point a, Point b, const Box& box) {
  a = limit(a);
  b = limit(b);
  // The bounds are found from both ends, and each cut point is measured from the end nearer
  // to it: a parameter close to 1 cannot say how far before the end a cut lies when the other
  // end is very far away, one close to 0 can.
  const auto fromA = clipParameters(a, b, box);
  const auto fromB = clipParameters(b, a, box);
  if (!fromA || !fromB) return std::nullopt;
  const auto [enterA, leaveA] = *fromA;
  const auto [enterB, leaveB] = *fromB;
  const Point start = enterA == 0        ? a
                      : enterA <= leaveB ? toward(a, b, enterA)
                                         : toward(b, a, leaveB);
  const Point end = enterB == 0        ? b
                    : enterB <= leaveA ? toward(b, a, enterB)
                                       : toward(a, b, leaveA);
  return std::pair{enterA == 0 ? a : inside(start, box), enterB == 0 ? b : inside(end, box)};
}

void drawStrokes(Canvas& canvas, std::span<const Stroke> strokes, const StrokeSpace& space,
                 std::optional<platform::BitmapView> obscured) {
  std::vector<Point> points;
  for (const Stroke& stroke : strokes) {
    points.clear();
    for (const Point& fraction : stroke.points) {
      const Point p = mapPoint(space, fraction);
      // A point with no finite position is left out, as if it had not been given.
      if (std::isfinite(p.x) && std::isfinite(p.y)) points.push_back(p);
    }
    if (points.empty()) continue;

    const double lw = lineWidth(space, stroke.widthFraction);
    canvas.save();
    canvas.setStrokeColor(stroke.color);
    canvas.setFillColor(stroke.color);
    canvas.setLineWidth(lw);
    canvas.setRoundCapsAndJoins();
    drawFigure(canvas, stroke, points, lw, space, obscured);
    canvas.restore();
    assert(canvas.status() == CAIRO_STATUS_SUCCESS);
  }
}

}  // namespace velmo::draw
