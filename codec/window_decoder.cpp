#include <algorithm>
#include <cstring>
#include <new>
#include <span>
#include <utility>
#include <vector>

#include "codec/internal/probe_reader.h"
#include "codec/internal/window_detail.h"
#include "codec/window_decoder.h"
#include "platform/checked.h"
#include "platform/color_profile.h"

namespace velmo::codec {

Result<std::unique_ptr<FrameWindowReader>> openFrameWindow(const platform::InputFile& file,
                                                           const ImageInfo& info, WindowUse use,
                                                           DecodeCheckpoints* checkpoints) {
  // The probe has read the header already: a frame it cannot size, or one over the limits,
  // is refused before any decoder is set up.
  if (!info.pixelWidth || !info.pixelHeight) return unreadable("the frame has no size");
  if (!platform::frameWithinLimits(*info.pixelWidth, *info.pixelHeight)) {
    return overLimits(*info.pixelWidth, *info.pixelHeight);
  }
  try {
    // So is a file cut short, even though the window might lie above the cut: a file that
    // does not decode whole yields no image.
    if (!probe::reachesItsEnd(file, info.format)) return cutShort();
    switch (info.format) {
      case ImageFormat::Jpeg:
        return openJpegWindow(file, use);
      case ImageFormat::Png:
        return openPngWindow(file, checkpoints);
      case ImageFormat::Gif:
        return openGifWindow(file);
      case ImageFormat::WebP:
        return openWebPWindow(file);
      case ImageFormat::Heif:
        return openHeifWindow(file);
    }
  } catch (const std::bad_alloc&) {
  }
  return outOfMemory();
}

namespace {

// A window cut whole, handed out a row at a time.
class HeldWindowRows final : public WindowRows {
 public:
  explicit HeldWindowRows(PngImage image) : pixels_(std::move(image.pixels)) {
    format_ = std::move(image);
    format_.pixels.clear();
    stride_ = format_.rowBytes != 0
                  ? format_.rowBytes
                  : pngRowBytes(format_.width, format_.colorType, format_.bitDepth).value_or(0);
  }

  Status next(std::span<uint8_t> row) override {
    if (served_ == format_.height) return window_detail::pastTheLastRow();
    std::memcpy(row.data(), pixels_.data() + size_t{served_++} * stride_, row.size());
    return {};
  }

 private:
  std::vector<uint8_t> pixels_;
  size_t stride_ = 0;
  uint32_t served_ = 0;
};

// A shrunk window made whole, handed out a row at a time as a tile writes it.
class BitmapRows final : public WindowRows {
 public:
  explicit BitmapRows(platform::Bitmap bitmap) : bitmap_(std::move(bitmap)) {
    format_.width = bitmap_.width();
    format_.height = bitmap_.height();
    format_.colorType = PngColorType::Rgba;
    format_.bitDepth = 8;
  }

  Status next(std::span<uint8_t> row) override {
    if (served_ == bitmap_.height()) return window_detail::pastTheLastRow();
    platform::unpremultiplyRow(bitmap_.row(served_++), bitmap_.width(), row.data());
    return {};
  }

