// Windows of PNG frames with libspng: rows are decoded one at a time from the top, rows above
// the window are dropped, and decoding stops after the window's bottom row, so memory holds
// one image row and the window. Interlaced files spread every row over seven passes; for them
// the window's rows are kept whole until the last pass has filled them.
#include <spng.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "codec/internal/library_owners.h"
#include "codec/window_decoder.h"
#include "platform/checked.h"

namespace velmo::platform {
namespace {

// Chunks larger than this are refused, and the chunks libspng keeps (text, ICC, EXIF...) may
// not take more than the cache limit between them.
constexpr size_t kMaxChunkBytes = size_t{16} << 20;
constexpr size_t kMaxChunkCacheBytes = size_t{64} << 20;
constexpr size_t kReadAheadBytes = size_t{64} << 10;

// libspng reads chunk headers and data in small pieces; a read-ahead buffer keeps that to one
// system call per 64 KiB.
struct PngStream {
  const InputFile* file = nullptr;
  uint64_t offset = 0;  // file offset of the next byte not yet in |buffer|
  std::vector<uint8_t> buffer;
  size_t start = 0;
  size_t end = 0;
};

int readPngStream(spng_ctx*, void* user, void* destination, size_t length) noexcept {
  auto* stream = static_cast<PngStream*>(user);
  auto* out = static_cast<uint8_t*>(destination);
  while (length > 0) {
    if (stream->start == stream->end) {
      if (length >= stream->buffer.size()) {
        const size_t got = stream->file->readAt(stream->offset, {out, length});
        stream->offset += got;
        return got == length ? 0 : SPNG_IO_EOF;
      }
      const size_t got = stream->file->readAt(stream->offset, stream->buffer);
      if (got == 0) return SPNG_IO_EOF;
      stream->offset += got;
      stream->start = 0;
      stream->end = got;
    }
    const size_t take = std::min(length, stream->end - stream->start);
    std::memcpy(out, stream->buffer.data() + stream->start, take);
    stream->start += take;
    out += take;
    length -= take;
  }
  return 0;
}

uint32_t channelsOf(uint8_t colorType) {
  switch (colorType) {
    case 2:
      return 3;
    case 4:
      return 2;
    case 6:
      return 4;
    default:
      return 1;
  }
}

// Copies |count| pixels of |bitsPerPixel| bits starting at pixel |first| of a packed row.
// Sub-byte pixels are repacked from the high bits, and the unused low bits of the last byte
// are left zero.
void copyPixels(const uint8_t* row, uint32_t first, uint32_t count, uint32_t bitsPerPixel,
                uint8_t* out) {
  if (bitsPerPixel >= 8) {
    const size_t bytes = bitsPerPixel / 8;
    std::memcpy(out, row + size_t{first} * bytes, size_t{count} * bytes);
    return;
  }
  const uint32_t mask = (1u << bitsPerPixel) - 1;
  std::memset(out, 0, (size_t{count} * bitsPerPixel + 7) / 8);
  for (uint32_t i = 0; i < count; ++i) {
    const uint64_t from = (uint64_t{first} + i) * bitsPerPixel;
    const uint32_t value = (row[from / 8] >> (8 - bitsPerPixel - from % 8)) & mask;
    const uint64_t to = uint64_t{i} * bitsPerPixel;
    out[to / 8] |= static_cast<uint8_t>(value << (8 - bitsPerPixel - to % 8));
  }
}

// Rounded 16-bit to 8-bit sample conversion.
inline uint8_t to8(uint16_t v) {
  return static_cast<uint8_t>((uint32_t{v} * 255 + 32767) / 65535);
}

class PngWindowReader final : public FrameWindowReader {
 public:
  explicit PngWindowReader(const InputFile& file) {
    stream_.file = &file;
    stream_.buffer.resize(kReadAheadBytes);
  }

