#include "draw/stretch.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace velmo::draw {
namespace {

// The source pixels either side of an output pixel's centre along one axis, and the weight of
// the second in 128ths.
struct Tap {
  int first;
  int second;
  uint32_t weight;
};

// Output pixel i (from |origin| on the canvas) mapped onto |size| source pixels, |scale| source
// pixels per canvas pixel.
Tap tap(int origin, int i, double scale, uint32_t size) {
  const double at = (origin + i + 0.5) * scale - 0.5;
  const double whole = std::floor(at);
  const int last = static_cast<int>(size) - 1;
  const int first = static_cast<int>(whole);
  return {std::clamp(first, 0, last), std::clamp(first + 1, 0, last),
          static_cast<uint32_t>((at - whole) * 128)};
}

// a * (128 - w) + b * w over 128, rounded, on each 8-bit channel of two pixels: the channels
// are worked two at a time in 16-bit fields, which their products fit.
inline uint32_t mix(uint32_t a, uint32_t b, uint32_t w) {
  const uint32_t keep = 128 - w;
  const uint32_t even =
      (((a & 0x00FF00FF) * keep + (b & 0x00FF00FF) * w + 0x00400040) >> 7) & 0x00FF00FF;
  const uint32_t odd =
      ((((a >> 8) & 0x00FF00FF) * keep + ((b >> 8) & 0x00FF00FF) * w + 0x00400040) >> 7) &
      0x00FF00FF;
  return even | odd << 8;
}

// mix() of rows |a| and |b| by one weight, pixels first to last.
void mixRows(uint32_t* out, const uint32_t* a, const uint32_t* b, uint32_t w, int first, int last) {
  int x = first;
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  const __m128i keep = _mm_set1_epi16(static_cast<int16_t>(128 - w));
  const __m128i weight = _mm_set1_epi16(static_cast<int16_t>(w));
  const __m128i half = _mm_set1_epi16(64);
  auto mixed = [&](__m128i from, __m128i to) {
    return _mm_srli_epi16(
        _mm_add_epi16(_mm_add_epi16(_mm_mullo_epi16(from, keep), _mm_mullo_epi16(to, weight)),
                      half),
        7);
  };
  for (; x + 3 <= last; x += 4) {
    const __m128i from = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + x));
    const __m128i to = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + x));
    const __m128i low = mixed(_mm_unpacklo_epi8(from, zero), _mm_unpacklo_epi8(to, zero));
    const __m128i high = mixed(_mm_unpackhi_epi8(from, zero), _mm_unpackhi_epi8(to, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x), _mm_packus_epi16(low, high));
  }
#endif
  for (; x <= last; ++x) out[x] = mix(a[x], b[x], w);
}

}  // namespace

void stretchOverSpans(const platform::BitmapView& image, uint32_t canvasWidth,
                      uint32_t canvasHeight, const CoverageMask& mask, platform::Bitmap& patch) {
  const double scaleX = static_cast<double>(image.width) / canvasWidth;
  const double scaleY = static_cast<double>(image.height) / canvasHeight;
  const auto width = static_cast<size_t>(mask.width());
  std::vector<Tap> across(width);
  for (size_t x = 0; x < width; ++x) {
    across[x] = tap(mask.x(), static_cast<int>(x), scaleX, image.width);
  }
  // Image rows stretched across the mask's width: two at a time, each image row stretched
  // once for all the output rows between it and the next.
  std::array<std::vector<uint32_t>, 2> stretched{std::vector<uint32_t>(width),
                                                 std::vector<uint32_t>(width)};
  std::array<int, 2> stretchedRow{-1, -1};
  auto stretchedAcross = [&](int row, int keep) -> const uint32_t* {
    for (size_t slot = 0; slot < 2; ++slot) {
      if (stretchedRow[slot] == row) return stretched[slot].data();
    }
    const size_t slot = stretchedRow[0] == keep ? 1 : 0;
    const uint32_t* from = image.row(static_cast<uint32_t>(row));
    uint32_t* out = stretched[slot].data();
    for (size_t x = 0; x < width; ++x) {
      out[x] = mix(from[across[x].first], from[across[x].second], across[x].weight);
    }
    stretchedRow[slot] = row;
    return out;
  };
  for (int y = 0; y < mask.height(); ++y) {
    const int first = mask.first(y), last = mask.last(y);
    if (first > last) continue;
    const Tap down = tap(mask.y(), y, scaleY, image.height);
    const uint32_t* above = stretchedAcross(down.first, -1);
    const uint32_t* below = stretchedAcross(down.second, down.first);
    mixRows(patch.row(static_cast<uint32_t>(y)), above, below, down.weight, first, last);
  }
}

}  // namespace velmo::draw
