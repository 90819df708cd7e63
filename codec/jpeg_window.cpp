// Windows of JPEG frames with libjpeg-turbo. Rows above the window are skipped
// (jpeg_skip_scanlines), only the iMCU columns around the window are decoded
// (jpeg_crop_scanline), and decoding stops after the window's bottom row. A shrunk window is
// decoded at the smallest DCT scale that still keeps twice the tile's size (jpeg_input.h),
// and its rows stream into the area-average shrinker, so memory stays near the size of the
// tile.
//
// Every libjpeg call goes through jpegGuarded (jpeg_input.h), as in the full decoder.
#include <bit>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include <jerror.h>
#include <jpeglib.h>

#include "codec/internal/jpeg_input.h"
#include "codec/internal/window_detail.h"
#include "codec/window_decoder.h"
#include "platform/checked.h"
#include "platform/color_profile.h"

namespace velmo::codec {
namespace {

class JpegWindowReader final : public FrameWindowReader {
 public:
  // |margin|: how much larger than the target a shrunk window's DCT-scaled decode stays.
  JpegWindowReader(std::unique_ptr<JpegInput> jpeg, JpegMargin margin)
      : jpeg_(std::move(jpeg)), cinfo_(jpeg_->decompressor()), margin_(margin) {}

  platform::PixelSize size() const override { return {cinfo_.image_width, cinfo_.image_height}; }

  Result<PngImage> readWindow(const platform::PixelRect& window) override {
    return window_detail::collectRows(readWindowRows(window));
  }

  Result<std::unique_ptr<WindowRows>> readWindowRows(const platform::PixelRect& window) override {
    if (used_) return usedAlready();
    used_ = true;
    try {
      const bool grey = jpeg_->grey();
      cinfo_.out_color_space = jpeg_->cmyk() ? JCS_CMYK : grey ? JCS_GRAYSCALE : JCS_RGB;
      JDIMENSION xoffset = window.x;
      JDIMENSION width = window.width;
      if (Status started = startWindow(xoffset, width, window.y); !started) {
        return started.failure();
      }
      PngImage format;
      format.width = window.width;
      format.height = window.height;
      format.colorType = grey ? PngColorType::Grey : PngColorType::Rgb;
      format.bitDepth = 8;
      // The pixels are passed through unconverted, so their profile goes with them; a CMYK
      // profile does not describe the converted pixels, and PNG could not hold it anyway.
      if (window_detail::iccDescribes(jpeg_->icc(), grey ? "GRAY" : "RGB ")) {
        format.icc = jpeg_->icc();
      }
      return std::unique_ptr<WindowRows>(
          std::make_unique<Rows>(*this, std::move(format), window.x - xoffset, width));
    } catch (const std::bad_alloc&) {
      return outOfMemory();
    }
  }

  Result<platform::Bitmap> readWindowShrunk(const platform::PixelRect& window,
                                            platform::PixelSize size) override {
    const ScaledWindow scaled = scaleFor(window, size);
    return window_detail::shrinkWholeFrom(
        window_detail::WindowShrinker::make(scaled.rect.size(), size, false),
        [&] { return shrinkSource(scaled); }, scaled.rect.height, shrinkProfile(), jpeg_->grey());
  }

  Result<std::unique_ptr<WindowRows>> readWindowShrunkRows(const platform::PixelRect& window,
                                                           platform::PixelSize size) override {
    const ScaledWindow scaled = scaleFor(window, size);
    return window_detail::shrunkRowsFrom(
        window_detail::ShrunkRows::make(scaled.rect.size(), size, false, shrinkProfile(),
                                        jpeg_->grey()),
        [&] { return shrinkSource(scaled); });
  }