 private:
  platform::Bitmap bitmap_;
  uint32_t served_ = 0;
};

}  // namespace

Result<std::unique_ptr<WindowRows>> FrameWindowReader::readWindowShrunkRows(
    const platform::PixelRect& window, platform::PixelSize size) {
  auto shrunk = readWindowShrunk(window, size);
  if (!shrunk) return shrunk.failure();
  try {
    return std::unique_ptr<WindowRows>(std::make_unique<BitmapRows>(std::move(*shrunk)));
  } catch (const std::bad_alloc&) {
    return window_detail::scalingFailure();
  }
}

Result<std::unique_ptr<WindowRows>> FrameWindowReader::readWindowRows(
    const platform::PixelRect& window) {
  auto whole = readWindow(window);
  if (!whole) return whole.failure();
  try {
    return std::unique_ptr<WindowRows>(std::make_unique<HeldWindowRows>(std::move(*whole)));
  } catch (const std::bad_alloc&) {
    return outOfMemory();
  }
}

namespace window_detail {

std::unique_ptr<WindowShrinker> WindowShrinker::make(platform::PixelSize source,
                                                     platform::PixelSize target, bool hasAlpha) {
  try {
    return std::make_unique<WindowShrinker>(
        platform::AreaShrinker(source.width, source.height, target.width, target.height, hasAlpha));
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

Result<platform::Bitmap> WindowShrinker::finish(std::span<const uint8_t> icc, bool greyPixels) {
  try {
    platform::Bitmap shrunk = shrinker_.finish();
    // Converting the shrunk tile rather than every decoded row costs at most 2048 x 2048
    // conversions, whatever the window's size.
    if (!icc.empty()) {
      if (auto converter = platform::ColorConverter::fromIcc(icc, greyPixels))
        converter->convert(shrunk);
    }
    return shrunk;
  } catch (const std::bad_alloc&) {
    return scalingFailure();
  }
}

Result<platform::Bitmap> shrinkWhole(WindowShrinker& shrinker, ShrinkSource& source, uint32_t rows,
                                     std::span<const uint8_t> icc, bool greyPixels) {
  for (uint32_t y = 0; y < rows; ++y) {
    const uint32_t* row = source.nextRow();
    if (row == nullptr) return source.failure();
    shrinker.pushRow(row);
  }
  return shrinker.finish(icc, greyPixels);
}

ShrunkRows::ShrunkRows(platform::PixelSize source, platform::PixelSize target, bool hasAlpha)
    : shrinker_(source.width, source.height, target.width, target.height, hasAlpha,
                [this](const uint32_t* made) {
                  std::memcpy(row_.data(), made, row_.strideBytes());
                  ready_ = true;
                }),
      row_(target.width, 1, hasAlpha),
      sourceRows_(source.height) {
  format_.width = target.width;
  format_.height = target.height;
  format_.colorType = PngColorType::Rgba;
  format_.bitDepth = 8;
}

std::unique_ptr<ShrunkRows> ShrunkRows::make(platform::PixelSize source, platform::PixelSize target,
                                             bool hasAlpha, std::span<const uint8_t> icc,
                                             bool greyPixels) {
  try {
    auto rows = std::make_unique<ShrunkRows>(source, target, hasAlpha);
    if (!icc.empty()) rows->toSrgb_ = platform::ColorConverter::fromIcc(icc, greyPixels);
    return rows;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

Status ShrunkRows::next(std::span<uint8_t> row) {
  try {
    while (!ready_) {
      if (pushed_ < sourceRows_) {
        const uint32_t* pixels = source_->nextRow();
        if (pixels == nullptr) return source_->failure();
        shrinker_.pushRow(pixels);
        ++pushed_;
      } else if (!finished_) {
        // The last row of the result is made when the shrinker is told there are no more.
        finished_ = true;
        shrinker_.finish();
      } else {
        return pastTheLastRow();
      }
    }
    ready_ = false;
    // Row by row, the conversion gives the pixels it gives a whole bitmap.
    if (toSrgb_) toSrgb_->convert(row_);
    platform::unpremultiplyRow(row_.data(), row_.width(), row.data());
    return {};
  } catch (const std::bad_alloc&) {
    return scalingFailure();
  }
}

PngImage eightBitImage(const platform::PixelRect& window, PngColorType type) {
  PngImage image;
  image.width = window.width;
  image.height = window.height;
  image.colorType = type;
  image.bitDepth = 8;
  image.rowBytes = platform::checkedMul(window.width, pngChannels(type));
  image.pixels.assign(platform::checkedMul(image.rowBytes, window.height), 0);
  return image;
}

Result<PngImage> collectRows(Result<std::unique_ptr<WindowRows>> rows) {
  if (!rows) return rows.failure();
  WindowRows& source = **rows;
  try {
    PngImage image = source.format();
    const auto rowBytes = pngRowBytes(image.width, image.colorType, image.bitDepth);
    if (!rowBytes) return unreadable("a row is too long for PNG");
    image.rowBytes = *rowBytes;
    image.pixels.resize(platform::checkedMul(*rowBytes, image.height));
    for (uint32_t y = 0; y < image.height; ++y) {
      const Status row =
          source.next(std::span<uint8_t>(image.pixels.data() + size_t{y} * *rowBytes, *rowBytes));
      if (!row) return row.failure();
    }
    return image;
  } catch (const std::bad_alloc&) {
    return outOfMemory();
  }
}

bool iccDescribes(std::span<const uint8_t> icc, const char (&colorSpace)[5]) {
  // The data colour space signature sits at bytes 16 to 19 of the 128-byte header.
  return icc.size() >= 128 && std::memcmp(icc.data() + 16, colorSpace, 4) == 0;
}

}  // namespace window_detail

}  // namespace velmo::codec
