// A PNG image in the file's own terms (colour type, bit depth, palette, tRNS, ICC profile and
// packed rows): what the PNG encoder writes without conversion and what a window reader gives
// in a source's own terms.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace velmo::codec {

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

// Bytes of one packed PNG row: ceil(width * channels * bitDepth / 8), or nullopt when the
// colour type and bit depth do not form a valid PNG format or the size overflows.
std::optional<size_t> pngRowBytes(uint32_t width, PngColorType colorType, uint8_t bitDepth);

}  // namespace velmo::codec
