// The window arithmetic of the "tile" method: which whole pixels of the stored frame a request
// covers, the sampling factor, and the size of the tile made from them.
//
// The request stays in doubles until it has been clipped to the image, so no caller value
// (1e19, infinities, NaN) can overflow an integer on the way.
#pragma once

#include <cstdint>
#include <optional>

#include "platform/pixel_geometry.h"

namespace velmo::tile {

// The request (x, y, width, height) normalised (a negative width or height extends the
// rectangle to the left or up), widened to whole pixels (left and top edges down, right and
// bottom edges up) and intersected with the image (0, 0, image.width, image.height). An
// infinite width or height reaches to the image's edge. A request that misses the image, an
// origin that is not finite, or NaN anywhere gives an empty window.
platform::PixelRect clipTileWindow(double x, double y, double width, double height,
                                   platform::PixelSize image);

// The sampling factor: |requested| when it is a number of at least 1, else 1.
double tileSample(std::optional<double> requested);

// The largest tile side; a window may be up to this many times the sample on each side.
inline constexpr double kMaxTileSide = 2048;

// The size of the tile cut from |window| at |sample| (at least 1): the window divided by the
// sample, rounded up, at least 1 on each side. nullopt when the window is empty or either
// quotient exceeds 2048 (exactly 2048 passes).
std::optional<platform::PixelSize> tileSize(const platform::PixelRect& window, double sample);

}  // namespace velmo::tile
