#include "draw/stroke.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <numbers>

#include "draw/brush.h"

namespace velmo::draw {
namespace {

// Coordinates are held within this before segments are clipped, so that differences of two
// coordinates stay finite. Nothing this far out can be seen.
constexpr double kHuge = 1e300;
// Consecutive points of a polyline closer than this to the last kept one add nothing visible
// and are dropped before stroking.
constexpr double kMinStep = 1.0 / 16;

// Where the segment a-b enters and leaves the box: the Liang-Barsky parameters along
// a + t (b - a), with the box edge crossed there (0 left, 1 right, 2 top, 3 bottom), or -1
// when that end lies inside. nullopt when no part of the segment is inside.
struct Crossing {
  double enter = 0;
  double leave = 1;
  int enterEdge = -1;
  int leaveEdge = -1;
};

std::optional<Crossing> crossing(Point a, Point b, const Box& box) {
  const double dx = b.x - a.x, dy = b.y - a.y;
  const double p[4] = {-dx, dx, -dy, dy};
  const double q[4] = {a.x - box.left, box.right - a.x, a.y - box.top, box.bottom - a.y};
  Crossing c;
  for (int i = 0; i < 4; ++i) {
    if (p[i] == 0) {
      if (q[i] < 0) return std::nullopt;  // parallel to this edge and outside it
      continue;
    }
    const double t = q[i] / p[i];
    if (p[i] < 0) {
      if (t > c.leave) return std::nullopt;
      if (t > c.enter) {
        c.enter = t;
        c.enterEdge = i;
      }
    } else {
      if (t < c.enter) return std::nullopt;
      if (t < c.leave) {
        c.leave = t;
        c.leaveEdge = i;
      }
    }
  }
  return c;
}

// The point where the line through a and b meets box edge |edge|. It is worked out from
// the edge's own coordinate and the slope, measured from the end nearer to the edge: a
// parameter t near 1 cannot tell how far before b the cut lies when a is very far away.
// |t| is the parameter of the same point, used if the slope is beyond doubles.
Point onEdge(Point a, Point b, int edge, double t, const Box& box) {
  const bool vertical = edge < 2;
  const double at = edge == 0 ? box.left : edge == 1 ? box.right : edge == 2 ? box.top : box.bottom;
  // The coordinate the edge fixes (x for a vertical edge), and the one that runs along it.
  const double aFixed = vertical ? a.x : a.y, bFixed = vertical ? b.x : b.y;
  const double aAlong = vertical ? a.y : a.x, bAlong = vertical ? b.y : b.x;
  const bool fromA = std::abs(at - aFixed) <= std::abs(at - bFixed);
  const double slope = (bAlong - aAlong) / (bFixed - aFixed);
  const double along = fromA ? aAlong + (at - aFixed) * slope : bAlong + (at - bFixed) * slope;
  if (!std::isfinite(along)) return {a.x + t * (b.x - a.x), a.y + t * (b.y - a.y)};
  return vertical ? Point{at, along} : Point{along, at};
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

// The first-last box of a figure as given, edges held within kHuge so that differences of
// two edges stay finite.
Box rawFigureBox(Point first, Point last) {
  first = limit(first);
  last = limit(last);
  return {std::min(first.x, last.x), std::min(first.y, last.y), std::max(first.x, last.x),
          std::max(first.y, last.y)};
}

bool pulledIn(const Box& given, const Box& pulled) {
  return given.left != pulled.left || given.top != pulled.top || given.right != pulled.right ||
         given.bottom != pulled.bottom;
}

// Largest distance, in canvas pixels, between an arc of the ellipse and the Bezier curve that
// stands for it.
constexpr double kArcTolerance = 1.0 / 64;

// The ellipse inscribed in a box, by quarters: quarter k runs pi/4 either side of its vertex
// at the angle k pi/2 (right, bottom, left, top; y grows downward), and its points are worked
// out from that vertex, the box edge through it given exactly. Near the vertices of an
// ellipse far larger than the canvas, where the canvas sees it, an angle from the centre
// could not place a point within a pixel; an angle from the vertex can.
class Quarters {
 public:
  explicit Quarters(const Box& box)
      : box_(box),
        cx_(box.left / 2 + box.right / 2),
        cy_(box.top / 2 + box.bottom / 2),
        rx_(box.right / 2 - box.left / 2),
        ry_(box.bottom / 2 - box.top / 2) {}

  double radius() const { return std::max(rx_, ry_); }

  // The point at |phi| from quarter |k|'s vertex.
  Point at(int k, double phi) const {
    const double s = std::sin(phi), h = std::sin(phi / 2), v = 2 * h * h;  // 1 - cos(phi)
    switch (k) {
      case 0:
        return {box_.right - rx_ * v, cy_ + ry_ * s};
      case 1:
        return {cx_ - rx_ * s, box_.bottom - ry_ * v};
      case 2:
        return {box_.left + rx_ * v, cy_ - ry_ * s};
      default:
        return {cx_ + rx_ * s, box_.top + ry_ * v};
    }
  }

  // The derivative of the point by the angle there.
  Point tangent(int k, double phi) const {
    const double s = std::sin(phi), c = std::cos(phi);
    // sin and cos of the angle from the centre, k pi/2 + phi.
    const double sines[4] = {s, c, -s, -c}, cosines[4] = {c, -s, -c, s};
    return {-rx_ * sines[k], ry_ * cosines[k]};
  }

  // The angles from quarter |k|'s vertex, within pi/4, where the ellipse meets the line
  // x = |at| (|vertical|) or y = |at|.
  void crossings(int k, bool vertical, double at, std::vector<double>& out) const {
    constexpr double kEighth = std::numbers::pi / 4;
    auto keep = [&out](double phi) {
      if (std::abs(phi) < kEighth) out.push_back(phi);
    };
    // Lines across the quarter's own axis meet it at +-phi: 1 - cos(phi) is the distance from
    // the vertex over the radius. Lines along it meet it once, where sin(phi) says.
    const bool across = vertical == (k % 2 == 0);
    if (across) {
      const double fromVertex = k == 0   ? box_.right - at
                                : k == 1 ? box_.bottom - at
                                : k == 2 ? at - box_.left
                                         : at - box_.top;
      const double d = fromVertex / (2 * (vertical ? rx_ : ry_));
      if (d >= 0 && d <= 1) {
        const double phi = 2 * std::asin(std::sqrt(d));
        keep(phi);
        if (phi != 0) keep(-phi);
      }
    } else {
      const double offset =
          vertical ? (k == 1 ? cx_ - at : at - cx_) / rx_ : (k == 0 ? at - cy_ : cy_ - at) / ry_;
      if (std::abs(offset) <= 1) keep(std::asin(offset));
    }
  }

 private:
  Box box_;
  double cx_, cy_, rx_, ry_;
};

// Adds the parts of the ellipse inscribed in |figure| that lie inside |box|, as open arcs of
// cubic Beziers worked out on the true ellipse. An ellipse too large for Cairo's coordinates
// cannot be drawn whole, and pulling its box in would bend what shows of it; its visible
// arcs are small enough. Where an arc leaves |box| its round cap lies beyond the brush's
// reach.
void addVisibleEllipse(Canvas& canvas, const Box& figure, const Box& box) {
  const Quarters ellipse(figure);
  auto within = [&box](Point p) {
    return p.x >= box.left && p.x <= box.right && p.y >= box.top && p.y <= box.bottom;
  };
  constexpr double kEighth = std::numbers::pi / 4;
  // Bezier pieces short enough for the tolerance: an arc of a unit circle through the angle a
  // strays by 2 sin^6(a / 4) / (27 cos^2(a / 4)) at most, and an ellipse by that times its
  // larger radius. Pieces are at most pi/4, where cos^2(a / 4) is above 0.85.
  const double step = std::min(
      kEighth,
      4 * std::asin(std::min(
              1.0, std::pow(27 * kArcTolerance * 0.85 / (2 * ellipse.radius()), 1.0 / 6))));
  // Every point is held near the box: only beyond what doubles can place could one stray.
  const Box near{box.left - kFarOutside, box.top - kFarOutside, box.right + kFarOutside,
                 box.bottom + kFarOutside};
  // Whether the path's pen is where the last quarter's visible arc ran to its end.
  bool joined = false;
  std::vector<double> cuts;
  for (int k = 0; k < 4; ++k) {
    cuts.assign({-kEighth, kEighth});
    for (const double x : {box.left, box.right}) ellipse.crossings(k, true, x, cuts);
    for (const double y : {box.top, box.bottom}) ellipse.crossings(k, false, y, cuts);
    std::sort(cuts.begin(), cuts.end());
    bool reachedEnd = false;
    for (size_t i = 0; i + 1 < cuts.size(); ++i) {
      const double from = cuts[i], to = cuts[i + 1];
      if (!(to > from) || !within(ellipse.at(k, (from + to) / 2))) continue;
      if (!(joined && from == -kEighth)) canvas.moveTo(inside(ellipse.at(k, from), near));
      const double pieces = std::min(std::ceil((to - from) / step), 4096.0);
      const double span = (to - from) / pieces;
      const double handle = 4.0 / 3 * std::tan(span / 4);
      for (double n = 0; n < pieces; ++n) {
        const double t0 = from + n * span, t1 = n + 1 == pieces ? to : t0 + span;
        const Point p0 = ellipse.at(k, t0), p1 = ellipse.at(k, t1);
        const Point d0 = ellipse.tangent(k, t0), d1 = ellipse.tangent(k, t1);
        canvas.curveTo(inside({p0.x + handle * d0.x, p0.y + handle * d0.y}, near),
                       inside({p1.x - handle * d1.x, p1.y - handle * d1.y}, near),
                       inside(p1, near));
      }
      reachedEnd = to == kEighth;
    }
    joined = reachedEnd;
  }
}

// Polylines with more segments than this are stroked piece by piece: Cairo's stroker holds
// the outline of a whole path at once, which for millions of segments runs to gigabytes.
constexpr size_t kSegmentsPerPiece = 4096;

// Adds the visible pieces of the polyline through |points| to the path: each segment cut to
// |box|, consecutive pieces joined where they still meet. With |strokeEvery| set, strokes the
// path after that many segments and goes on with a new one; a round join split that way
// becomes two round caps, which cover the same disc.
void addPolyline(Canvas& canvas, std::span<const Point> points, const Box& box,
                 size_t strokeEvery = 0) {
  bool open = false;
  Point pen;
  size_t segments = 0;
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
    if (++segments == strokeEvery) {
      canvas.stroke();
      segments = 0;
      open = false;
    }
  }
}

// A whole-pixel rectangle of the canvas.
struct PixelBox {
  int x = 0;
  int y = 0;
  uint32_t width = 0;
  uint32_t height = 0;
};

// The canvas pixels that a brush of width lw along |points| can touch: their bounding box
// grown by half the brush and a pixel for the antialiased edge, cut to the canvas.
std::optional<PixelBox> brushExtents(const std::vector<Point>& points, double lw,
                                     const Canvas& canvas) {
  double minX = points[0].x, maxX = minX, minY = points[0].y, maxY = minY;
  for (const Point& p : points) {
    minX = std::min(minX, p.x);
    maxX = std::max(maxX, p.x);
    minY = std::min(minY, p.y);
    maxY = std::max(maxY, p.y);
  }
  const double spread = lw / 2 + 1;
  const double left = std::floor(std::max(0.0, minX - spread));
  const double top = std::floor(std::max(0.0, minY - spread));
  const double right = std::ceil(std::min<double>(canvas.width(), maxX + spread));
  const double bottom = std::ceil(std::min<double>(canvas.height(), maxY + spread));
  if (!(left < right && top < bottom)) return std::nullopt;
  return PixelBox{static_cast<int>(left), static_cast<int>(top),
                  static_cast<uint32_t>(right - left), static_cast<uint32_t>(bottom - top)};
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

// The polyline's points without those that lie within kMinStep of the last one kept. The
// first point stays, and a polyline keeps at least two points (a dot where all coincide).
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

// Brushes up to this wide are rasterised here (draw/brush.h) rather than by Cairo. Cairo's
// stroker spends microseconds on every segment of a polyline that crosses itself, as pen
// strokes do; here a segment costs the pixels around it. Beyond this width every segment
// works so many pixels that Cairo's one outline of the whole path is cheaper.
constexpr double kRasterBrushWidth = 64;

// Draws a round brush of width lw along the polyline through |points| into |mask|: each
// segment cut to |box|, with its round ends. A single point gives a disc.
void rasterBrush(CoverageMask& mask, const std::vector<Point>& points, double lw, const Box& box) {
  RoundBrush brush(mask, lw);
  if (points.size() == 1) {
    const Point p = points[0];
    if (p.x >= box.left && p.x <= box.right && p.y >= box.top && p.y <= box.bottom) {
      brush.segment(p, p);
    }
    return;
  }
  for (size_t i = 1; i < points.size(); ++i) {
    if (const auto piece = clipSegment(points[i - 1], points[i], box)) {
      brush.segment(piece->first, piece->second);
    }
  }
}

// The brush area of a polyline or, for one point, a disc, drawn into |mask| over |extents|.
void drawBrushArea(CoverageMask& mask, const PixelBox& extents, const std::vector<Point>& points,
                   double lw, const Box& box) {
  mask.reset(extents.x, extents.y, static_cast<int>(extents.width),
             static_cast<int>(extents.height));
  if (lw <= kRasterBrushWidth) {
    rasterBrush(mask, points, lw, box);
    return;
  }
  Canvas coverage(mask);
  coverage.setLineWidth(lw);
  coverage.setRoundCapsAndJoins();
  if (points.size() == 1) {
    addDisc(coverage, points[0], lw, box);
    coverage.fill();
  } else {
    addPolyline(coverage, points, box, kSegmentsPerPiece);
    coverage.stroke();
  }
  cairo_surface_flush(cairo_get_target(coverage.context()));
  mask.widenAll();
}

// The blur preview stretched over the canvas, copied through the brush area. The brush is
// drawn as coverage over its own device extents only, so a small brush costs little on a
// large canvas.
void drawBlur(Canvas& canvas, const std::vector<Point>& points, double lw, const Box& box,
              const platform::BitmapView& obscured, CoverageMask& mask) {
  const std::vector<Point> kept = thinned(points);
  const auto extents = brushExtents(kept, lw, canvas);
  if (!extents) return;
  drawBrushArea(mask, *extents, kept, lw, box);
  canvas.drawStretchedThrough(obscured, mask);
}

// A freehand polyline. A narrow brush, or one of very many segments, is drawn as coverage
// first and the colour laid through it once, so a translucent colour does not build up where
// the line crosses itself.
void drawFreehand(Canvas& canvas, const std::vector<Point>& points, const Color& color, double lw,
                  const Box& box, CoverageMask& mask) {
  const std::vector<Point> kept = thinned(points);
  if (lw > kRasterBrushWidth && kept.size() - 1 <= kSegmentsPerPiece) {
    addPolyline(canvas, kept, box);
    canvas.stroke();
    return;
  }
  const auto extents = brushExtents(kept, lw, canvas);
  if (!extents) return;
  drawBrushArea(mask, *extents, kept, lw, box);
  canvas.paintThrough(color, mask);
}

void drawFigure(Canvas& canvas, const Stroke& stroke, const std::vector<Point>& points, double lw,
                const StrokeSpace& space, const std::optional<platform::BitmapView>& obscured,
                CoverageMask& mask) {
  const Box box = reach(space, lw);
  const Point first = points.front(), last = points.back();
  switch (stroke.shape) {
    case Shape::Blur:
      if (obscured) drawBlur(canvas, points, lw, box, *obscured, mask);
      return;
    case Shape::Rectangle:
    case Shape::Ellipse: {
      const Box given = rawFigureBox(first, last);
      const Box figure = figureBox(first, last, space);
      const double w = figure.right - figure.left, h = figure.bottom - figure.top;
      if (stroke.shape == Shape::Ellipse && given.right > given.left && given.bottom > given.top &&
          pulledIn(given, figure)) {
        // Pulled in, the box would give another ellipse: only its visible arcs are drawn.
        addVisibleEllipse(canvas, given, box);
      } else if (w == 0 || h == 0) {
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
      // A dot of a narrow brush is the rasteriser's disc, like the dots along its lines.
      if (points.size() == 1 && lw > kRasterBrushWidth) {
        addDisc(canvas, first, lw, box);
        canvas.fill();
      } else {
        drawFreehand(canvas, points, stroke.color, lw, box, mask);
      }
      return;
  }
}

}  // namespace

Point mapPoint(const StrokeSpace& space, Point fraction) {
  return {space.width * (fraction.x - space.crop.x) / space.crop.width,
          space.height * (fraction.y - space.crop.y) / space.crop.height};
}

double lineWidth(const StrokeSpace& space, double widthFraction) {
  const double minSide =
      space.turnedHeight < space.turnedWidth ? space.turnedHeight : space.turnedWidth;
  const double lw = space.width * minSide * widthFraction / (space.turnedWidth * space.crop.width);
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
  auto within = [&box](Point p) {
    return p.x >= box.left && p.x <= box.right && p.y >= box.top && p.y <= box.bottom;
  };
  // The usual case, and the answer the crossing below gives it.
  if (within(a) && within(b)) return std::pair{a, b};
  a = limit(a);
  b = limit(b);
  const auto c = crossing(a, b, box);
  if (!c) return std::nullopt;
  const Point start = c->enterEdge < 0 ? a : inside(onEdge(a, b, c->enterEdge, c->enter, box), box);
  const Point end = c->leaveEdge < 0 ? b : inside(onEdge(a, b, c->leaveEdge, c->leave, box), box);
  return std::pair{start, end};
}

void drawStrokes(Canvas& canvas, std::span<const Stroke> strokes, const StrokeSpace& space,
                 std::optional<platform::BitmapView> obscured) {
  std::vector<Point> points;
  // One mask for every brush, its memory reused.
  CoverageMask mask;
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
    drawFigure(canvas, stroke, points, lw, space, obscured, mask);
    canvas.restore();
    assert(canvas.status() == CAIRO_STATUS_SUCCESS);
  }
}

}  // namespace velmo::draw
