// Windows of JPEG frames with libjpeg-turbo. Rows above the window are skipped
// (jpeg_skip_scanlines), only the iMCU columns around the window are decoded
// (jpeg_crop_scanline), and decoding stops after the window's bottom row. A shrunk window is
// decoded at the smallest DCT scale that still gives at least the tile's size, and its rows
// stream into the area-average shrinker, so memory stays near the size of the tile.
//
// libjpeg reports errors by calling back, and the callbacks longjmp. Every libjpeg call is
// therefore made from a small trampoline below that holds no C++ object, and the C++ code
// acts on its result after it has returned.
#include <bit>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include <jerror.h>
#include <jpeglib.h>

#include "codec/internal/jpeg_input.h"
#include "codec/internal/library_owners.h"
#include "codec/window_decoder.h"
#include "platform/checked.h"
#include "platform/color_profile.h"

namespace velmo::platform {
namespace {

// Trampolines: each sets the jump target and makes one libjpeg call. They hold nothing but
// pointers and plain values, so a longjmp back into them skips no destructor.
bool createDecompress(j_decompress_ptr cinfo) {
  if (setjmp(jpegJump(cinfo)) != 0) return false;
  jpeg_create_decompress(cinfo);
  return true;
}

bool readHeader(j_decompress_ptr cinfo) {
  if (setjmp(jpegJump(cinfo)) != 0) return false;
  jpeg_save_markers(cinfo, JPEG_APP0 + 2, 0xFFFF);
  return jpeg_read_header(cinfo, TRUE) == JPEG_HEADER_OK;
}

bool readIccProfile(j_decompress_ptr cinfo, JOCTET** data, unsigned int* length) {
  if (setjmp(jpegJump(cinfo)) != 0) return false;
  return jpeg_read_icc_profile(cinfo, data, length) != 0;
}

// Starts decompression and limits the decoded columns to [*xoffset, *xoffset + *width),
// which libjpeg widens to whole iMCUs; then skips the rows above |firstRow|.
bool startWindow(j_decompress_ptr cinfo, JDIMENSION* xoffset, JDIMENSION* width,
                 JDIMENSION firstRow) {
  if (setjmp(jpegJump(cinfo)) != 0) return false;
  if (!jpeg_start_decompress(cinfo)) return false;
  if (*xoffset != 0 || *width != cinfo->output_width) jpeg_crop_scanline(cinfo, xoffset, width);
  if (firstRow > 0 && jpeg_skip_scanlines(cinfo, firstRow) != firstRow) return false;
  return true;
}

bool readRow(j_decompress_ptr cinfo, JSAMPROW row) {
  if (setjmp(jpegJump(cinfo)) != 0) return false;
  return jpeg_read_scanlines(cinfo, &row, 1) == 1;
}

class JpegWindowReader final : public FrameWindowReader {
 public:
  explicit JpegWindowReader(const InputFile& file) : file_(file), buffer_(kJpegReadChunk) {
    std::memset(&cinfo_, 0, sizeof cinfo_);
    std::memset(&errors_, 0, sizeof errors_);
    std::memset(&source_, 0, sizeof source_);
  }
  JpegWindowReader(const JpegWindowReader&) = delete;
  JpegWindowReader& operator=(const JpegWindowReader&) = delete;

  bool open() {
    useJpegErrors(&cinfo_, errors_);
    if (!createDecompress(&cinfo_)) return false;
    state_.reset(&cinfo_);
    useJpegInput(&cinfo_, errors_, source_, file_, buffer_.data());
    if (!readHeader(&cinfo_)) return false;
    // The 8-bit interface cannot hold 12-bit samples.
    if (cinfo_.data_precision != 8) return false;
    if (!frameWithinLimits(cinfo_.image_width, cinfo_.image_height)) return false;

    JOCTET* icc = nullptr;
    unsigned int iccLength = 0;
    if (readIccProfile(&cinfo_, &icc, &iccLength)) {
      MallocBuffer owned(icc);
      icc_.assign(icc, icc + iccLength);
    }
    cmyk_ = cinfo_.jpeg_color_space == JCS_CMYK || cinfo_.jpeg_color_space == JCS_YCCK;
    return true;
  }

  uint32_t width() const override { return cinfo_.image_width; }
  uint32_t height() const override { return cinfo_.image_height; }

  WindowResult<PngImage> readWindow(const PixelWindow& window) override {
    if (used_) return WindowFailure::Unreadable;
    used_ = true;
    try {
      const bool grey = cinfo_.jpeg_color_space == JCS_GRAYSCALE;
      cinfo_.out_color_space = cmyk_ ? JCS_CMYK : grey ? JCS_GRAYSCALE : JCS_RGB;
      JDIMENSION xoffset = window.x;
      JDIMENSION width = window.width;
      if (!startWindow(&cinfo_, &xoffset, &width, window.y)) return WindowFailure::Unreadable;
      const uint32_t channels = cinfo_.output_components;
      const size_t skip = size_t{window.x - xoffset} * channels;
      std::vector<JSAMPLE> row(checkedMul(width, channels));

      PngImage image;
      image.width = window.width;
      image.height = window.height;
      image.colorType = grey ? 0 : 2;
      image.bitDepth = 8;
      image.rowBytes = size_t{window.width} * (grey ? 1 : 3);
      image.pixels.resize(checkedMul(image.rowBytes, window.height));
      std::optional<CmykConverter> cmyk;
      std::vector<uint32_t> converted;
      if (cmyk_) {
        cmyk.emplace(icc_, cinfo_.saw_Adobe_marker != 0);
        converted.resize(window.width);
      }
      for (uint32_t y = 0; y < window.height; ++y) {
        if (!readRow(&cinfo_, row.data())) return WindowFailure::Unreadable;
        uint8_t* out = image.pixels.data() + size_t{y} * image.rowBytes;
        if (!cmyk) {
          std::memcpy(out, row.data() + skip, image.rowBytes);
          continue;
        }
        cmyk->convertRow(row.data() + skip, converted.data(), window.width);
        for (uint32_t x = 0; x < window.width; ++x, out += 3) {
          out[0] = static_cast<uint8_t>(converted[x] >> 16);
          out[1] = static_cast<uint8_t>(converted[x] >> 8);
          out[2] = static_cast<uint8_t>(converted[x]);
        }
      }
      // The pixels are passed through unconverted, so their profile goes with them; a CMYK
      // profile does not describe the converted pixels, and PNG could not hold it anyway.
      if (window_detail::iccDescribes(icc_, grey ? "GRAY" : "RGB ")) image.icc = icc_;
      return image;
    } catch (const std::bad_alloc&) {
      return WindowFailure::Unreadable;
    }
  }

