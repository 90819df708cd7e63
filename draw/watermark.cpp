#include "draw/watermark.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "draw/cairo_owners.h"

namespace velmo::draw {
namespace {

struct Range {
  double low;
  double high;
  bool overlaps(const Range& other) const { return low <= other.high && other.low <= high; }
};

template <size_t N>
Range project(const std::array<Point, N>& points, double ax, double ay) {
  Range range{INFINITY, -INFINITY};
  for (const Point& p : points) {
    const double d = p.x * ax + p.y * ay;
    range.low = std::min(range.low, d);
    range.high = std::max(range.high, d);
  }
  return range;
}

void drawDiagonal(cairo_t* cr, const Watermark& watermark, const Text& text, double fontSize,
                  double referenceWidth, double referenceHeight) {
  const Size size = text.size();
  const Color white{1, 1, 1, diagonalAlpha(watermark.opacity)};
  const DiagonalGrid grid = diagonalGrid(size, fontSize, diagonalDensity(watermark.density),
                                         referenceWidth, referenceHeight);
  grid.forEach([&](Point origin) {
    // A copy that cannot reach the picture would draw nothing; with a very long text most
    // copies are such, and skipping them keeps the work proportional to what is seen.
    if (!diagonalCopyReaches(origin, size, fontSize, referenceWidth, referenceHeight)) return;
    cairo_save(cr);
    cairo_translate(cr, origin.x, origin.y);
    cairo_rotate(cr, kDiagonalAngle);
    text.drawAt(cr, 0, 0, white);
    cairo_restore(cr);
  });
}

void fillBox(cairo_t* cr, const Watermark& watermark, const BoxLayout& layout) {
  roundedBoxPath(cr, layout.box, layout.radius);
  const auto& colors = watermark.gradientColors;
  if (watermark.style == WatermarkStyle::CornerStamp && colors.size() >= 2) {
    Rect box = layout.box;
    if (box.width < 0) box = {box.x + box.width, box.y, -box.width, box.height};
    CairoPattern gradient(
        cairo_pattern_create_linear(box.x, box.y, box.x + box.width, box.y + box.height));
    const double last = static_cast<double>(colors.size() - 1);
    for (size_t i = 0; i < colors.size(); ++i) {
      const Color& c = colors[i];
      cairo_pattern_add_color_stop_rgba(gradient.get(), static_cast<double>(i) / last, c.red,
                                        c.green, c.blue, c.alpha);
    }
    cairo_pattern_set_extend(gradient.get(), CAIRO_EXTEND_NONE);
    cairo_save(cr);
    cairo_set_source(cr, gradient.get());
    cairo_fill(cr);
    cairo_restore(cr);
  } else {
    cairo_set_source_rgba(cr, 0, 0, 0, kBoxFillAlpha);
    cairo_fill(cr);
  }
}

}  // namespace

double watermarkFontSize(double minRef, bool diagonal) {
  const double size = minRef * (diagonal ? 0.05 : 0.035);
  return std::max(std::min(size, 64.0), 8.0);
}

double diagonalAlpha(std::optional<double> opacity) {
  double alpha = 0.12;
  if (opacity) alpha = *opacity < 0.3 ? *opacity : 0.3;  // NaN takes the limit
  return alpha > 0.04 ? alpha : 0.04;
}

double diagonalDensity(std::optional<double> density) {
  if (!density) return 1.0;
  if (!(*density < 1.8)) return 1.8;  // NaN as well
  return *density > 0.6 ? *density : 0.6;
}

DiagonalGrid diagonalGrid(Size text, double fontSize, double density, double referenceWidth,
                          double referenceHeight) {
  return {referenceWidth, referenceHeight, text.width,
          std::max(2 * text.width / density, 4 * fontSize),
          std::max(5 * text.height / density, 4 * fontSize)};
}

bool diagonalCopyReaches(Point origin, Size text, double em, double referenceWidth,
                         double referenceHeight) {
  // The copy's axes on the canvas, and the separating-axis test of two rectangles.
  const double ux = std::cos(kDiagonalAngle), uy = std::sin(kDiagonalAngle);
  const double vx = -uy, vy = ux;
  const Range along{-em, text.width + em};
  const Range across{-em, text.height + em};
  std::array<Point, 4> copy;
  const std::array<double, 2> us{along.low, along.high};
  const std::array<double, 2> vs{across.low, across.high};
  for (size_t i = 0; i < 4; ++i) {
    const double u = us[i % 2], v = vs[i / 2];
    copy[i] = {origin.x + u * ux + v * vx, origin.y + u * uy + v * vy};
  }
  if (!project(copy, 1, 0).overlaps({0, referenceWidth})) return false;
  if (!project(copy, 0, 1).overlaps({0, referenceHeight})) return false;
  const std::array<Point, 4> canvas{Point{-origin.x, -origin.y},
                                    Point{referenceWidth - origin.x, -origin.y},
                                    Point{-origin.x, referenceHeight - origin.y},
                                    Point{referenceWidth - origin.x, referenceHeight - origin.y}};
  return project(canvas, ux, uy).overlaps(along) && project(canvas, vx, vy).overlaps(across);
}

BoxLayout boxLayout(Size text, double fontSize, double referenceWidth, double referenceHeight) {
  BoxLayout layout;
  const double minRef = referenceHeight < referenceWidth ? referenceHeight : referenceWidth;
  const double pad = std::max(minRef * 0.025, 6.0);
  const double widthLimit = referenceWidth - 2 * pad;
  const double boxWidth = text.width + pad < widthLimit ? text.width + pad : widthLimit;
  layout.pad = pad;
  layout.box = {referenceWidth - boxWidth - pad, referenceHeight - text.height - 2 * pad, boxWidth,
                text.height + pad};
  layout.radius = std::max(fontSize * 0.35, 4.0);
  layout.textRect = {layout.box.x + pad / 2, layout.box.y + pad / 2, layout.box.width - pad,
                     layout.box.height - pad};
  return layout;
}

void roundedBoxPath(cairo_t* cr, Rect box, double radius) {
  if (box.width < 0) box = {box.x + box.width, box.y, -box.width, box.height};
  if (box.height < 0) box = {box.x, box.y + box.height, box.width, -box.height};
  radius = std::clamp(radius, 0.0, std::min(box.width, box.height) / 2);

  cairo_matrix_t m;
  cairo_get_matrix(cr, &m);
  double x0 = box.x, y0 = box.y, x1 = box.x + box.width, y1 = box.y + box.height;
  cairo_user_to_device(cr, &x0, &y0);
  cairo_user_to_device(cr, &x1, &y1);
  if (x1 < x0) std::swap(x0, x1);
  if (y1 < y0) std::swap(y0, y1);
  double rx = radius * std::hypot(m.xx, m.yx);
  double ry = radius * std::hypot(m.xy, m.yy);

  cairo_save(cr);
  cairo_identity_matrix(cr);
  double left = 0, top = 0, right = 0, bottom = 0;
  cairo_clip_extents(cr, &left, &top, &right, &bottom);
  x0 = std::clamp(x0, left - kFarOutside, right + kFarOutside);
  x1 = std::clamp(x1, left - kFarOutside, right + kFarOutside);
  y0 = std::clamp(y0, top - kFarOutside, bottom + kFarOutside);
  y1 = std::clamp(y1, top - kFarOutside, bottom + kFarOutside);
  rx = std::min({rx, (x1 - x0) / 2, kFarOutside});
  ry = std::min({ry, (y1 - y0) / 2, kFarOutside});
  const double kx = rx * kKappa, ky = ry * kKappa;

  cairo_new_path(cr);
  cairo_move_to(cr, x0 + rx, y0);
  cairo_line_to(cr, x1 - rx, y0);
  cairo_curve_to(cr, x1 - rx + kx, y0, x1, y0 + ry - ky, x1, y0 + ry);
  cairo_line_to(cr, x1, y1 - ry);
  cairo_curve_to(cr, x1, y1 - ry + ky, x1 - rx + kx, y1, x1 - rx, y1);
  cairo_line_to(cr, x0 + rx, y1);
  cairo_curve_to(cr, x0 + rx - kx, y1, x0, y1 - ry + ky, x0, y1 - ry);
  cairo_line_to(cr, x0, y0 + ry);
  cairo_curve_to(cr, x0, y0 + ry - ky, x0 + rx - kx, y0, x0 + rx, y0);
  cairo_close_path(cr);
  // The path stays in device space when the transform comes back.
  cairo_restore(cr);
}

void drawWatermark(cairo_t* cr, const Watermark& watermark, double referenceWidth,
                   double referenceHeight, TextEngine& engine) {
  const double minRef = referenceHeight < referenceWidth ? referenceHeight : referenceWidth;
  const bool diagonal = watermark.style == WatermarkStyle::DiagonalRepeat;
  const double fontSize = watermarkFontSize(minRef, diagonal);
  const std::unique_ptr<Text> text = engine.layOut(watermark.text, fontSize);

  cairo_save(cr);
  if (diagonal) {
    drawDiagonal(cr, watermark, *text, fontSize, referenceWidth, referenceHeight);
  } else {
    const BoxLayout layout = boxLayout(text->size(), fontSize, referenceWidth, referenceHeight);
    fillBox(cr, watermark, layout);
    text->drawIn(cr, layout.textRect, Color{1, 1, 1, kBoxTextAlpha});
  }
  cairo_restore(cr);
}

}  // namespace velmo::draw
