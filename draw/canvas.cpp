#include "draw/canvas.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <utility>

#include "draw/stretch.h"

namespace velmo::draw {
namespace {

using platform::Bitmap;
using platform::BitmapView;

cairo_format_t cairoFormat(Canvas::Format format) {
  switch (format) {
    case Canvas::Format::Opaque:
      return CAIRO_FORMAT_RGB24;
    case Canvas::Format::Alpha:
      return CAIRO_FORMAT_ARGB32;
    case Canvas::Format::Coverage:
      return CAIRO_FORMAT_A8;
  }
  return CAIRO_FORMAT_ARGB32;
}

void refuseTransform(bool usable) {
  if (!usable) throw DrawError(CAIRO_STATUS_INVALID_MATRIX);
}

// A pattern showing |image| stretched over a width x height device rectangle at the origin,
// with edge pixels repeated outward and a high-quality filter.
CairoPattern stretchedPattern(cairo_surface_t* image, const BitmapView& view, uint32_t width,
                              uint32_t height) {
  CairoPattern pattern(cairo_pattern_create_for_surface(image));
  throwIfFailed(cairo_pattern_status(pattern.get()));
  cairo_matrix_t matrix;
  // Pattern space maps canvas pixels to image pixels.
  cairo_matrix_init_scale(&matrix, static_cast<double>(view.width) / width,
                          static_cast<double>(view.height) / height);
  cairo_pattern_set_matrix(pattern.get(), &matrix);
  cairo_pattern_set_extend(pattern.get(), CAIRO_EXTEND_PAD);
  cairo_pattern_set_filter(pattern.get(), CAIRO_FILTER_GOOD);
  return pattern;
}

}  // namespace

DrawError::DrawError(cairo_status_t status)
    : std::runtime_error(std::string("drawing failed: ") + cairo_status_to_string(status)),
      status_(status) {}

void throwIfFailed(cairo_status_t status) {
  if (status == CAIRO_STATUS_SUCCESS) return;
  if (status == CAIRO_STATUS_NO_MEMORY) throw std::bad_alloc();
  throw DrawError(status);
}

CairoSurface wrapPixels(const BitmapView& pixels) {
  auto* data = reinterpret_cast<unsigned char*>(const_cast<uint32_t*>(pixels.pixels));
  CairoSurface surface(cairo_image_surface_create_for_data(
      data, pixels.hasAlpha ? CAIRO_FORMAT_ARGB32 : CAIRO_FORMAT_RGB24,
      static_cast<int>(pixels.width), static_cast<int>(pixels.height),
      static_cast<int>(pixels.strideBytes)));
  throwIfFailed(cairo_surface_status(surface.get()));
  return surface;
}

Canvas::Canvas(uint32_t width, uint32_t height, Format format)
    : width_(width),
      height_(height),
      format_(format),
      surface_(cairo_image_surface_create(cairoFormat(format), static_cast<int>(width),
                                          static_cast<int>(height))) {
  throwIfFailed(cairo_surface_status(surface_.get()));
  context_.reset(cairo_create(surface_.get()));
  throwIfFailed(cairo_status(context_.get()));
}

Canvas::Canvas(Bitmap pixels)
    : width_(pixels.width()),
      height_(pixels.height()),
      format_(pixels.hasAlpha() ? Format::Alpha : Format::Opaque),
      pixels_(std::move(pixels)),
      surface_(wrapPixels(pixels_.view())) {
  context_.reset(cairo_create(surface_.get()));
  throwIfFailed(cairo_status(context_.get()));
}

Canvas::Canvas(CoverageMask& mask)
    : width_(static_cast<uint32_t>(mask.width())),
      height_(static_cast<uint32_t>(mask.height())),
      format_(Format::Coverage),
      surface_(cairo_image_surface_create_for_data(mask.row(0), CAIRO_FORMAT_A8, mask.width(),
                                                   mask.height(),
                                                   static_cast<int>(mask.stride()))) {
  throwIfFailed(cairo_surface_status(surface_.get()));
  context_.reset(cairo_create(surface_.get()));
  throwIfFailed(cairo_status(context_.get()));
  cairo_translate(context_.get(), -mask.x(), -mask.y());
}

void Canvas::check() {
  throwIfFailed(status());
}

void Canvas::save() {
  cairo_save(context_.get());
  savedPaint_.push_back(paint_);
}

void Canvas::restore() {
  cairo_restore(context_.get());
  if (!savedPaint_.empty()) {
    paint_ = savedPaint_.back();
    savedPaint_.pop_back();
  }
  check();
}

void Canvas::translate(double dx, double dy) {
  refuseTransform(std::isfinite(dx) && std::isfinite(dy));
  cairo_translate(context_.get(), dx, dy);
}

void Canvas::scale(double sx, double sy) {
  refuseTransform(std::isfinite(sx) && std::isfinite(sy) && sx != 0 && sy != 0);
  cairo_scale(context_.get(), sx, sy);
  // A product of tiny factors can still make the matrix singular; Cairo then marks the
  // context, and that is reported rather than left to swallow the drawing after it.
  check();
}

void Canvas::setLineWidth(double width) {
  cairo_set_line_width(context_.get(), width);
}

void Canvas::setRoundCapsAndJoins() {
  cairo_set_line_cap(context_.get(), CAIRO_LINE_CAP_ROUND);
  cairo_set_line_join(context_.get(), CAIRO_LINE_JOIN_ROUND);
}

void Canvas::setStrokeColor(const Color& color) {
  paint_.stroke = color;
}
void Canvas::setFillColor(const Color& color) {
  paint_.fill = color;
}

void Canvas::applyColor(const Color& color) {
  cairo_set_source_rgba(context_.get(), color.red, color.green, color.blue, color.alpha);
}

void Canvas::moveTo(Point p) {
  cairo_move_to(context_.get(), p.x, p.y);
}
void Canvas::lineTo(Point p) {
  cairo_line_to(context_.get(), p.x, p.y);
}
void Canvas::closePath() {
  cairo_close_path(context_.get());
}
void Canvas::curveTo(Point c1, Point c2, Point end) {
  cairo_curve_to(context_.get(), c1.x, c1.y, c2.x, c2.y, end.x, end.y);
}

void Canvas::addRectangle(double x, double y, double width, double height) {
  moveTo({x, y});
  lineTo({x + width, y});
  lineTo({x + width, y + height});
  lineTo({x, y + height});
  closePath();
}

void Canvas::addEllipse(double x, double y, double width, double height) {
  // Four quarter arcs, each a cubic Bezier whose control points lie kKappa of the radius
  // along the tangents: the usual circle approximation, stretched per axis.
  const double rx = width / 2, ry = height / 2;
  const double cx = x + rx, cy = y + ry;
  const double kx = rx * kKappa, ky = ry * kKappa;
  moveTo({cx + rx, cy});
  curveTo({cx + rx, cy + ky}, {cx + kx, cy + ry}, {cx, cy + ry});
  curveTo({cx - kx, cy + ry}, {cx - rx, cy + ky}, {cx - rx, cy});
  curveTo({cx - rx, cy - ky}, {cx - kx, cy - ry}, {cx, cy - ry});
  curveTo({cx + kx, cy - ry}, {cx + rx, cy - ky}, {cx + rx, cy});
  closePath();
}

void Canvas::stroke() {
  applyColor(paint_.stroke);
  cairo_stroke(context_.get());
  check();
}

void Canvas::fill() {
  applyColor(paint_.fill);
  cairo_set_fill_rule(context_.get(), CAIRO_FILL_RULE_WINDING);
  cairo_fill(context_.get());
  check();
}

void Canvas::drawStretched(const BitmapView& image) {
  CairoSurface source = wrapPixels(image);
  CairoPattern pattern = stretchedPattern(source.get(), image, width_, height_);
  cairo_t* cr = context_.get();
  cairo_save(cr);
  cairo_identity_matrix(cr);
  cairo_set_source(cr, pattern.get());
  // The image covers the whole canvas, so nothing underneath needs blending.
  cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
  cairo_paint(cr);
  cairo_restore(cr);
  check();
}

void Canvas::drawStretchedThrough(const BitmapView& image, const CoverageMask& mask) {
  Bitmap patch(static_cast<uint32_t>(mask.width()), static_cast<uint32_t>(mask.height()),
               image.hasAlpha);
  if (image.width <= width_ && image.height <= height_) {
    // Enlarging: worked out on the mask's spans alone.
    stretchOverSpans(image, width_, height_, mask, patch);
  } else {
    // Shrinking needs Cairo's filter: the stretched image over the mask's rectangle.
    CairoSurface source = wrapPixels(image);
    CairoPattern pattern = stretchedPattern(source.get(), image, width_, height_);
    CairoSurface surface = wrapPixels(patch.view());
    CairoContext cr(cairo_create(surface.get()));
    cairo_translate(cr.get(), -mask.x(), -mask.y());
    cairo_set_source(cr.get(), pattern.get());
    cairo_set_operator(cr.get(), CAIRO_OPERATOR_SOURCE);
    cairo_paint(cr.get());
    throwIfFailed(cairo_status(cr.get()));
  }
  blendImageThrough(pixelsForWriting(), strideBytes(), mask,
                    reinterpret_cast<const uint8_t*>(patch.data()), patch.strideBytes(),
                    MaskBlend::Copy);
  cairo_surface_mark_dirty(surface_.get());
}

void Canvas::paintThrough(const Color& color, const CoverageMask& mask) {
  auto byte = [](double v) {
    return static_cast<uint32_t>(std::lround(std::clamp(v, 0.0, 1.0) * 255));
  };
  const uint32_t alpha = byte(color.alpha);
  const PremultipliedPixel pixel = platform::premultiplyArgb(
      alpha << 24 | byte(color.red) << 16 | byte(color.green) << 8 | byte(color.blue));
  // An opaque colour over a pixel is the colour replacing it by the coverage, which the copy
  // blend works out with less.
  blendColorThrough(pixelsForWriting(), strideBytes(), mask, pixel,
                    alpha == 255 ? MaskBlend::Copy : MaskBlend::Over);
  cairo_surface_mark_dirty(surface_.get());
}

uint8_t* Canvas::pixelsForWriting() {
  cairo_surface_flush(surface_.get());
  return cairo_image_surface_get_data(surface_.get());
}

size_t Canvas::strideBytes() const {
  return static_cast<size_t>(cairo_image_surface_get_stride(surface_.get()));
}

BitmapView Canvas::view() {
  cairo_surface_flush(surface_.get());
  return {reinterpret_cast<const uint32_t*>(cairo_image_surface_get_data(surface_.get())), width_,
          height_, static_cast<size_t>(cairo_image_surface_get_stride(surface_.get())),
          format_ == Format::Alpha};
}

}  // namespace velmo::draw
