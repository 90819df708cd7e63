// The PNG row filters and libspng's adaptive choice among them, for the encoder: the same
// choices as libspng's own heuristic, in loops the compiler vectorises.
#include "codec/internal/png_filter.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace velmo::codec::detail {
namespace {

// The filter types, as each row's first byte names them.
constexpr uint8_t kNone = kFilterNone, kSub = 1, kUp = 2, kAverage = 3, kPaeth = 4;

// The magnitude of a filtered byte read as signed, the measure libspng's heuristic sums.
inline uint32_t signedMagnitude(uint8_t v) {
  const int s = static_cast<int8_t>(v);
  return static_cast<uint32_t>(s < 0 ? -s : s);
}

// The Paeth predictor, with p - a, p - b and p - c written out so that it vectorises.
inline uint8_t paethPredictor(uint8_t a, uint8_t b, uint8_t c) {
  const int pa = std::abs(b - c);
  const int pb = std::abs(a - c);
  const int pc = std::abs(a + b - 2 * c);
  const uint8_t bc = pb <= pc ? b : c;
  return pa <= pb && pa <= pc ? a : bc;
}

}  // namespace

uint8_t chooseFilter(const uint8_t* row, const uint8_t* prev, size_t n, size_t bpp) {
  uint64_t sums[5] = {};
  const size_t head = std::min(bpp, n);
  // The first pixel has nothing to its left: a = c = 0.
  for (size_t i = 0; i < head; ++i) {
    const uint8_t x = row[i], b = prev[i];
    sums[kNone] += signedMagnitude(x);
    sums[kSub] += signedMagnitude(x);
    sums[kUp] += signedMagnitude(static_cast<uint8_t>(x - b));
    sums[kAverage] += signedMagnitude(static_cast<uint8_t>(x - (b >> 1)));
    sums[kPaeth] += signedMagnitude(static_cast<uint8_t>(x - b));
  }
  // In blocks, so that the 32-bit sums (at most 128 a byte) cannot overflow.
  constexpr size_t kBlock = size_t{1} << 20;
  for (size_t start = head; start < n; start += kBlock) {
    const size_t count = std::min(kBlock, n - start);
    const uint8_t* x = row + start;
    const uint8_t* a = row + start - bpp;
    const uint8_t* b = prev + start;
    const uint8_t* c = prev + start - bpp;
    uint32_t none = 0, sub = 0, up = 0, average = 0, paeth = 0;
    for (size_t i = 0; i < count; ++i) {
      none += signedMagnitude(x[i]);
      sub += signedMagnitude(static_cast<uint8_t>(x[i] - a[i]));
      up += signedMagnitude(static_cast<uint8_t>(x[i] - b[i]));
      average += signedMagnitude(static_cast<uint8_t>(x[i] - ((a[i] + b[i]) >> 1)));
      paeth += signedMagnitude(static_cast<uint8_t>(x[i] - paethPredictor(a[i], b[i], c[i])));
    }
    sums[kNone] += none;
    sums[kSub] += sub;
    sums[kUp] += up;
    sums[kAverage] += average;
    sums[kPaeth] += paeth;
  }
  uint8_t best = kNone;
  for (uint8_t filter = kSub; filter <= kPaeth; ++filter) {
    if (sums[filter] < sums[best]) best = filter;
  }
  return best;
}

void applyFilter(uint8_t filter, const uint8_t* row, const uint8_t* prev, size_t n, size_t bpp,
                 uint8_t* out) {
  const size_t head = std::min(bpp, n);
  switch (filter) {
    case kNone:
      std::memcpy(out, row, n);
      return;
    case kSub:
      std::memcpy(out, row, head);
      for (size_t i = head; i < n; ++i) out[i] = static_cast<uint8_t>(row[i] - row[i - bpp]);
      return;
    case kUp:
      for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(row[i] - prev[i]);
      return;
    case kAverage:
      for (size_t i = 0; i < head; ++i) out[i] = static_cast<uint8_t>(row[i] - (prev[i] >> 1));
      for (size_t i = head; i < n; ++i) {
        out[i] = static_cast<uint8_t>(row[i] - ((row[i - bpp] + prev[i]) >> 1));
      }
      return;
    default:
      for (size_t i = 0; i < head; ++i) out[i] = static_cast<uint8_t>(row[i] - prev[i]);
      for (size_t i = head; i < n; ++i) {
        out[i] =
            static_cast<uint8_t>(row[i] - paethPredictor(row[i - bpp], prev[i], prev[i - bpp]));
      }
      return;
  }
}

}  // namespace velmo::codec::detail
