// Windows of PNG frames: rows are decoded one at a time from the top (or from a checkpoint
// above the window, see codec/internal/png_stream.h), rows above the window are dropped, and
// decoding stops after the window's bottom row, so memory holds two image rows (and the
// window, when it is read whole). Non-interlaced still images are inflated and unfiltered by
// PngRowStream, which can resume; the rest goes through libspng from the top. Interlaced
// files spread every row over seven passes; for them the window's rows are kept whole until
// the last pass has filled them.
#include <spng.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "codec/internal/png_input.h"
#include "codec/internal/png_stream.h"
#include "codec/internal/window_detail.h"
#include "codec/window_decoder.h"
#include "platform/checked.h"

namespace velmo::codec {
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

// The rows of one window, decoded in |format| (an SPNG_FMT_*) from the top of the frame: the
// rows above the window are decoded into a scratch row and dropped, and nothing below the
// window's bottom is decoded. An interlaced frame spreads every row over seven passes, so its
// window is decoded whole at the first row asked for.
class RowDecoder {
 public:
  // |stream|, when given, decodes the rows instead of libspng (as SPNG_FMT_RAW rows).
  RowDecoder(PngInput& png, const platform::PixelRect& window,
             std::unique_ptr<PngRowStream> stream = {})
      : png_(png), window_(window), stream_(std::move(stream)) {}

  // Sets the decoder up, or says why the data is corrupt; may throw std::bad_alloc.
  Status start(int format, int flags) {
    if (stream_) {
      if (stream_->failed()) return unreadable(stream_->damage());
      return {};
    }
    spng_ctx* ctx = png_.context();
    size_t imageBytes = 0;
    if (const int status = spng_decoded_image_size(ctx, format, &imageBytes); status != 0) {
      return png_.failure(status);
    }
    rowBytes_ = imageBytes / png_.height();
    if (const int status =
            spng_decode_image(ctx, nullptr, 0, format, flags | SPNG_DECODE_PROGRESSIVE);
        status != 0) {
      return png_.failure(status);
    }
    row_.resize(rowBytes_);
    return {};
  }

  // The next row of the window, the frame's whole width in the decode's format; nullptr when
  // the data is corrupt or ends early, failure() then saying why. May throw std::bad_alloc.
  const uint8_t* next() {
    if (failed_) return nullptr;
    if (served_ == window_.height) {
      failure_ = window_detail::pastTheLastRow();
      return nullptr;
    }
    const uint8_t* row = stream_             ? stream_->next()
                         : png_.interlaced() ? nextInterlaced()
                                             : nextInOrder();
    if (row == nullptr) {
      failed_ = true;
      if (stream_) failure_ = unreadable(stream_->damage());
    }
    ++served_;
    return row;
  }

  // next(), with its failure, or lack of memory (OutOfMemory), put in |failure| when it
  // answers nullptr.
  const uint8_t* next(Failure& failure) {
    try {
      const uint8_t* row = next();
      if (row == nullptr) failure = failure_;
      return row;
    } catch (const std::bad_alloc&) {
      failure = outOfMemory();
      return nullptr;
    }
  }

 private:
  const uint8_t* nextInOrder() {
    spng_ctx* ctx = png_.context();
    for (;;) {
      const uint32_t y = decoded_++;
      const int status = spng_decode_row(ctx, row_.data(), rowBytes_);
      // The call that decodes the last row of the image reports the end of the image.
      const bool last = y + 1 == png_.height();
      if (status != 0 && !(last && status == SPNG_EOI)) {
        failure_ = png_.failure(status);
        return nullptr;
      }
      if (y >= window_.y) return row_.data();
    }
  }

  const uint8_t* nextInterlaced() {
    if (kept_.empty()) {
      // Every pass touches rows all over the image, so the whole stream is decoded; rows
      // outside the window land in the scratch row and are overwritten.
      kept_.resize(platform::checkedMul(rowBytes_, window_.height));
      spng_ctx* ctx = png_.context();
      const uint32_t bottom = window_.y + window_.height;
      int status = 0;
      do {
        spng_row_info info{};
        status = spng_get_row_info(ctx, &info);
        if (status != 0) break;
        uint8_t* target = row_.data();
        if (info.row_num >= window_.y && info.row_num < bottom) {
          target = kept_.data() + size_t{info.row_num - window_.y} * rowBytes_;
        }
        status = spng_decode_row(ctx, target, rowBytes_);
      } while (status == 0);
      if (status != SPNG_EOI) {
        failure_ = png_.failure(status);
        return nullptr;
      }
    }
    return kept_.data() + size_t{served_} * rowBytes_;
  }

