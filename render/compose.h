// The composition pass: the layers of a rendered picture, drawn onto its canvas in a fixed
// order: the cropped photo stretched over the whole canvas, the strokes, then the watermark in
// the reference space.
#pragma once

#include "draw/canvas.h"
#include "platform/bitmap.h"
#include "render/request.h"

namespace velmo {

struct Composition {
  // The oriented, cropped photo.
  platform::BitmapView cropped;
  // The whole oriented photo's size in pixels, which the crop fractions refer to.
  double orientedWidth = 0;
  double orientedHeight = 0;
  // The blur preview of the cropped photo, or nullptr when no stroke asks for blur.
  const platform::Bitmap* obscured = nullptr;
  // Whether the canvas was made over the cropped photo itself, which is then there already.
  bool photoOnCanvas = false;
};

// Draws every layer of |request| onto |canvas| (of the request's output size). Never fails:
// unusable annotations are skipped. Leaves the canvas's graphics state as it found it.
void compose(draw::Canvas& canvas, const RenderRequest& request, const Composition& layers);

}  // namespace velmo
