#include "render/compose.h"

#include "draw/text.h"
#include "draw/watermark.h"
#include "render/watermark.h"

namespace velmo {

void compose(draw::Canvas& canvas, const RenderRequest& request, const Composition& layers) {
  canvas.drawStretched(layers.cropped);

  // The watermark is laid out in the reference space, which the canvas shows whole.
  cairo_t* cr = canvas.context();
  cairo_save(cr);
  cairo_scale(cr, static_cast<double>(canvas.width()) / request.referenceWidth,
              static_cast<double>(canvas.height()) / request.referenceHeight);
  if (const auto watermark = readWatermark(request.watermark)) {
    draw::drawWatermark(cr, *watermark, request.referenceWidth, request.referenceHeight,
                        draw::systemTextEngine());
  }
  cairo_restore(cr);
}

}  // namespace velmo
