// An image stretched up over a canvas, worked out only where a coverage mask lets it show.
#pragma once

#include <cstdint>

#include "draw/brush.h"
#include "platform/bitmap.h"

namespace velmo::draw {

// Fills |patch| (the size of |mask|, its pixel (0, 0) at the mask's origin on the canvas)
// with |image| stretched over the whole canvas of canvasWidth x canvasHeight pixels: bilinear
// between the image's pixel centres, with edge pixels repeated outward, the weights in
// 128ths as pixman takes them. Only the pixels of the mask's spans are filled. The image must
// be no larger than the canvas either way: this is enlarging, with no filter for shrinking.
void stretchOverSpans(const platform::BitmapView& image, uint32_t canvasWidth,
                      uint32_t canvasHeight, const CoverageMask& mask, platform::Bitmap& patch);

}  // namespace velmo::draw