  WindowResult<Bitmap> readWindowShrunk(const PixelWindow& window, uint32_t width,
                                        uint32_t height) override {
    if (used_) return WindowFailure::Unreadable;
    used_ = true;
    const ScaledWindow scaled = scaleFor(window, width, height);
    const auto made =
        window_detail::WindowShrinker::make(scaled.width, scaled.height, width, height, false);
    if (!made) return WindowFailure::ScalerSetup;
    auto& shrinker = *made;
    try {
      cinfo_.scale_num = scaled.eighths;
      cinfo_.scale_denom = 8;
      // BGRA in memory is the Bitmap layout on little-endian machines (0xAARRGGBB read as
      // one word), so libjpeg writes shrinker input directly.
      cinfo_.out_color_space = cmyk_                                        ? JCS_CMYK
                               : std::endian::native == std::endian::little ? JCS_EXT_BGRA
                                                                            : JCS_EXT_ARGB;
      JDIMENSION xoffset = scaled.x;
      JDIMENSION cropWidth = scaled.width;
      if (!startWindow(&cinfo_, &xoffset, &cropWidth, scaled.y)) {
        return WindowFailure::Unreadable;
      }
      const uint32_t skip = scaled.x - xoffset;
      std::vector<uint32_t> pixels(cropWidth);
      std::vector<JSAMPLE> cmykRow;
      std::optional<CmykConverter> cmyk;
      if (cmyk_) {
        cmyk.emplace(icc_, cinfo_.saw_Adobe_marker != 0);
        cmykRow.resize(checkedMul(cropWidth, 4));
      }
      for (uint32_t y = 0; y < scaled.height; ++y) {
        if (cmyk) {
          if (!readRow(&cinfo_, cmykRow.data())) return WindowFailure::Unreadable;
          cmyk->convertRow(cmykRow.data() + size_t{skip} * 4, pixels.data(), scaled.width);
          shrinker.pushRow(pixels.data());
        } else {
          if (!readRow(&cinfo_, reinterpret_cast<JSAMPROW>(pixels.data()))) {
            return WindowFailure::Unreadable;
          }
          shrinker.pushRow(pixels.data() + skip);
        }
      }
    } catch (const std::bad_alloc&) {
      return WindowFailure::Unreadable;
    }
    // A CMYK file's profile has been applied by the CMYK conversion already.
    return shrinker.finish(cmyk_ ? std::span<const uint8_t>() : std::span<const uint8_t>(icc_),
                           cinfo_.jpeg_color_space == JCS_GRAYSCALE);
  }

 private:
  // The window in the pixels of a decode at |eighths|/8 of the full size.
  struct ScaledWindow {
    uint32_t eighths;
    uint32_t x, y, width, height;
  };

  // The smallest DCT scale at which the window still covers twice the tile's size, so that
  // the area average does at least half of the reduction. The window's edges are rounded to
  // the nearest scaled pixel: neighbouring tiles meet without a gap or an overlap, and the
  // rounding shifts the picture by at most a quarter of a tile pixel. (At the bare tile size
  // the shift could reach half a tile pixel, visibly off for a window that does not start
  // on the JPEG's 8-pixel grid.)
  ScaledWindow scaleFor(const PixelWindow& window, uint32_t width, uint32_t height) const {
    for (uint32_t eighths = 1;; ++eighths) {
      auto edge = [eighths](uint64_t v) { return static_cast<uint32_t>((v * eighths + 4) / 8); };
      const uint32_t left = edge(window.x);
      const uint32_t top = edge(window.y);
      const uint32_t right = edge(uint64_t{window.x} + window.width);
      const uint32_t bottom = edge(uint64_t{window.y} + window.height);
      if (eighths == 8 ||
          (right - left >= 2 * uint64_t{width} && bottom - top >= 2 * uint64_t{height})) {
        return {eighths, left, top, right - left, bottom - top};
      }
    }
  }

  // Declared before |state_|, which must release the library state while they still exist.
  const InputFile& file_;
  jpeg_decompress_struct cinfo_;
  JpegErrors errors_;
  JpegFileSource source_;
  std::vector<JOCTET> buffer_;
  std::vector<uint8_t> icc_;
  JpegDecompressState state_;
  bool cmyk_ = false;
  bool used_ = false;
};

}  // namespace

std::unique_ptr<FrameWindowReader> openJpegWindow(const InputFile& file) {
  auto reader = std::make_unique<JpegWindowReader>(file);
  if (!reader->open()) return nullptr;
  return reader;
}

}  // namespace velmo::platform