 private:
  // Starts decompression and limits the decoded columns to [xoffset, xoffset + width), which
  // libjpeg widens to whole iMCUs (both are updated); then skips the rows above |firstRow|.
  Status startWindow(JDIMENSION& xoffset, JDIMENSION& width, JDIMENSION firstRow) {
    boolean started = FALSE;
    JDIMENSION skipped = 0;
    const bool ran = jpegGuarded(&cinfo_, [&] {
      started = jpeg_start_decompress(&cinfo_);
      if (!started) return;
      if (xoffset != 0 || width != cinfo_.output_width) {
        jpeg_crop_scanline(&cinfo_, &xoffset, &width);
      }
      if (firstRow > 0) skipped = jpeg_skip_scanlines(&cinfo_, firstRow);
    });
    if (!ran) return jpegFailure(&cinfo_);
    if (!started || skipped != firstRow) return unreadable("libjpeg could not reach the window");
    return {};
  }

  Status readRow(JSAMPROW row) {
    JDIMENSION got = 0;
    if (!jpegGuarded(&cinfo_, [&] { got = jpeg_read_scanlines(&cinfo_, &row, 1); })) {
      return jpegFailure(&cinfo_);
    }
    if (got != 1) return unreadable("libjpeg gave no row");
    return {};
  }

  static Failure usedAlready() { return unreadable("the reader has read a window already"); }

  // The window's rows, decoded as they are asked for; the decompressor has been started at
  // the window's first row.
  class Rows final : public WindowRows {
   public:
    // |skip|: pixels left of the window in each decoded row, which is |decodedWidth| pixels.
    Rows(JpegWindowReader& reader, PngImage format, uint32_t skip, uint32_t decodedWidth)
        : reader_(reader) {
      format_ = std::move(format);
      const uint32_t channels = reader.cinfo_.output_components;
      skipBytes_ = size_t{skip} * channels;
      decoded_.resize(platform::checkedMul(decodedWidth, channels));
      if (reader.jpeg_->cmyk()) {
        cmyk_.emplace(reader.jpeg_->icc(), reader.cinfo_.saw_Adobe_marker != 0);
        converted_.resize(format_.width);
      }
    }

    Status next(std::span<uint8_t> row) override {
      if (served_ == format_.height) return window_detail::pastTheLastRow();
      if (Status read = reader_.readRow(decoded_.data()); !read) return read;
      ++served_;
      if (!cmyk_) {
        std::memcpy(row.data(), decoded_.data() + skipBytes_, row.size());
        return {};
      }
      cmyk_->convertRow(decoded_.data() + skipBytes_, converted_.data(), format_.width);
      uint8_t* out = row.data();
      for (uint32_t x = 0; x < format_.width; ++x, out += 3) {
        out[0] = static_cast<uint8_t>(converted_[x] >> 16);
        out[1] = static_cast<uint8_t>(converted_[x] >> 8);
        out[2] = static_cast<uint8_t>(converted_[x]);
      }
      return {};
    }

   private:
    JpegWindowReader& reader_;
    size_t skipBytes_ = 0;
    std::vector<JSAMPLE> decoded_;
    std::optional<platform::CmykConverter> cmyk_;
    std::vector<uint32_t> converted_;
    uint32_t served_ = 0;
  };

  // The window in the pixels of a decode at |eighths|/8 of the full size.
  struct ScaledWindow {
    uint32_t eighths;
    platform::PixelRect rect;
  };

  using ShrinkSource = window_detail::ShrinkSource;

  // The rows of a scaled window as Bitmap pixels, for the shrinker; the decompressor has been
  // started at the window's first row.
  class PixelRows final : public ShrinkSource {
   public:
    // |skip|: pixels left of the window in each decoded row, which is |decodedWidth| pixels.
    PixelRows(JpegWindowReader& reader, uint32_t skip, uint32_t width, uint32_t decodedWidth)
        : reader_(reader), skip_(skip), width_(width), pixels_(decodedWidth) {
      if (reader.jpeg_->cmyk()) {
        cmyk_.emplace(reader.jpeg_->icc(), reader.cinfo_.saw_Adobe_marker != 0);
        cmykRow_.resize(platform::checkedMul(decodedWidth, 4));
      }
    }

