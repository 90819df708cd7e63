// PNG encoding. libspng writes the signature and the chunks before the image data (IHDR,
// iCCP, PLTE, tRNS), checking them as it goes; the image data is made here: each row is
// filtered as it comes, with libspng's own adaptive choice, and the filtered image is deflated
// in one piece with libdeflate once the last row is in.
//
// libspng's own encoder streams its rows through zlib, and its filter heuristic (five plain C
// passes over every row) with zlib's level 4 took 95 ms of a 340 ms tile for a 1080 x 2048
// screenshot window, against 6 ms for the filters of png_filter.cpp (the same choices, in loops
// the compiler vectorises) and 16 ms for libdeflate at level 5, whose files were no larger than
// zlib's level 4 on every image tried (screenshots 5 to 8 % smaller, photos 0.1 to 1.2 %). The
// price is memory: the filtered image is held whole, as large as the pixels, with room after
// it for the deflated data.
#include <libdeflate.h>
#include <spng.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <vector>

#include "codec/image_encoder.h"
#include "codec/internal/library_owners.h"
#include "codec/internal/png_filter.h"
#include "codec/internal/probe_reader.h"
#include "platform/checked.h"

namespace velmo::codec {
namespace {

// libdeflate's scale is not zlib's: its level 5 compresses about as well as zlib's 6.
constexpr int kDeflateLevel = 5;
// Images whose filtered rows come to more than this are deflated as the rows come, through
// zlib at level 4 (libspng's old setting), instead of being held whole for libdeflate: a
// render's canvas of up to 16 million pixels would otherwise be held twice more, filtered
// and deflated, beside itself. Tiles and renders of a few million pixels stay below it.
constexpr size_t kHeldImageBytes = size_t{32} << 20;
constexpr int kStreamingLevel = 4;
// The image data is split into IDAT chunks of at most this size.
constexpr size_t kIdatChunkBytes = size_t{1} << 20;

void putBigEndian32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

// Appends a chunk of |type| holding |data| (at most 2^31 - 1 bytes) to |out|.
void appendChunk(std::vector<uint8_t>& out, const char (&type)[5], const uint8_t* data,
                 size_t length) {
  uint8_t header[8];
  putBigEndian32(header, static_cast<uint32_t>(length));
  std::memcpy(header + 4, type, 4);
  uint32_t crc = libdeflate_crc32(0, header + 4, 4);
  // Not called for no data: given a null buffer, libdeflate answers its initial value.
  if (length > 0) crc = libdeflate_crc32(crc, data, length);
  uint8_t trailer[4];
  putBigEndian32(trailer, crc);
  out.insert(out.end(), header, header + 8);
  out.insert(out.end(), data, data + length);
  out.insert(out.end(), trailer, trailer + 4);
}

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
      trns.gray = probe::loadBe16(data.data());
    } else if (type == Rgb && data.size() == 6) {
      trns.red = probe::loadBe16(data.data());
      trns.green = probe::loadBe16(data.data() + 2);
      trns.blue = probe::loadBe16(data.data() + 4);
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

// Deflates |height| filtered rows of |stride| bytes, each written by |filterRow(y, line)|,
// through zlib as they come, appending IDAT chunks to |out| as the deflated data fills them.
// false when a row could not be had or zlib refused; throws std::bad_alloc when memory runs
// out.
template <typename FilterRow>
bool deflateRows(uint32_t height, size_t stride, FilterRow& filterRow, std::vector<uint8_t>& out) {
  z_stream stream{};
  const int started = deflateInit2(&stream, kStreamingLevel, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY);
  if (started == Z_MEM_ERROR) throw std::bad_alloc();
  if (started != Z_OK) return false;
  const DeflateStream owner(&stream);
  std::vector<uint8_t> line(stride);
  std::vector<uint8_t> chunk(kIdatChunkBytes);
  stream.next_out = chunk.data();
  stream.avail_out = static_cast<uInt>(chunk.size());
  auto emit = [&] {
    appendChunk(out, "IDAT", chunk.data(), chunk.size() - stream.avail_out);
    stream.next_out = chunk.data();
    stream.avail_out = static_cast<uInt>(chunk.size());
  };
  // Deflates what is in next_in with |flush|, emitting full chunks; the zlib result.
  auto pump = [&](int flush) {
    int result = Z_OK;
    do {
      result = deflate(&stream, flush);
      if (result == Z_STREAM_ERROR) return result;
      if (stream.avail_out == 0) emit();
    } while (stream.avail_in > 0 || (flush == Z_FINISH && result != Z_STREAM_END));
    return result;
  };
  for (uint32_t y = 0; y < height; ++y) {
    if (!filterRow(y, line.data())) return false;
    stream.next_in = line.data();
    stream.avail_in = static_cast<uInt>(stride);
    if (pump(Z_NO_FLUSH) == Z_STREAM_ERROR) return false;
  }
  if (pump(Z_FINISH) != Z_STREAM_END) return false;
  if (stream.avail_out < chunk.size()) emit();
  return true;
}

// Encodes |format|'s header and ancillary chunks, then the rows given by |rowAt(y, scratch)|:
// a pointer to row y's packed bytes, or nullptr to give up. A row source that converts may
// write the row into |scratch| (one packed row) and return that; a returned row is read again
// as the previous row of the next one, and two scratch rows take turns for that. Throws
// std::bad_alloc when memory runs out.
constexpr const char* kNoSuchPng = "no PNG has that size, colour type and bit depth";
constexpr const char* kRowsFailed = "the rows could not be given or compressed";

template <typename RowAt>
Result<std::vector<uint8_t>> encodeRows(const PngImage& format, RowAt&& rowAt) {
  const auto rowBytes = pngRowBytes(format.width, format.colorType, format.bitDepth);
  if (!rowBytes || format.height == 0) return unreadable(kNoSuchPng);

  std::vector<uint8_t> out;
  {
    SpngContext ctx(spng_ctx_new(SPNG_CTX_ENCODER));
    if (!ctx) throw std::bad_alloc();
    if (const int status = spng_set_png_stream(ctx.get(), appendBytes, &out); status != 0) {
      return unreadable(spng_strerror(status));
    }
    spng_ihdr ihdr{};
    ihdr.width = format.width;
    ihdr.height = format.height;
    ihdr.bit_depth = format.bitDepth;
    ihdr.color_type = static_cast<uint8_t>(format.colorType);
    if (const int status = spng_set_ihdr(ctx.get(), &ihdr); status != 0) {
      return unreadable(spng_strerror(status));
    }
    if (!setAncillary(ctx.get(), format)) {
      return unreadable("the palette, tRNS or ICC profile does not suit the image");
    }
    if (const int status = spng_encode_chunks(ctx.get()); status != 0) {
      return unreadable(spng_strerror(status));
    }
  }

  // As libspng does: palette indices and samples under 8 bits are not filtered, as it gains
  // them nothing.
  const bool filtered = format.colorType != PngColorType::Palette && format.bitDepth >= 8;
  const size_t bpp = std::max<size_t>(1, pngChannels(format.colorType) * format.bitDepth / 8);
  const size_t stride = *rowBytes + 1;
  const size_t imageBytes = platform::checkedMul(stride, format.height);
  std::vector<uint8_t> scratch(platform::checkedMul(*rowBytes, 2));
  const std::vector<uint8_t> zeros(filtered ? *rowBytes : 0);
  // Filters row y into |line| (stride bytes: the filter type, then the row); false when the
  // row source gave up.
  const uint8_t* prev = zeros.data();
  auto filterRow = [&](uint32_t y, uint8_t* line) {
    const uint8_t* row =
        rowAt(y, std::span<uint8_t>(scratch.data() + (y % 2) * *rowBytes, *rowBytes));
    if (row == nullptr) return false;
    line[0] = filtered ? detail::chooseFilter(row, prev, *rowBytes, bpp) : detail::kFilterNone;
    detail::applyFilter(line[0], row, prev, *rowBytes, bpp, line + 1);
    prev = row;
    return true;
  };
  if (imageBytes > kHeldImageBytes) {
    if (!deflateRows(format.height, stride, filterRow, out)) return unreadable(kRowsFailed);
    appendChunk(out, "IEND", nullptr, 0);
    return out;
  }

  // The filtered image and room for its deflated form, in one block: every byte is written
  // before it is read, so nothing is zero-filled (that would touch every page twice), and
  // the deflated part is touched only as far as it is used. One block also stays in the
  // allocator's heap between encodes, where two would be handed back to the system and
  // fresh pages faulted in at every encode.
  const size_t bound = libdeflate_zlib_compress_bound(nullptr, imageBytes);
  if (bound > SIZE_MAX - imageBytes) throw std::bad_array_new_length();
  auto block = std::make_unique_for_overwrite<uint8_t[]>(imageBytes + bound);
  uint8_t* const image = block.get();
  uint8_t* const deflated = block.get() + imageBytes;
  for (uint32_t y = 0; y < format.height; ++y) {
    if (!filterRow(y, image + size_t{y} * stride)) return unreadable(kRowsFailed);
  }

  DeflateCompressor compressor(libdeflate_alloc_compressor(kDeflateLevel));
  if (!compressor) throw std::bad_alloc();
  const size_t length =
      libdeflate_zlib_compress(compressor.get(), image, imageBytes, deflated, bound);
  if (length == 0) return unreadable("libdeflate could not compress the image");

  const size_t chunks = (length + kIdatChunkBytes - 1) / kIdatChunkBytes;
  out.reserve(out.size() + length + 12 * (chunks + 1));
  for (size_t offset = 0; offset < length; offset += kIdatChunkBytes) {
    appendChunk(out, "IDAT", deflated + offset, std::min(kIdatChunkBytes, length - offset));
  }
  appendChunk(out, "IEND", nullptr, 0);
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

Result<std::vector<uint8_t>> encodePng(const platform::BitmapView& image) {
  if (image.pixels == nullptr || image.width == 0 || image.height == 0) {
    return unreadable("no pixels to encode");
  }
  PngImage format;
  format.width = image.width;
  format.height = image.height;
  format.colorType = image.hasAlpha ? PngColorType::Rgba : PngColorType::Rgb;
  format.bitDepth = 8;
  try {
    return encodeRows(format, [&](uint32_t y, std::span<uint8_t> row) {
      if (image.hasAlpha) {
        platform::unpremultiplyRow(image.row(y), image.width, row.data());
      } else {
        toRgb(image.row(y), image.width, row.data());
      }
      return static_cast<const uint8_t*>(row.data());
    });
  } catch (const std::bad_alloc&) {
    return outOfMemory();
  }
}

Result<std::vector<uint8_t>> encodePng(const PngImage& image) {
  const auto packed = pngRowBytes(image.width, image.colorType, image.bitDepth);
  if (!packed || image.height == 0) return unreadable(kNoSuchPng);
  const size_t stride = image.rowBytes == 0 ? *packed : image.rowBytes;
  if (stride < *packed) return unreadable("rows shorter than the image is wide");
  // The last row needs only its packed bytes, not a whole stride.
  size_t needed;
  if (__builtin_mul_overflow(size_t{image.height - 1}, stride, &needed) ||
      __builtin_add_overflow(needed, *packed, &needed) || image.pixels.size() < needed) {
    return unreadable("fewer pixels than the rows need");
  }
  try {
    return encodeRows(image, [&](uint32_t y, std::span<uint8_t>) {
      return image.pixels.data() + size_t{y} * stride;
    });
  } catch (const std::bad_alloc&) {
    return outOfMemory();
  }
}

Result<std::vector<uint8_t>> encodePng(const PngImage& format, const PngRowSource& rows) {
  const auto packed = pngRowBytes(format.width, format.colorType, format.bitDepth);
  if (!packed || !rows) return unreadable(kNoSuchPng);
  return encodeRows(format, [&](uint32_t y, std::span<uint8_t> row) -> const uint8_t* {
    return rows(y, row) ? row.data() : nullptr;
  });
}

}  // namespace velmo::codec
