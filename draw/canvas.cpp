#include "draw/canvas.h"

#include <new>

namespace velmo::draw {

CairoSurface wrapPixels(const BitmapView& pixels) {
  auto* data = reinterpret_cast<unsigned char*>(const_cast<uint32_t*>(pixels.pixels));
  CairoSurface surface(cairo_image_surface_create_for_data(
      data, pixels.hasAlpha ? CAIRO_FORMAT_ARGB32 : CAIRO_FORMAT_RGB24,
      static_cast<int>(pixels.width), static_cast<int>(pixels.height),
      static_cast<int>(pixels.strideBytes)));
  if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS) throw std::bad_alloc();
  return surface;
}

Canvas::Canvas(uint32_t width, uint32_t height, bool hasAlpha)
    : width_(width),
      height_(height),
      hasAlpha_(hasAlpha),
      surface_(cairo_image_surface_create(hasAlpha ? CAIRO_FORMAT_ARGB32 : CAIRO_FORMAT_RGB24,
                                          static_cast<int>(width), static_cast<int>(height))) {
  if (cairo_surface_status(surface_.get()) != CAIRO_STATUS_SUCCESS) throw std::bad_alloc();
  context_.reset(cairo_create(surface_.get()));
  if (cairo_status(context_.get()) != CAIRO_STATUS_SUCCESS) throw std::bad_alloc();
}

void Canvas::drawStretched(const BitmapView& image) {
  CairoSurface source = wrapPixels(image);
  cairo_t* cr = context_.get();
  cairo_save(cr);
  CairoPattern pattern(cairo_pattern_create_for_surface(source.get()));
  cairo_matrix_t matrix;
  // Pattern space maps canvas pixels to image pixels.
  cairo_matrix_init_scale(&matrix, static_cast<double>(image.width) / width_,
                          static_cast<double>(image.height) / height_);
  cairo_pattern_set_matrix(pattern.get(), &matrix);
  cairo_pattern_set_extend(pattern.get(), CAIRO_EXTEND_PAD);
  cairo_pattern_set_filter(pattern.get(), CAIRO_FILTER_GOOD);
  cairo_set_source(cr, pattern.get());
  // The image covers the whole canvas, so nothing underneath needs blending.
  cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
  cairo_paint(cr);
  cairo_restore(cr);
}

BitmapView Canvas::view() {
  cairo_surface_flush(surface_.get());
  return {reinterpret_cast<const uint32_t*>(cairo_image_surface_get_data(surface_.get())), width_,
          height_, static_cast<size_t>(cairo_image_surface_get_stride(surface_.get())), hasAlpha_};
}

}  // namespace velmo::draw