    const uint32_t* nextRow() override {
      if (cmyk_) {
        if (!read(cmykRow_.data())) return nullptr;
        cmyk_->convertRow(cmykRow_.data() + size_t{skip_} * 4, pixels_.data(), width_);
        return pixels_.data();
      }
      if (!read(reinterpret_cast<JSAMPROW>(pixels_.data()))) return nullptr;
      return pixels_.data() + skip_;
    }

   private:
    // One row from the reader; false with failure_ set when it cannot be decoded.
    bool read(JSAMPROW row) {
      Status status = reader_.readRow(row);
      if (!status) failure_ = status.failure();
      return static_cast<bool>(status);
    }

    JpegWindowReader& reader_;
    uint32_t skip_;
    uint32_t width_;
    std::vector<uint32_t> pixels_;
    std::vector<JSAMPLE> cmykRow_;
    std::optional<platform::CmykConverter> cmyk_;
  };

  // Claims the reader and starts the decode of |scaled| for the shrinker.
  Result<std::unique_ptr<ShrinkSource>> shrinkSource(const ScaledWindow& scaled) {
    if (used_) return usedAlready();
    used_ = true;
    try {
      cinfo_.scale_num = scaled.eighths;
      cinfo_.scale_denom = 8;
      // BGRA in memory is the Bitmap layout on little-endian machines (0xAARRGGBB read as
      // one word), so libjpeg writes shrinker input directly.
      cinfo_.out_color_space = jpeg_->cmyk()                                ? JCS_CMYK
                               : std::endian::native == std::endian::little ? JCS_EXT_BGRA
                                                                            : JCS_EXT_ARGB;
      JDIMENSION xoffset = scaled.rect.x;
      JDIMENSION cropWidth = scaled.rect.width;
      if (Status started = startWindow(xoffset, cropWidth, scaled.rect.y); !started) {
        return started.failure();
      }
      return std::unique_ptr<ShrinkSource>(std::make_unique<PixelRows>(
          *this, scaled.rect.x - xoffset, scaled.rect.width, cropWidth));
    } catch (const std::bad_alloc&) {
      return outOfMemory();
    }
  }

  // The profile the shrunk pixels are converted from: a CMYK file's has been applied by the
  // CMYK conversion already.
  std::span<const uint8_t> shrinkProfile() const {
    return jpeg_->cmyk() ? std::span<const uint8_t>() : jpeg_->icc();
  }

  // The window's edges, each rounded to the nearest pixel of a decode at |eighths|/8, so
  // that neighbouring tiles meet without a gap or an overlap.
  static platform::PixelRect scaledEdges(const platform::PixelRect& window, uint32_t eighths) {
    auto edge = [eighths](uint64_t v) { return static_cast<uint32_t>((v * eighths + 4) / 8); };
    const uint32_t left = edge(window.x);
    const uint32_t top = edge(window.y);
    const uint32_t right = edge(uint64_t{window.x} + window.width);
    const uint32_t bottom = edge(uint64_t{window.y} + window.height);
    return {left, top, right - left, bottom - top};
  }

  // The decode for a window shrunk to |size|: the shrink-on-load rule with the reader's margin.
  ScaledWindow scaleFor(const platform::PixelRect& window, platform::PixelSize size) const {
    const uint32_t eighths =
        jpegScaleEighths(size, margin_, [&](uint32_t n) { return scaledEdges(window, n).size(); });
    return {eighths, scaledEdges(window, eighths)};
  }

  std::unique_ptr<JpegInput> jpeg_;
  jpeg_decompress_struct& cinfo_;
  JpegMargin margin_;
  bool used_ = false;
};

}  // namespace

Result<std::unique_ptr<FrameWindowReader>> openJpegWindow(const platform::InputFile& file,
                                                          WindowUse use) {
  return window_detail::readerOver<JpegWindowReader>(
      JpegInput::open(file), use == WindowUse::Picture ? kWholePictureMargin : kWindowMargin);
}

}  // namespace velmo::codec
