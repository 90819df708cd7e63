#include "tests/platform/decoder_test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <limits>

#include <gif_lib.h>
#include <jpeglib.h>

#include "platform/image_decoder.h"
#include "platform/input_file.h"
#include "tests/support/test_support.h"

namespace velmo::testing {

std::optional<Bitmap> decodePath(const std::string& path, uint32_t maxPixelSize) {
  auto file = platform::InputFile::open(path);
  if (!file) {
    ADD_FAILURE() << "cannot open " << path;
    return std::nullopt;
  }
  auto info = platform::probeImage(*file);
  if (!info) return std::nullopt;
  return platform::decodeThumbnail(*file, *info, maxPixelSize);
}

std::optional<Bitmap> decodeData(const std::string& relative, uint32_t maxPixelSize) {
  return decodePath(dataPath(relative), maxPixelSize);
}

std::optional<Bitmap> decodeAs(const std::string& path, const ImageInfo& info,
                               uint32_t maxPixelSize) {
  auto file = platform::InputFile::open(path);
  if (!file) {
    ADD_FAILURE() << "cannot open " << path;
    return std::nullopt;
  }
  return platform::decodeThumbnail(*file, info, maxPixelSize);
}

ImageInfo infoFor(platform::ImageFormat format, std::optional<int64_t> orientation) {
  ImageInfo info;
  info.format = format;
  info.orientation = orientation;
  return info;
}

double psnr(const Bitmap& a, const Bitmap& b) {
  if (a.width() != b.width() || a.height() != b.height()) return 0;
  double squared = 0;
  for (uint32_t y = 0; y < a.height(); ++y) {
    for (uint32_t x = 0; x < a.width(); ++x) {
      const uint32_t p = a.row(y)[x], q = b.row(y)[x];
      for (int shift = 0; shift < 24; shift += 8) {
        const double d = double((p >> shift) & 0xFF) - double((q >> shift) & 0xFF);
        squared += d * d;
      }
    }
  }
  if (squared == 0) return std::numeric_limits<double>::infinity();
  const double mean = squared / (3.0 * a.width() * a.height());
  return 10 * std::log10(255.0 * 255.0 / mean);
}

int maxDifference(const Bitmap& a, const Bitmap& b) {
  if (a.width() != b.width() || a.height() != b.height()) return 256;
  int worst = 0;
  for (uint32_t y = 0; y < a.height(); ++y) {
    for (uint32_t x = 0; x < a.width(); ++x) {
      const uint32_t p = a.row(y)[x], q = b.row(y)[x];
      for (int shift = 0; shift < 32; shift += 8) {
        worst = std::max(worst, std::abs(int((p >> shift) & 0xFF) - int((q >> shift) & 0xFF)));
      }
    }
  }
  return worst;
}

MeanColor meanColor(const Bitmap& bitmap, uint32_t x0, uint32_t y0, uint32_t x1, uint32_t y1) {
  MeanColor mean;
  for (uint32_t y = y0; y < y1; ++y) {
    for (uint32_t x = x0; x < x1; ++x) {
      const uint32_t p = bitmap.row(y)[x];
      mean.a += alphaOf(p);
      mean.r += redOf(p);
      mean.g += greenOf(p);
      mean.b += blueOf(p);
    }
  }
  const double n = double(x1 - x0) * double(y1 - y0);
  mean.a /= n;
  mean.r /= n;
  mean.g /= n;
  mean.b /= n;
  return mean;
}

MeanColor meanColor(const Bitmap& bitmap) {
  return meanColor(bitmap, 0, 0, bitmap.width(), bitmap.height());
}

Bitmap makeBitmap(uint32_t width, uint32_t height, bool hasAlpha,
                  const std::function<uint32_t(uint32_t, uint32_t)>& pixel) {
  Bitmap bitmap(width, height, hasAlpha);
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) bitmap.row(y)[x] = pixel(x, y);
  }
  return bitmap;
}

std::vector<uint8_t> readBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeBytes(const std::string& path, std::span<const uint8_t> bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << "cannot write " << path;
}

namespace {

// A valid progression of about |wanted| scans for three components: the DC of each
// component, then its AC coefficients in bands, each band first sent with |al| bits dropped
// and then refined one bit at a time.
std::vector<jpeg_scan_info> progression(int wanted) {
  constexpr int kComponents = 3;
  const int acScans = std::max(wanted - kComponents, kComponents);
  // 8-bit JPEG allows point transforms up to 10.
  const int al = std::clamp(acScans / (kComponents * 63) - 1, 0, 10);
  const int bands = std::clamp(acScans / (kComponents * (al + 1)), 1, 63);
  std::vector<jpeg_scan_info> scans;
  for (int c = 0; c < kComponents; ++c) {
    jpeg_scan_info dc{};
    dc.comps_in_scan = 1;
    dc.component_index[0] = c;
    scans.push_back(dc);
  }
  for (int c = 0; c < kComponents; ++c) {
    for (int band = 0; band < bands; ++band) {
      const int first = 1 + band * 63 / bands;
      const int last = (band + 1) * 63 / bands;
      for (int ah = 0; ah <= al; ++ah) {
        jpeg_scan_info scan{};
        scan.comps_in_scan = 1;
        scan.component_index[0] = c;
        scan.Ss = first;
        scan.Se = last;
        scan.Ah = ah == 0 ? 0 : al - ah + 1;
        scan.Al = al - ah;
        scans.push_back(scan);
      }
    }
  }
  return scans;
}

}  // namespace