  PngInput& png_;
  platform::PixelRect window_;
  std::unique_ptr<PngRowStream> stream_;
  size_t rowBytes_ = 0;
  std::vector<uint8_t> row_;
  std::vector<uint8_t> kept_;
  uint32_t decoded_ = 0;  // image rows decoded (in order)
  uint32_t served_ = 0;   // window rows handed out
  bool failed_ = false;
  Failure failure_;
};

// The window's rows as stored (SPNG_FMT_RAW: 16-bit big-endian, sub-byte pixels packed).
class PngWindowRows final : public WindowRows {
 public:
  PngWindowRows(PngInput& png, const platform::PixelRect& window, PngImage format,
                std::unique_ptr<PngRowStream> stream)
      : decoder_(png, window, std::move(stream)),
        x_(window.x),
        bitsPerPixel_(pngChannels(format.colorType) * format.bitDepth) {
    format_ = std::move(format);
  }

  Status start() { return decoder_.start(SPNG_FMT_RAW, 0); }

  Status next(std::span<uint8_t> row) override {
    Failure failure;
    const uint8_t* decoded = decoder_.next(failure);
    if (decoded == nullptr) return failure;
    copyPixels(decoded, x_, format_.width, bitsPerPixel_, row.data());
    return {};
  }

 private:
  RowDecoder decoder_;
  uint32_t x_;
  uint32_t bitsPerPixel_;
};

class PngWindowReader final : public FrameWindowReader {
 public:
  PngWindowReader(const platform::InputFile& file, std::unique_ptr<PngInput> png,
                  DecodeCheckpoints* checkpoints)
      : file_(file),
        png_(std::move(png)),
        checkpoints_(checkpoints),
        layout_(pngStreamLayout(file, png_->width(), png_->height(),
                                static_cast<int>(png_->colorType()), png_->bitDepth(),
                                png_->interlaced())) {}

  platform::PixelSize size() const override { return {png_->width(), png_->height()}; }

  Result<PngImage> readWindow(const platform::PixelRect& window) override {
    return window_detail::collectRows(readWindowRows(window));
  }

  Result<std::unique_ptr<WindowRows>> readWindowRows(const platform::PixelRect& window) override {
    try {
      if (Status begun = beginWindow(window, layout_.has_value()); !begun) {
        return begun.failure();
      }
      PngImage format;
      format.width = window.width;
      format.height = window.height;
      format.colorType = png_->colorType();
      format.bitDepth = png_->bitDepth();
      if (!pngRowBytes(window.width, format.colorType, format.bitDepth)) {
        return unreadable("a row is too long for PNG");
      }
      carryAncillary(format);
      auto rows =
          std::make_unique<PngWindowRows>(*png_, window, std::move(format), streamFor(window));
      if (Status started = rows->start(); !started) return started.failure();
      return std::unique_ptr<WindowRows>(std::move(rows));
    } catch (const std::bad_alloc&) {
      return outOfMemory();
    }
  }

  Result<platform::Bitmap> readWindowShrunk(const platform::PixelRect& window,
                                            platform::PixelSize size) override {
    return window_detail::shrinkWholeFrom(
        window_detail::WindowShrinker::make(window.size(), size, png_->hasAlpha()),
        [&] { return shrinkSource(window); }, window.height, png_->icc(), png_->grey());
  }

  Result<std::unique_ptr<WindowRows>> readWindowShrunkRows(const platform::PixelRect& window,
                                                           platform::PixelSize size) override {
    return window_detail::shrunkRowsFrom(
        window_detail::ShrunkRows::make(window.size(), size, png_->hasAlpha(), png_->icc(),
                                        png_->grey()),
        [&] { return shrinkSource(window); });
  }

 private:
  using ShrinkSource = window_detail::ShrinkSource;

  // The window's rows as Bitmap pixels, for the shrinker.
  class PixelRows final : public ShrinkSource {
   public:
    PixelRows(PngInput& png, const platform::PixelRect& window,
              std::unique_ptr<PngRowStream> stream)
        : decoder_(png, window, std::move(stream)),
          x_(window.x),
          sixteen_(png.bitDepth() == 16),
          opaqueRgb8_(isOpaqueRgb8(png)),
          pixels_(window.width) {}

