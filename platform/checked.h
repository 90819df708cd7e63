// Size arithmetic that cannot overflow silently.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>

namespace velmo::platform {

// a * b, or std::bad_array_new_length when the product does not fit in size_t.
inline size_t checkedMul(size_t a, size_t b) {
  size_t product;
  if (__builtin_mul_overflow(a, b, &product)) throw std::bad_array_new_length();
  return product;
}

inline size_t checkedMul(size_t a, size_t b, size_t c) {
  return checkedMul(checkedMul(a, b), c);
}

// Decode limits every decoder consults as soon as it knows a frame's size, before allocating:
// frames over 2^28 pixels or with a side over 1,000,000 pixels are refused. The cap is above
// 200-megapixel camera photos and 1440 x 150000 screenshots.
inline constexpr uint64_t kMaxFramePixels = uint64_t{1} << 28;
inline constexpr uint64_t kMaxFrameSide = 1'000'000;

inline bool frameWithinLimits(uint64_t width, uint64_t height) {
  return width >= 1 && height >= 1 && width <= kMaxFrameSide && height <= kMaxFrameSide &&
         width * height <= kMaxFramePixels;
}

}  // namespace velmo::platform