std::vector<uint8_t> makeJpeg(const Bitmap& bitmap, int quality, std::span<const uint8_t> icc,
                              int scans) {
  jpeg_compress_struct cinfo{};
  jpeg_error_mgr errors{};
  cinfo.err = jpeg_std_error(&errors);
  jpeg_create_compress(&cinfo);
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&cinfo, &buffer, &size);
  cinfo.image_width = bitmap.width();
  cinfo.image_height = bitmap.height();
  cinfo.input_components = 4;
  cinfo.in_color_space = JCS_EXT_BGRX;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, quality, TRUE);
  std::vector<jpeg_scan_info> script;
  if (scans > 0) {
    script = progression(scans);
    cinfo.scan_info = script.data();
    cinfo.num_scans = static_cast<int>(script.size());
  }
  jpeg_start_compress(&cinfo, TRUE);
  if (!icc.empty()) {
    jpeg_write_icc_profile(&cinfo, icc.data(), static_cast<unsigned int>(icc.size()));
  }
  while (cinfo.next_scanline < cinfo.image_height) {
    JSAMPROW row =
        reinterpret_cast<JSAMPROW>(const_cast<uint32_t*>(bitmap.row(cinfo.next_scanline)));
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  std::vector<uint8_t> bytes(buffer, buffer + size);
  jpeg_destroy_compress(&cinfo);
  std::free(buffer);
  return bytes;
}

namespace {

int appendGif(GifFileType* gif, const GifByteType* data, int length) {
  auto& out = *static_cast<std::vector<uint8_t>*>(gif->UserData);
  out.insert(out.end(), data, data + length);
  return length;
}

}  // namespace

std::vector<uint8_t> makeGif(const GifSpec& spec) {
  std::vector<uint8_t> out;
  int error = 0;
  GifFileType* gif = EGifOpen(&out, appendGif, &error);
  EXPECT_NE(gif, nullptr);
  if (gif == nullptr) return out;
  std::vector<GifColorType> colors(256, GifColorType{0, 0, 0});
  for (size_t i = 0; i * 3 + 2 < spec.palette.size() && i < 256; ++i) {
    colors[i] = {spec.palette[i * 3], spec.palette[i * 3 + 1], spec.palette[i * 3 + 2]};
  }
  ColorMapObject* map = GifMakeMapObject(256, colors.data());
  EGifSetGifVersion(gif, true);
  EXPECT_EQ(EGifPutScreenDesc(gif, int(spec.screenWidth), int(spec.screenHeight), 8, 0, map),
            GIF_OK);
  for (int frame = 0; frame < spec.frames; ++frame) {
    if (spec.transparent >= 0) {
      GraphicsControlBlock control{};
      control.TransparentColor = spec.transparent;
      GifByteType extension[4];
      EGifGCBToExtension(&control, extension);
      EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, 4, extension);
    }
    EXPECT_EQ(EGifPutImageDesc(gif, int(spec.left), int(spec.top), int(spec.frameWidth),
                               int(spec.frameHeight), spec.interlaced, nullptr),
              GIF_OK);
    std::vector<uint32_t> order;
    if (spec.interlaced) {
      for (uint32_t start : {0u, 4u, 2u, 1u}) {
        const uint32_t step = start == 0 ? 8 : start == 4 ? 8 : start == 2 ? 4 : 2;
        for (uint32_t y = start; y < spec.frameHeight; y += step) order.push_back(y);
      }
    } else {
      for (uint32_t y = 0; y < spec.frameHeight; ++y) order.push_back(y);
    }
    for (uint32_t y : order) {
      std::vector<GifPixelType> line(spec.indices.begin() + y * spec.frameWidth,
                                     spec.indices.begin() + (y + 1) * spec.frameWidth);
      if (frame > 0 && spec.laterFramesIndex >= 0) {
        std::fill(line.begin(), line.end(), GifPixelType(spec.laterFramesIndex));
      }
      EGifPutLine(gif, line.data(), int(spec.frameWidth));
    }
  }
  EGifCloseFile(gif, &error);
  GifFreeMapObject(map);
  return out;
}

}  // namespace velmo::testing