    // 8-bit RGB without tRNS becomes R, G, B and an opaque alpha whatever the decoder: it is
    // decoded as stored and only the window's pixels are widened, where libspng would widen
    // every row from the top.
    static bool isOpaqueRgb8(const PngInput& png) {
      return png.colorType() == PngColorType::Rgb && png.bitDepth() == 8 && !png.hasAlpha();
    }
    // Whether the rows as stored are the rows the shrinker is fed: 8-bit RGB without tRNS,
    // or 8-bit RGBA, whose stored rows are SPNG_FMT_RGBA8 rows already.
    static bool takesStoredRows(const PngInput& png) {
      return isOpaqueRgb8(png) || (png.colorType() == PngColorType::Rgba && png.bitDepth() == 8);
    }

    Status start() {
      return decoder_.start(opaqueRgb8_ ? SPNG_FMT_RAW
                            : sixteen_  ? SPNG_FMT_RGBA16
                                        : SPNG_FMT_RGBA8,
                            opaqueRgb8_ ? 0 : SPNG_DECODE_TRNS);
    }

    const uint32_t* nextRow() override {
      const uint8_t* row = decoder_.next(failure_);
      if (row == nullptr) return nullptr;
      const auto width = static_cast<uint32_t>(pixels_.size());
      if (opaqueRgb8_) {
        const uint8_t* rgb = row + size_t{x_} * 3;
        for (uint32_t x = 0; x < width; ++x, rgb += 3) {
          pixels_[x] = 0xFF000000u | uint32_t{rgb[0]} << 16 | uint32_t{rgb[1]} << 8 | rgb[2];
        }
      } else {
        pngRowToPixels(row + size_t{x_} * (sixteen_ ? 8 : 4), sixteen_, 0, width, 1,
                       pixels_.data());
      }
      return pixels_.data();
    }

   private:
    RowDecoder decoder_;
    uint32_t x_;
    bool sixteen_;
    bool opaqueRgb8_;
    std::vector<uint32_t> pixels_;
  };

  // Claims the reader for |window| and starts the decode of its pixels for the shrinker.
  Result<std::unique_ptr<ShrinkSource>> shrinkSource(const platform::PixelRect& window) {
    try {
      const bool streamed = layout_ && PixelRows::takesStoredRows(*png_);
      if (Status begun = beginWindow(window, streamed); !begun) return begun.failure();
      auto source =
          std::make_unique<PixelRows>(*png_, window, streamed ? streamFor(window) : nullptr);
      if (Status started = source->start(); !started) return started.failure();
      return std::unique_ptr<ShrinkSource>(std::move(source));
    } catch (const std::bad_alloc&) {
      return outOfMemory();
    }
  }

  // Claims the reader for |window|, whose data is streamed once. A window that ends above
  // the last row is decoded from a fresh context that skips the Adler-32 (see
  // PngInput::open); one that PngRowStream decodes (|streamed|) keeps the context for its
  // header. Either way every critical chunk is checked as it is entered. A Failure when a
  // window was read already or the file no longer opens.
  Status beginWindow(const platform::PixelRect& window, bool streamed) {
    if (used_) return unreadable("the reader has read a window already");
    used_ = true;
    // PngRowStream reads the image data itself; libspng keeps the header and chunks.
    if (!streamed && !png_->interlaced() && window.y + window.height < png_->height()) {
      Result<std::unique_ptr<PngInput>> reopened = PngInput::open(file_, false, true);
      if (!reopened) return reopened.failure();
      png_ = std::move(*reopened);
    }
    return {};
  }

  // The window's rows decoded by PngRowStream, resuming from and leaving checkpoints when
  // the reader has a store; nullptr when libspng decodes them.
  std::unique_ptr<PngRowStream> streamFor(const platform::PixelRect& window) {
    if (!layout_) return nullptr;
    std::shared_ptr<PngFileCheckpoints> checkpoints;
    if (checkpoints_ != nullptr) {
      if (const auto identity = identify(file_)) {
        checkpoints = checkpoints_->forFile(*identity, layout_->height, layout_->rowBytes);
      }
    }
    return std::make_unique<PngRowStream>(file_, *layout_, window.y, window.height,
                                          std::move(checkpoints));
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

  const platform::InputFile& file_;
  std::unique_ptr<PngInput> png_;
  DecodeCheckpoints* checkpoints_;
  std::optional<PngLayout> layout_;  // set when PngRowStream can read the image data
  bool used_ = false;
};

}  // namespace

Result<std::unique_ptr<FrameWindowReader>> openPngWindow(const platform::InputFile& file,
                                                         DecodeCheckpoints* checkpoints) {
  auto png = PngInput::open(file, true, true);
  if (!png) return png.failure();
  return std::unique_ptr<FrameWindowReader>(
      std::make_unique<PngWindowReader>(file, std::move(*png), checkpoints));
}

}  // namespace velmo::codec
