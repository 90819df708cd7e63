#include "render/compose.h"

#include <cmath>
#include <optional>

#include "draw/stroke.h"
#include "draw/text.h"
#include "draw/watermark.h"

namespace velmo::render {

void compose(draw::Canvas& canvas, const RenderRequest& request, const Composition& layers) {
  if (!layers.photoOnCanvas) canvas.drawStretched(layers.cropped);

  // Strokes, in canvas pixels. Their points are fractions of the whole upright, turned photo,
  // mapped through the crop fractions as the recipe gave them.
  if (!request.strokes.empty()) {
    draw::StrokeSpace space;
    space.width = canvas.width();
    space.height = canvas.height();
    space.turnedWidth = layers.turnedWidth;
    space.turnedHeight = layers.turnedHeight;
    space.crop = request.crop;
    std::optional<platform::BitmapView> obscured;
    if (layers.obscured != nullptr) obscured = layers.obscured->view();
    draw::drawStrokes(canvas, request.strokes, space, obscured);
  }

  // The watermark is laid out in the reference space, which the canvas shows whole. A
  // reference so small that the scale is no longer a number (a subnormal width) would show
  // at most a fragment of one glyph: nothing is drawn.
  const double scaleX = static_cast<double>(canvas.width()) / request.referenceWidth;
  const double scaleY = static_cast<double>(canvas.height()) / request.referenceHeight;
  const auto& watermark = request.watermark;
  if (watermark && std::isfinite(scaleX) && std::isfinite(scaleY)) {
    cairo_t* cr = canvas.context();
    cairo_save(cr);
    cairo_scale(cr, scaleX, scaleY);
    draw::drawWatermark(cr, *watermark, request.referenceWidth, request.referenceHeight,
                        draw::systemTextEngine());
    cairo_restore(cr);
  }
}

}  // namespace velmo::render
