#include "platform/orientation.h"

#include <algorithm>

namespace velmo::platform {
namespace {

// Orientations 5 to 8 read the stored picture down its columns. Walking the upright picture
// in small square tiles keeps both sides of the copy in the cache (twice as fast as whole
// rows on a 16 MP picture).
constexpr uint32_t kTile = 32;

// Fills |upright| (h x w) from |stored| (w x h): upright (x, y) comes from stored column
// column(y), row row(x).
template <typename RowOf, typename ColumnOf>
void transposeInto(const Bitmap& stored, Bitmap& upright, RowOf row, ColumnOf column) {
  const uint32_t width = upright.width(), height = upright.height();
  for (uint32_t y0 = 0; y0 < height; y0 += kTile) {
    const uint32_t y1 = std::min(height, y0 + kTile);
    for (uint32_t x0 = 0; x0 < width; x0 += kTile) {
      const uint32_t x1 = std::min(width, x0 + kTile);
      for (uint32_t y = y0; y < y1; ++y) {
        uint32_t* out = upright.row(y);
        const uint32_t sourceColumn = column(y);
        for (uint32_t x = x0; x < x1; ++x) out[x] = stored.row(row(x))[sourceColumn];
      }
    }
  }
}

}  // namespace

int effectiveOrientation(std::optional<int64_t> stored) {
  if (!stored || *stored < 1 || *stored > 8) return 1;
  return static_cast<int>(*stored);
}

int turnedOrientation(int orientation, int quarterTurns) {
  // Row: the orientation 1 to 8; column: the clockwise quarter turns after it.
  static constexpr int kTurned[8][4] = {{1, 6, 3, 8}, {2, 7, 4, 5}, {3, 8, 1, 6}, {4, 5, 2, 7},
                                        {5, 2, 7, 4}, {6, 3, 8, 1}, {7, 4, 5, 2}, {8, 1, 6, 3}};
  const int from = orientation >= 1 && orientation <= 8 ? orientation : 1;
  return kTurned[from - 1][quarterTurns & 3];
}

Bitmap applyOrientation(Bitmap stored, int orientation) {
  if (orientation < 2 || orientation > 8) return stored;
  const uint32_t w = stored.width();
  const uint32_t h = stored.height();
  const bool swap = orientationSwapsAxes(orientation);
  Bitmap upright(swap ? h : w, swap ? w : h, stored.hasAlpha());

  // Written as "where does the upright pixel (x, y) come from", each case the inverse of the
  // turn named in the header.
  switch (orientation) {
    case 2:  // source (w - 1 - x, y)
    case 3:  // source (w - 1 - x, h - 1 - y)
    case 4:  // source (x, h - 1 - y)
      for (uint32_t y = 0; y < h; ++y) {
        const uint32_t* in = stored.row(orientation == 2 ? y : h - 1 - y);
        uint32_t* out = upright.row(y);
        if (orientation == 4) {
          std::copy(in, in + w, out);
        } else {
          std::reverse_copy(in, in + w, out);
        }
      }
      break;
    case 5:  // source (y, x)
      transposeInto(
          stored, upright, [](uint32_t x) { return x; }, [](uint32_t y) { return y; });
      break;
    case 6:  // source (y, h - 1 - x)
      transposeInto(
          stored, upright, [h](uint32_t x) { return h - 1 - x; }, [](uint32_t y) { return y; });
      break;
    case 7:  // source (w - 1 - y, h - 1 - x)
      transposeInto(
          stored, upright, [h](uint32_t x) { return h - 1 - x; },
          [w](uint32_t y) { return w - 1 - y; });
      break;
    case 8:  // source (w - 1 - y, x)
      transposeInto(
          stored, upright, [](uint32_t x) { return x; }, [w](uint32_t y) { return w - 1 - y; });
      break;
  }
  return upright;
}

}  // namespace velmo::platform
