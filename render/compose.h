// The composition pass: the layers of a rendered picture, drawn onto its canvas in a fixed
// order: the cropped photo stretched over the whole canvas, the strokes, then the watermark in
// the reference space.
#pragma once

#include "draw/canvas.h"
#include "platform/bitmap.h"
#include "render/request.h"

namespace velmo::render {

struct Composition {
  // The crop of the upright, turned photo.
  platform::BitmapView cropped;
  // The size of the whole upright, turned photo in the pixels of |cropped|, which the crop
  // fractions and the stroke points refer to.
  double turnedWidth = 0;
  double turnedHeight = 0;
  // The blur preview of the cropped photo, or nullptr when no stroke asks for blur.
  const platform::Bitmap* obscured = nullptr;
  // Whether the canvas was made over the cropped photo itself, which is then there already.
  bool photoOnCanvas = false;
};

// Draws every layer of |request| onto |canvas| (of the request's output size). Unusable
// annotations are skipped, never refused; it throws only what the canvas throws when Cairo
// itself fails (std::bad_alloc for lack of memory). Leaves the canvas's graphics state as it
// found it.
void compose(draw::Canvas& canvas, const RenderRequest& request, const Composition& layers);

}  // namespace velmo::render
