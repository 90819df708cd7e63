#include "render/compose.h"

#include <optional>

#include "draw/stroke.h"
#include "render/strokes.h"

namespace velmo {

void compose(draw::Canvas& canvas, const RenderRequest& request, const Composition& layers) {
  canvas.drawStretched(layers.cropped);

  // Strokes, in canvas pixels. Their points are fractions of the whole oriented photo, mapped
  // through the crop fractions as the recipe gave them.
  if (!request.strokes.empty()) {
    draw::StrokeSpace space;
    space.width = canvas.width();
    space.height = canvas.height();
    space.fullWidth = layers.orientedWidth;
    space.fullHeight = layers.orientedHeight;
    space.crop = {request.crop[0], request.crop[1], request.crop[2], request.crop[3]};
    std::optional<platform::BitmapView> obscured;
    if (layers.obscured != nullptr) obscured = layers.obscured->view();
    draw::drawStrokes(canvas, readStrokes(request.strokes), space, obscured);
  }

  // The watermark follows here, in the reference space.
}

}  // namespace velmo