  bool open() {
    ctx_.reset(spng_ctx_new(0));
    if (!ctx_) return false;
    spng_ctx* ctx = ctx_.get();
    if (spng_set_image_limits(ctx, kMaxFrameSide, kMaxFrameSide) != 0 ||
        spng_set_chunk_limits(ctx, kMaxChunkBytes, kMaxChunkCacheBytes) != 0 ||
        // A damaged critical chunk fails the decode; a damaged ancillary one is dropped.
        spng_set_crc_action(ctx, SPNG_CRC_ERROR, SPNG_CRC_DISCARD) != 0 ||
        spng_set_png_stream(ctx, readPngStream, &stream_) != 0 || spng_get_ihdr(ctx, &ihdr_) != 0) {
      return false;
    }
    if (!frameWithinLimits(ihdr_.width, ihdr_.height)) return false;
    // Chunks before the image data; a failure here shows again when the rows are decoded.
    spng_iccp iccp{};
    if (spng_get_iccp(ctx, &iccp) == 0 && iccp.profile != nullptr) {
      const auto* profile = reinterpret_cast<const uint8_t*>(iccp.profile);
      icc_.assign(profile, profile + iccp.profile_len);
    }
    return true;
  }

  uint32_t width() const override { return ihdr_.width; }
  uint32_t height() const override { return ihdr_.height; }

  WindowResult<PngImage> readWindow(const PixelWindow& window) override {
    try {
      PngImage image;
      image.width = window.width;
      image.height = window.height;
      image.colorType = ihdr_.color_type;
      image.bitDepth = ihdr_.bit_depth;
      const auto rowBytes = pngRowBytes(window.width, image.colorType, image.bitDepth);
      if (!rowBytes) return WindowFailure::Unreadable;
      image.rowBytes = *rowBytes;
      image.pixels.resize(checkedMul(*rowBytes, window.height));
      const uint32_t bitsPerPixel = channelsOf(ihdr_.color_type) * ihdr_.bit_depth;
      uint8_t* out = image.pixels.data();
      // SPNG_FMT_RAW: the samples as stored, 16-bit big-endian, sub-byte pixels packed.
      const bool decoded = decodeRows(SPNG_FMT_RAW, 0, window, [&](const uint8_t* row) {
        copyPixels(row, window.x, window.width, bitsPerPixel, out);
        out += *rowBytes;
      });
      if (!decoded) return WindowFailure::Unreadable;
      carryAncillary(image);
      return image;
    } catch (const std::bad_alloc&) {
      return WindowFailure::Unreadable;
    }
  }

  WindowResult<Bitmap> readWindowShrunk(const PixelWindow& window, uint32_t width,
                                        uint32_t height) override {
    spng_trns trns{};
    const bool hasAlpha =
        ihdr_.color_type == 4 || ihdr_.color_type == 6 || spng_get_trns(ctx_.get(), &trns) == 0;
    const auto made =
        window_detail::WindowShrinker::make(window.width, window.height, width, height, hasAlpha);
    if (!made) return WindowFailure::ScalerSetup;
    auto& shrinker = *made;
    try {
      std::vector<uint32_t> pixels(window.width);
      const bool sixteen = ihdr_.bit_depth == 16;
      // 16-bit samples come host-endian from libspng and are rounded to 8 bits here.
      const int format = sixteen ? SPNG_FMT_RGBA16 : SPNG_FMT_RGBA8;
      const bool decoded = decodeRows(format, SPNG_DECODE_TRNS, window, [&](const uint8_t* row) {
        if (sixteen) {
          const uint8_t* samples = row + size_t{window.x} * 8;
          for (uint32_t x = 0; x < window.width; ++x, samples += 8) {
            uint16_t rgba[4];
            std::memcpy(rgba, samples, sizeof rgba);
            pixels[x] = premultiply(to8(rgba[0]), to8(rgba[1]), to8(rgba[2]), to8(rgba[3]));
          }
        } else {
          window_detail::premultiplyRow(row + size_t{window.x} * 4, window.width, pixels.data());
        }
        shrinker.pushRow(pixels.data());
      });
      if (!decoded) return WindowFailure::Unreadable;
    } catch (const std::bad_alloc&) {
      return WindowFailure::Unreadable;
    }
    return shrinker.finish(icc_, ihdr_.color_type == 0 || ihdr_.color_type == 4);
  }

