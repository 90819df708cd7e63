// Windows of PNG frames with libspng: rows are decoded one at a time from the top, rows above
// the window are dropped, and decoding stops after the window's bottom row, so memory holds
// one image row and the window. Interlaced files spread every row over seven passes; for them
// the window's rows are kept whole until the last pass has filled them.
#include <spng.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "codec/internal/png_input.h"
#include "codec/window_decoder.h"
#include "platform/checked.h"

namespace velmo::platform {
namespace {

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

class PngWindowReader final : public FrameWindowReader {
 public:
  explicit PngWindowReader(std::unique_ptr<PngInput> png) : png_(std::move(png)) {}

  PixelSize size() const override { return {png_->width(), png_->height()}; }

  WindowResult<PngImage> readWindow(const PixelRect& window) override {
    try {
      PngImage image;
      image.width = window.width;
      image.height = window.height;
      image.colorType = png_->colorType();
      image.bitDepth = png_->bitDepth();
      const auto rowBytes = pngRowBytes(window.width, image.colorType, image.bitDepth);
      if (!rowBytes) return WindowFailure::Unreadable;
      image.rowBytes = *rowBytes;
      image.pixels.resize(checkedMul(*rowBytes, window.height));
      const uint32_t bitsPerPixel = pngChannels(image.colorType) * image.bitDepth;
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
      return WindowFailure::OutOfMemory;
    }
  }

  WindowResult<Bitmap> readWindowShrunk(const PixelRect& window, PixelSize size) override {
    const auto made = window_detail::WindowShrinker::make(window.size(), size, png_->hasAlpha());
    if (!made) return WindowFailure::ScalerSetup;
    auto& shrinker = *made;
    try {
      std::vector<uint32_t> pixels(window.width);
      const bool sixteen = png_->bitDepth() == 16;
      const int format = sixteen ? SPNG_FMT_RGBA16 : SPNG_FMT_RGBA8;
      const bool decoded = decodeRows(format, SPNG_DECODE_TRNS, window, [&](const uint8_t* row) {
        pngRowToPixels(row + size_t{window.x} * (sixteen ? 8 : 4), sixteen, 0, window.width, 1,
                       pixels.data());
        shrinker.pushRow(pixels.data());
      });
      if (!decoded) return WindowFailure::Unreadable;
    } catch (const std::bad_alloc&) {
      return WindowFailure::OutOfMemory;
    }
    return shrinker.finish(png_->icc(), png_->grey());
  }

 private:
  // Decodes the rows down to the window's bottom in |format| and hands each window row, in
  // order, to |onRow|. False when the data is corrupt or ends early.
  template <typename OnRow>
  bool decodeRows(int format, int flags, const PixelRect& window, OnRow&& onRow) {
    if (used_) return false;
    used_ = true;
    spng_ctx* ctx = png_->context();
    size_t imageBytes = 0;
    if (spng_decoded_image_size(ctx, format, &imageBytes) != 0) return false;
    const size_t rowBytes = imageBytes / png_->height();
    if (spng_decode_image(ctx, nullptr, 0, format, flags | SPNG_DECODE_PROGRESSIVE) != 0) {
      return false;
    }
    const uint32_t bottom = window.y + window.height;
    std::vector<uint8_t> row(rowBytes);
    if (!png_->interlaced()) {
      for (uint32_t y = 0; y < bottom; ++y) {
        const int status = spng_decode_row(ctx, row.data(), rowBytes);
        // The call that decodes the last row of the image reports the end of the image.
        const bool last = y + 1 == png_->height();
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
    using enum PngColorType;
    spng_ctx* ctx = png_->context();
    spng_plte plte{};
    if (!png_->grey() && spng_get_plte(ctx, &plte) == 0) {
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
      if (image.colorType == Grey) {
        be16(trns.gray);
      } else if (image.colorType == Rgb) {
        be16(trns.red);
        be16(trns.green);
        be16(trns.blue);
      } else if (image.colorType == Palette) {
        image.trns.assign(trns.type3_alpha, trns.type3_alpha + trns.n_type3_entries);
      }
    }
    image.icc = png_->icc();
  }

  std::unique_ptr<PngInput> png_;
  bool used_ = false;
};

}  // namespace

std::unique_ptr<FrameWindowReader> openPngWindow(const InputFile& file) {
  return window_detail::readerOver<PngWindowReader>(PngInput::open(file));
}

}  // namespace velmo::platform
