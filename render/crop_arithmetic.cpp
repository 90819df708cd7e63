#include "render/crop_arithmetic.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "platform/orientation.h"

namespace velmo::render {

using platform::PixelRect;

int64_t decodeLimit(double sourceWidth, double sourceHeight, int64_t outputWidth,
                    int64_t outputHeight, double cropWidth, double cropHeight) {
  const double budget =
      std::min(std::sqrt(static_cast<double>(kMaxArea) / (sourceWidth * sourceHeight)), 1.0);
  const double needed = std::max(static_cast<double>(outputWidth) / cropWidth,
                                 static_cast<double>(outputHeight) / cropHeight);
  const double sourceSide = std::max(sourceWidth, sourceHeight) * budget;
  const double limit = std::min({needed, sourceSide, static_cast<double>(kMaxSide)});
  const double rounded = std::ceil(limit);
  // limit lies in [0, 16380] for valid inputs; NaN cannot reach here, but stay defined.
  if (!(rounded >= 1.0)) return 1;
  return static_cast<int64_t>(rounded);
}

int normalizeTurns(int64_t quarterTurns) {
  return static_cast<int>(static_cast<uint64_t>(quarterTurns) & 3u);
}

bool cropEdgesFinite(double width, double height, const draw::Rect& crop) {
  const double rx = crop.x * width;
  const double ry = crop.y * height;
  const double rw = crop.width * width;
  const double rh = crop.height * height;
  for (double v : {rx, ry, rw, rh, rx + rw, ry + rh}) {
    if (!std::isfinite(v)) return false;
  }
  return true;
}

std::optional<PixelRect> cropRect(uint32_t width, uint32_t height, const draw::Rect& crop) {
  const double imageWidth = width;
  const double imageHeight = height;
  // Edges that are not finite have no place on the image.
  if (!cropEdgesFinite(imageWidth, imageHeight, crop)) return std::nullopt;
  const double rx = crop.x * imageWidth;
  const double ry = crop.y * imageHeight;
  const double rRight = rx + crop.width * imageWidth;
  const double rBottom = ry + crop.height * imageHeight;
  const double left = std::max(rx, 0.0);
  const double top = std::max(ry, 0.0);
  const double right = std::min(rRight, imageWidth);
  const double bottom = std::min(rBottom, imageHeight);
  if (right <= left || bottom <= top) return std::nullopt;
  // Outward to whole pixels; the image's sides are whole, so the result stays inside the image.
  const double x0 = std::floor(left);
  const double y0 = std::floor(top);
  const double x1 = std::ceil(right);
  const double y1 = std::ceil(bottom);
  return PixelRect{static_cast<uint32_t>(x0), static_cast<uint32_t>(y0),
                   static_cast<uint32_t>(x1 - x0), static_cast<uint32_t>(y1 - y0)};
}

PixelRect storedRegion(const PixelRect& shown, uint32_t storedWidth, uint32_t storedHeight,
                       int orientation, int turns) {
  // Corners are points on the pixel grid, so the inverse maps work on edges: a column x of a
  // picture w wide, mirrored, is the edge w - x.
  const int64_t w = storedWidth, h = storedHeight;
  const bool swap = platform::orientationSwapsAxes(orientation);
  const int64_t uprightWidth = swap ? h : w, uprightHeight = swap ? w : h;
  struct Corner {
    int64_t x, y;
  };
  auto toStored = [&](Corner turned) {
    // Undo the turns (one turn takes upright (x, y) to (H - y, x), ...).
    Corner u = turned;
    switch (turns) {
      case 1:
        u = {turned.y, uprightHeight - turned.x};
        break;
      case 2:
        u = {uprightWidth - turned.x, uprightHeight - turned.y};
        break;
      case 3:
        u = {uprightWidth - turned.y, turned.x};
        break;
      default:
        break;
    }
    // Undo the orientation: where applyOrientation takes upright (x, y) from.
    switch (orientation) {
      case 2:
        return Corner{w - u.x, u.y};
      case 3:
        return Corner{w - u.x, h - u.y};
      case 4:
        return Corner{u.x, h - u.y};
      case 5:
        return Corner{u.y, u.x};
      case 6:
        return Corner{u.y, h - u.x};
      case 7:
        return Corner{w - u.y, h - u.x};
      case 8:
        return Corner{w - u.y, u.x};
      default:
        return u;
    }
  };
  const Corner a = toStored({shown.x, shown.y});
  const Corner b = toStored({int64_t{shown.x} + shown.width, int64_t{shown.y} + shown.height});
  return PixelRect{
      static_cast<uint32_t>(std::min(a.x, b.x)), static_cast<uint32_t>(std::min(a.y, b.y)),
      static_cast<uint32_t>(std::abs(a.x - b.x)), static_cast<uint32_t>(std::abs(a.y - b.y))};
}

}  // namespace velmo::render
