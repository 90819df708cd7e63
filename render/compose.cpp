#include "render/compose.h"

namespace velmo {

void compose(draw::Canvas& canvas, const RenderRequest& /*request*/, const Composition& layers) {
  canvas.drawStretched(layers.cropped);
}

}  // namespace velmo
