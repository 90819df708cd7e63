// The PNG row filters and libspng's adaptive choice among them. Private to codec/: the PNG
// encoder (png_encode.cpp) filters each row with them before deflating.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmo::codec::detail {

// The filter type that leaves a row as it is, as the row's first byte names it.
inline constexpr uint8_t kFilterNone = 0;

// libspng's adaptive choice: the filter whose output, read as signed bytes, has the least sum
// of magnitudes, the lower filter type on a tie. |row| and |prev| (all zeros above the first
// row) hold |n| bytes; |bpp| is the bytes per complete pixel, at least 1.
uint8_t chooseFilter(const uint8_t* row, const uint8_t* prev, size_t n, size_t bpp);

// Writes |row| filtered with |filter| to |out|; the arguments as for chooseFilter.
void applyFilter(uint8_t filter, const uint8_t* row, const uint8_t* prev, size_t n, size_t bpp,
                 uint8_t* out);

}  // namespace velmo::codec::detail
