// Making and reading test images for the tile tests, straight through libspng and libjpeg, so
// that what the tests check does not depend on the code under test.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace velmo::testing {

// A PNG as stored: packed rows in the file's own colour type and bit depth (16-bit samples
// big-endian), with optional palette (RGB triplets), tRNS data and ICC profile.
struct PngLayout {
  uint32_t width = 0;
  uint32_t height = 0;
  uint8_t colorType = 2;
  uint8_t bitDepth = 8;
  bool interlaced = false;
  std::vector<uint8_t> palette;
  std::vector<uint8_t> trns;
  std::vector<uint8_t> icc;
};

inline PngLayout pngLayout(uint32_t width, uint32_t height, uint8_t colorType = 2,
                           uint8_t bitDepth = 8) {
  PngLayout layout;
  layout.width = width;
  layout.height = height;
  layout.colorType = colorType;
  layout.bitDepth = bitDepth;
  return layout;
}

// Bytes of one packed row of |layout|.
size_t packedRowBytes(const PngLayout& layout);

// Writes a PNG whose rows come from |row(y, out)|; |compressionLevel| 0 stores the data
// uncompressed (fast for large noise images), -1 is zlib's default.
void writePng(const std::string& path, const PngLayout& layout,
              const std::function<void(uint32_t y, uint8_t* out)>& row, int compressionLevel = -1);

// A PNG file's header, chunks of interest and pixels in the requested libspng format
// (SPNG_FMT_RGBA8, SPNG_FMT_RGBA16 host-endian, SPNG_FMT_RAW as stored).
struct ReadPng {
  uint32_t width = 0;
  uint32_t height = 0;
  uint8_t colorType = 0;
  uint8_t bitDepth = 0;
  uint8_t interlace = 0;
  std::vector<uint8_t> palette;  // RGB triplets
  std::vector<uint8_t> trns;     // as stored
  std::vector<uint8_t> icc;
  std::vector<uint8_t> pixels;
  size_t rowBytes = 0;
};
std::optional<ReadPng> readPng(const std::string& path, int format, bool applyTrns = true);

// A PNG made of a signature, an IHDR of the given size and nothing else of use: enough to
// be recognised, never enough to decode.
void writePngHeaderOnly(const std::string& path, uint32_t width, uint32_t height);

// JPEG decoded whole to 8-bit RGB (or grey, one byte a pixel), no colour management.
struct ReadJpeg {
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t channels = 0;
  std::vector<uint8_t> pixels;
};
std::optional<ReadJpeg> readJpeg(const std::string& path);

// Writes an 8-bit RGB JPEG at |quality| from rows of RGB samples, with |icc| embedded in APP2
// segments when it is not empty.
void writeJpeg(const std::string& path, uint32_t width, uint32_t height, int quality,
               const std::function<void(uint32_t y, uint8_t* rgb)>& row,
               const std::vector<uint8_t>& icc = {});

// Peak signal-to-noise ratio in dB between equally long sample arrays; +inf when equal.
double psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b);

}  // namespace velmo::testing