 private:
  // Decodes the rows down to the window's bottom in |format| and hands each window row, in
  // order, to |onRow|. False when the data is corrupt or ends early.
  template <typename OnRow>
  bool decodeRows(int format, int flags, const PixelWindow& window, OnRow&& onRow) {
    if (used_) return false;
    used_ = true;
    spng_ctx* ctx = ctx_.get();
    size_t imageBytes = 0;
    if (spng_decoded_image_size(ctx, format, &imageBytes) != 0) return false;
    const size_t rowBytes = imageBytes / ihdr_.height;
    if (spng_decode_image(ctx, nullptr, 0, format, flags | SPNG_DECODE_PROGRESSIVE) != 0) {
      return false;
    }
    const uint32_t bottom = window.y + window.height;
    std::vector<uint8_t> row(rowBytes);
    if (ihdr_.interlace_method == SPNG_INTERLACE_NONE) {
      for (uint32_t y = 0; y < bottom; ++y) {
        const int status = spng_decode_row(ctx, row.data(), rowBytes);
        // The call that decodes the last row of the image reports the end of the image.
        const bool last = y + 1 == ihdr_.height;
        if (status != 0 && !(last && status == SPNG_EOI)) return false;
        if (y >= window.y) onRow(row.data());
      }
      return true;
    }

    // Every pass touches rows all over the image, so the whole stream is decoded; rows
    // outside the window land in the scratch row and are overwritten.
    std::vector<uint8_t> kept(checkedMul(rowBytes, window.height));
    int status = 0;
    do {
      spng_row_info info{};
      status = spng_get_row_info(ctx, &info);
      if (status != 0) break;
      uint8_t* target = row.data();
      if (info.row_num >= window.y && info.row_num < bottom) {
        target = kept.data() + size_t{info.row_num - window.y} * rowBytes;
      }
      status = spng_decode_row(ctx, target, rowBytes);
    } while (status == 0);
    if (status != SPNG_EOI) return false;
    for (uint32_t y = 0; y < window.height; ++y) onRow(kept.data() + size_t{y} * rowBytes);
    return true;
  }

  // The palette, tRNS and ICC profile of the source, as the tile keeps them.
  void carryAncillary(PngImage& image) {
    spng_ctx* ctx = ctx_.get();
    spng_plte plte{};
    if (ihdr_.color_type != 0 && ihdr_.color_type != 4 && spng_get_plte(ctx, &plte) == 0) {
      for (uint32_t i = 0; i < plte.n_entries; ++i) {
        image.palette.insert(image.palette.end(),
                             {plte.entries[i].red, plte.entries[i].green, plte.entries[i].blue});
      }
    }
    spng_trns trns{};
    if (spng_get_trns(ctx, &trns) == 0) {
      auto be16 = [&](uint16_t v) {
        image.trns.push_back(static_cast<uint8_t>(v >> 8));
        image.trns.push_back(static_cast<uint8_t>(v));
      };
      if (ihdr_.color_type == 0) {
        be16(trns.gray);
      } else if (ihdr_.color_type == 2) {
        be16(trns.red);
        be16(trns.green);
        be16(trns.blue);
      } else if (ihdr_.color_type == 3) {
        image.trns.assign(trns.type3_alpha, trns.type3_alpha + trns.n_type3_entries);
      }
    }
    image.icc = icc_;
  }

  PngStream stream_;
  SpngContext ctx_;
  spng_ihdr ihdr_{};
  std::vector<uint8_t> icc_;
  bool used_ = false;
};

}  // namespace

std::unique_ptr<FrameWindowReader> openPngWindow(const InputFile& file) {
  auto reader = std::make_unique<PngWindowReader>(file);
  if (!reader->open()) return nullptr;
  return reader;
}

}  // namespace velmo::platform
