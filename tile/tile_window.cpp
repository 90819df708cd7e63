#include "tile/tile_window.h"

#include <algorithm>
#include <cmath>

namespace velmo::tile {

platform::PixelRect clipTileWindow(double x, double y, double width, double height,
                                   platform::PixelSize image) {
  // Only the origin must be a point; an extent may be infinite, and is clipped like a huge
  // finite one. NaN anywhere is no window.
  if (!std::isfinite(x) || !std::isfinite(y) || std::isnan(width) || std::isnan(height)) {
    return {};
  }
  // A negative extent reaches left or up from the origin. The sums may overflow to infinity
  // on the side away from the origin, which the clipping below absorbs.
  const double left = std::floor(width < 0 ? x + width : x);
  const double right = std::ceil(width < 0 ? x : x + width);
  const double top = std::floor(height < 0 ? y + height : y);
  const double bottom = std::ceil(height < 0 ? y : y + height);
  const double clippedLeft = std::max(left, 0.0);
  const double clippedTop = std::max(top, 0.0);
  const double clippedRight = std::min(right, static_cast<double>(image.width));
  const double clippedBottom = std::min(bottom, static_cast<double>(image.height));
  if (!(clippedRight > clippedLeft) || !(clippedBottom > clippedTop)) return {};
  // Every edge now lies in [0, image size] and is a whole number.
  return {static_cast<uint32_t>(clippedLeft), static_cast<uint32_t>(clippedTop),
          static_cast<uint32_t>(clippedRight - clippedLeft),
          static_cast<uint32_t>(clippedBottom - clippedTop)};
}

double tileSample(std::optional<double> requested) {
  // Written out rather than std::max(*requested, 1.0), which would let NaN through.
  if (!requested || !(*requested >= 1)) return 1;
  return *requested;
}

std::optional<platform::PixelSize> tileSize(const platform::PixelRect& window, double sample) {
  if (window.empty()) return std::nullopt;
  const double columns = window.width / sample;
  const double rows = window.height / sample;
  if (!(columns <= kMaxTileSide) || !(rows <= kMaxTileSide)) return std::nullopt;
  // The quotients are at most 2048 here; an infinite sample gives 0, hence the floor of 1.
  return platform::PixelSize{static_cast<uint32_t>(std::max(1.0, std::ceil(columns))),
                             static_cast<uint32_t>(std::max(1.0, std::ceil(rows)))};
}

}  // namespace velmo::tile
