// Encoding finished pixels as JPEG or PNG bytes in memory.
//
// Every encoder is deterministic: the same pixels and settings give the same bytes, so a
// caller may measure an encoding's size once and rely on it. None of them writes metadata
// beyond what is named here (no EXIF, no text chunks, no timestamps). Failures (a size the
// format cannot hold, a library error, lack of memory) give a Failure (codec/result.h), with
// the library's words where it gave any; nothing throws, save where said.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "codec/png_image.h"
#include "codec/result.h"
#include "platform/bitmap.h"

namespace velmo::codec {

// Baseline JFIF JPEG of the bitmap's colour (the alpha byte is ignored), 4:2:0 chroma,
// optimised Huffman tables, no EXIF or ICC profile (the pixels are sRGB). |quality| is the
// libjpeg scale 0 to 100, clamped.
Result<std::vector<uint8_t>> encodeJpeg(const platform::BitmapView& image, int quality);

// 8-bit PNG of a render bitmap: RGBA with the premultiplication undone (rounded to nearest)
// when the bitmap declares alpha, else RGB.
//
// Every PNG encoder here filters each row adaptively (libspng's choice of filter) and
// deflates the filtered image in one piece (libdeflate, level 5), so it holds one filtered
// copy of the image, about as large as the packed pixels, while it works.
Result<std::vector<uint8_t>> encodePng(const platform::BitmapView& image);

// PNG of |image| as it stands (codec/png_image.h): its colour type, bit depth, palette, tRNS
// and ICC profile, unconverted.
Result<std::vector<uint8_t>> encodePng(const PngImage& image);

// Fills |row| (exactly the packed row length) with row |y| in PNG byte order; returns false
// to abandon the encoding. Called once per row, top to bottom.
using PngRowSource = std::function<bool(uint32_t y, std::span<uint8_t> row)>;

// As encodePng(PngImage), but the rows come from |rows| instead of |format.pixels|, which is
// not read. Unlike the other encoders this one lets std::bad_alloc through (from its own
// allocations and from |rows|), so that a caller can tell lack of memory from a failure of
// the format or of the rows.
Result<std::vector<uint8_t>> encodePng(const PngImage& format, const PngRowSource& rows);

}  // namespace velmo::codec
