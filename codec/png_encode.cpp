// PNG encoding with libspng, row by row, into a std::vector.
#include <spng.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "codec/image_encoder.h"
#include "codec/internal/library_owners.h"
#include "platform/checked.h"

namespace velmo::platform {
namespace {

constexpr int kZlibLevel = 4;

// libspng's write callback: appends each chunk to the vector behind |user|.
int appendBytes(spng_ctx*, void* user, void* data, size_t length) noexcept {
  auto* out = static_cast<std::vector<uint8_t>*>(user);
  const auto* bytes = static_cast<const uint8_t*>(data);
  try {
    out->insert(out->end(), bytes, bytes + length);
  } catch (...) {
    return SPNG_IO_ERROR;
  }
  return 0;
}

uint16_t bigEndian16(const uint8_t* p) {
  return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

// Hands the format's palette, tRNS and ICC profile to the encoder; false when they do not
// fit the colour type and bit depth.
bool setAncillary(spng_ctx* ctx, const PngImage& format) {
  using enum PngColorType;
  const PngColorType type = format.colorType;
  if (!format.palette.empty()) {
    // A palette is required for indexed colour, allowed as a suggestion for truecolour and
    // forbidden for grey.
    if (type != Rgb && type != Palette && type != Rgba) return false;
    const size_t entries = format.palette.size() / 3;
    if (format.palette.size() % 3 != 0 || entries > 256) return false;
    if (type == Palette && entries > (size_t{1} << format.bitDepth)) return false;
    spng_plte plte{};
    plte.n_entries = static_cast<uint32_t>(entries);
    for (size_t i = 0; i < entries; ++i) {
      plte.entries[i].red = format.palette[3 * i];
      plte.entries[i].green = format.palette[3 * i + 1];
      plte.entries[i].blue = format.palette[3 * i + 2];
    }
    if (spng_set_plte(ctx, &plte) != 0) return false;
  } else if (type == Palette) {
    return false;
  }

  if (!format.trns.empty()) {
    spng_trns trns{};
    const std::vector<uint8_t>& data = format.trns;
    if (type == Grey && data.size() == 2) {
      trns.gray = bigEndian16(data.data());
    } else if (type == Rgb && data.size() == 6) {
      trns.red = bigEndian16(data.data());
      trns.green = bigEndian16(data.data() + 2);
      trns.blue = bigEndian16(data.data() + 4);
    } else if (type == Palette && data.size() <= format.palette.size() / 3) {
      trns.n_type3_entries = static_cast<uint32_t>(data.size());
      std::memcpy(trns.type3_alpha, data.data(), data.size());
    } else {
      return false;
    }
    if (spng_set_trns(ctx, &trns) != 0) return false;
  }

  if (!format.icc.empty()) {
    spng_iccp iccp{};
    std::strcpy(iccp.profile_name, "ICC profile");
    iccp.profile_len = format.icc.size();
    // libspng copies the profile and does not write through this pointer.
    iccp.profile = const_cast<char*>(reinterpret_cast<const char*>(format.icc.data()));
    if (spng_set_iccp(ctx, &iccp) != 0) return false;
  }
  return true;
}

// Encodes |format|'s header and ancillary chunks, then the rows given by |rowAt(y)|, a
// pointer to row y's packed bytes or nullptr to give up.
template <typename RowAt>
std::optional<std::vector<uint8_t>> encodeRows(const PngImage& format, RowAt&& rowAt) {
  const auto rowBytes = pngRowBytes(format.width, format.colorType, format.bitDepth);
  if (!rowBytes || format.height == 0) return std::nullopt;

  SpngContext ctx(spng_ctx_new(SPNG_CTX_ENCODER));
  if (!ctx) return std::nullopt;
  // zlib level 4 with adaptive filters: on photos and screenshots it is about 2.5 times as
  // fast as the default level 6 for about 2 % more bytes.
  if (spng_set_option(ctx.get(), SPNG_IMG_COMPRESSION_LEVEL, kZlibLevel) != 0) return std::nullopt;
  std::vector<uint8_t> out;
  if (spng_set_png_stream(ctx.get(), appendBytes, &out) != 0) return std::nullopt;

  spng_ihdr ihdr{};
  ihdr.width = format.width;
  ihdr.height = format.height;
  ihdr.bit_depth = format.bitDepth;
  ihdr.color_type = static_cast<uint8_t>(format.colorType);
  if (spng_set_ihdr(ctx.get(), &ihdr) != 0) return std::nullopt;
  if (!setAncillary(ctx.get(), format)) return std::nullopt;

  // SPNG_FMT_RAW: rows are taken as they stand in the file (16-bit big-endian).
  if (spng_encode_image(ctx.get(), nullptr, 0, SPNG_FMT_RAW,
                        SPNG_ENCODE_PROGRESSIVE | SPNG_ENCODE_FINALIZE) != 0) {
    return std::nullopt;
  }
  for (uint32_t y = 0; y < format.height; ++y) {
    const uint8_t* row = rowAt(y);
    if (row == nullptr) return std::nullopt;
    const int status = spng_encode_row(ctx.get(), row, *rowBytes);
    // The last row finishes the file and reports the end of the image.
    const bool last = y + 1 == format.height;
    if (last ? status != SPNG_EOI : status != 0) return std::nullopt;
  }
  return out;
}

void toRgb(const uint32_t* pixels, uint32_t width, uint8_t* out) {
  for (uint32_t x = 0; x < width; ++x, out += 3) {
    const uint32_t p = pixels[x];
    out[0] = static_cast<uint8_t>(p >> 16);
    out[1] = static_cast<uint8_t>(p >> 8);
    out[2] = static_cast<uint8_t>(p);
  }
}

}  // namespace

uint32_t pngChannels(PngColorType type) {
  switch (type) {
    case PngColorType::Grey:
    case PngColorType::Palette:
      return 1;
    case PngColorType::GreyAlpha:
      return 2;
    case PngColorType::Rgb:
      return 3;
    case PngColorType::Rgba:
      return 4;
  }
  return 0;
}

bool pngDepthAllowed(PngColorType type, uint8_t bitDepth) {
  switch (type) {
    case PngColorType::Grey:
      return bitDepth == 1 || bitDepth == 2 || bitDepth == 4 || bitDepth == 8 || bitDepth == 16;
    case PngColorType::Palette:
      return bitDepth == 1 || bitDepth == 2 || bitDepth == 4 || bitDepth == 8;
    case PngColorType::GreyAlpha:
    case PngColorType::Rgb:
    case PngColorType::Rgba:
      return bitDepth == 8 || bitDepth == 16;
  }
  return false;
}

std::optional<size_t> pngRowBytes(uint32_t width, PngColorType colorType, uint8_t bitDepth) {
  if (width == 0 || !pngDepthAllowed(colorType, bitDepth)) return std::nullopt;
  // At most 2^32 * 4 * 16 bits: no overflow in 64 bits.
  const uint64_t bytes = (uint64_t{width} * pngChannels(colorType) * bitDepth + 7) / 8;
  if (bytes > SIZE_MAX) return std::nullopt;
  return static_cast<size_t>(bytes);
}

std::optional<std::vector<uint8_t>> encodePng(const BitmapView& image) {
  if (image.pixels == nullptr || image.width == 0 || image.height == 0) return std::nullopt;
  PngImage format;
  format.width = image.width;
  format.height = image.height;
  format.colorType = image.hasAlpha ? PngColorType::Rgba : PngColorType::Rgb;
  format.bitDepth = 8;
  try {
    std::vector<uint8_t> row(checkedMul(image.width, image.hasAlpha ? 4 : 3));
    return encodeRows(format, [&](uint32_t y) {
      if (image.hasAlpha) {
        unpremultiplyRow(image.row(y), image.width, row.data());
      } else {
        toRgb(image.row(y), image.width, row.data());
      }
      return static_cast<const uint8_t*>(row.data());
    });
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

std::optional<std::vector<uint8_t>> encodePng(const PngImage& image) {
  const auto packed = pngRowBytes(image.width, image.colorType, image.bitDepth);
  if (!packed || image.height == 0) return std::nullopt;
  const size_t stride = image.rowBytes == 0 ? *packed : image.rowBytes;
  if (stride < *packed) return std::nullopt;
  // The last row needs only its packed bytes, not a whole stride.
  size_t needed;
  if (__builtin_mul_overflow(size_t{image.height - 1}, stride, &needed) ||
      __builtin_add_overflow(needed, *packed, &needed) || image.pixels.size() < needed) {
    return std::nullopt;
  }
  try {
    return encodeRows(image, [&](uint32_t y) { return image.pixels.data() + size_t{y} * stride; });
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

std::optional<std::vector<uint8_t>> encodePng(const PngImage& format, const PngRowSource& rows) {
  const auto packed = pngRowBytes(format.width, format.colorType, format.bitDepth);
  if (!packed || !rows) return std::nullopt;
  try {
    std::vector<uint8_t> row(*packed);
    return encodeRows(format, [&](uint32_t y) -> const uint8_t* {
      return rows(y, std::span<uint8_t>(row)) ? row.data() : nullptr;
    });
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

}  // namespace velmo::platform
