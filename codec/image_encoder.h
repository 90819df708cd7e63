// Encoding finished pixels as JPEG or PNG bytes in memory.
//
// Every encoder is deterministic: the same pixels and settings give the same bytes, so a
// caller may measure an encoding's size once and rely on it. None of them writes metadata
// beyond what is named here (no EXIF, no text chunks, no timestamps). Failures (a size the
// format cannot hold, a library error, lack of memory) give nullopt; nothing throws, save
// where said.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "platform/bitmap.h"

namespace velmo::codec {

// Baseline JFIF JPEG of the bitmap's colour (the alpha byte is ignored), 4:2:0 chroma,
// optimised Huffman tables, no EXIF or ICC profile (the pixels are sRGB). |quality| is the
// libjpeg scale 0 to 100, clamped.
std::optional<std::vector<uint8_t>> encodeJpeg(const platform::BitmapView& image, int quality);

// 8-bit PNG of a render bitmap: RGBA with the premultiplication undone (rounded to nearest)
// when the bitmap declares alpha, else RGB.
//
// Every PNG encoder here filters each row adaptively (libspng's choice of filter) and
// deflates the filtered image in one piece (libdeflate, level 5), so it holds one filtered
// copy of the image, about as large as the packed pixels, while it works.
std::optional<std::vector<uint8_t>> encodePng(const platform::BitmapView& image);

// The PNG colour types, with the values IHDR stores.
enum class PngColorType : uint8_t { Grey = 0, Rgb = 2, Palette = 3, GreyAlpha = 4, Rgba = 6 };

// Samples per pixel: 1 (grey, or a palette index), 2, 3 or 4; 0 for a value that is no
// colour type.
uint32_t pngChannels(PngColorType type);
// Whether |bitDepth| is one that |type| allows (1, 2, 4, 8 or 16 for grey, up to 8 for a
// palette, 8 or 16 for the others).
bool pngDepthAllowed(PngColorType type, uint8_t bitDepth);

// A PNG image in the file's own terms, for writing a source's pixels without conversion.
struct PngImage {
  uint32_t width = 0;
  uint32_t height = 0;
  // Colour type and bit depth, in one of the combinations the PNG format allows.
  PngColorType colorType = PngColorType::Grey;
  uint8_t bitDepth = 8;
  // Row y starts at y * rowBytes; samples are packed as in the PNG data stream (sub-byte
  // samples from the high bits, 16-bit samples big-endian). rowBytes 0 means rows are
  // packed with no padding.
  std::vector<uint8_t> pixels;
  size_t rowBytes = 0;
  // Palette as RGB triplets (colour type 3 only; at most 256 entries, no more than the bit
  // depth can index).
  std::vector<uint8_t> palette;
  // The tRNS chunk's data as stored: a 2-byte grey value, a 6-byte RGB value or one alpha
  // byte per palette entry. Empty for none.
  std::vector<uint8_t> trns;
  // ICC profile to embed as iCCP; empty for none.
  std::vector<uint8_t> icc;
};

std::optional<std::vector<uint8_t>> encodePng(const PngImage& image);

// Fills |row| (exactly the packed row length) with row |y| in PNG byte order; returns false
// to abandon the encoding. Called once per row, top to bottom.
using PngRowSource = std::function<bool(uint32_t y, std::span<uint8_t> row)>;

// As encodePng(PngImage), but the rows come from |rows| instead of |format.pixels|, which is
// not read. Unlike the other encoders this one lets std::bad_alloc through (from its own
// allocations and from |rows|), so that a caller can tell lack of memory from a failure of
// the format or of the rows.
std::optional<std::vector<uint8_t>> encodePng(const PngImage& format, const PngRowSource& rows);

// Bytes of one packed PNG row: ceil(width * channels * bitDepth / 8), or nullopt when the
// colour type and bit depth do not form a valid PNG format or the size overflows.
std::optional<size_t> pngRowBytes(uint32_t width, PngColorType colorType, uint8_t bitDepth);

}  // namespace velmo::codec
