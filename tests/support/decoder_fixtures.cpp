#include "tests/support/decoder_fixtures.h"

#include <gtest/gtest.h>
#include <jpeglib.h>
#include <lcms2.h>

#include <cstdlib>
#include <memory>

#include "codec/image_decoder.h"
#include "platform/input_file.h"
#include "tests/support/test_support.h"

namespace velmo::testing {

using codec::ImageInfo;
using platform::Bitmap;

std::optional<ImageInfo> probePath(const std::string& path) {
  auto file = platform::InputFile::open(path);
  if (!file) return std::nullopt;
  return codec::probeImage(*file);
}

std::optional<Bitmap> decodePath(const std::string& path, uint32_t maxPixelSize,
                                 const std::optional<codec::ImageInfo>& info) {
  auto file = platform::InputFile::open(path);
  if (!file) {
    ADD_FAILURE() << "cannot open " << path;
    return std::nullopt;
  }
  auto probed = info ? info : codec::probeImage(*file);
  if (!probed) return std::nullopt;
  auto decoded = codec::decodeThumbnail(*file, *probed, maxPixelSize);
  if (!decoded) return std::nullopt;
  return std::move(*decoded);
}

std::optional<Bitmap> decodeData(const std::string& relative, uint32_t maxPixelSize) {
  return decodePath(dataPath(relative), maxPixelSize);
}

codec::ImageInfo infoFor(codec::ImageFormat format, std::optional<int64_t> orientation) {
  codec::ImageInfo info;
  info.format = format;
  info.orientation = orientation;
  return info;
}

Bitmap makeBitmap(uint32_t width, uint32_t height, bool hasAlpha,
                  const std::function<uint32_t(uint32_t, uint32_t)>& pixel) {
  Bitmap bitmap(width, height, hasAlpha);
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) bitmap.row(y)[x] = pixel(x, y);
  }
  return bitmap;
}

RgbaImage channelsOf(const Bitmap& bitmap) {
  return RgbaImage::generate(bitmap.width(), bitmap.height(),
                             [&](uint32_t x, uint32_t y) { return bitmap.row(y)[x]; });
}

MeanColor meanColor(const Bitmap& bitmap, uint32_t x0, uint32_t y0, uint32_t x1, uint32_t y1) {
  MeanColor mean;
  for (uint32_t y = y0; y < y1; ++y) {
    for (uint32_t x = x0; x < x1; ++x) {
      const uint32_t p = bitmap.row(y)[x];
      mean.a += p >> 24;
      mean.r += (p >> 16) & 0xFF;
      mean.g += (p >> 8) & 0xFF;
      mean.b += p & 0xFF;
    }
  }
  const double n = double(x1 - x0) * double(y1 - y0);
  return {mean.a / n, mean.r / n, mean.g / n, mean.b / n};
}

std::vector<uint8_t> profileBytes(void* profile) {
  cmsUInt32Number size = 0;
  EXPECT_TRUE(cmsSaveProfileToMem(profile, nullptr, &size));
  std::vector<uint8_t> bytes(size);
  EXPECT_TRUE(cmsSaveProfileToMem(profile, bytes.data(), &size));
  cmsCloseProfile(profile);
  return bytes;
}

std::vector<uint8_t> adobeRgbProfile(size_t padding) {
  const cmsCIExyYTRIPLE primaries{{0.64, 0.33, 1.0}, {0.21, 0.71, 1.0}, {0.15, 0.06, 1.0}};
  cmsToneCurve* curve = cmsBuildGamma(nullptr, 563.0 / 256.0);
  cmsToneCurve* curves[3] = {curve, curve, curve};
  const cmsCIExyY d65{0.3127, 0.3290, 1.0};
  cmsHPROFILE profile = cmsCreateRGBProfile(&d65, &primaries, curves);
  cmsFreeToneCurve(curve);
  if (padding > 0) {
    const std::vector<uint8_t> filler(padding, 0x5A);
    EXPECT_TRUE(cmsWriteRawTag(profile, cmsTagSignature(0x7A7A7A7A), filler.data(),
                               cmsUInt32Number(padding)));
  }
  return profileBytes(profile);
}

std::vector<uint8_t> flatJpeg(const FlatJpeg& flat) {
  const bool cmyk = flat.pixel.size() == 4;
  jpeg_compress_struct cinfo{};
  jpeg_error_mgr errors{};
  cinfo.err = jpeg_std_error(&errors);
  jpeg_create_compress(&cinfo);
  std::unique_ptr<jpeg_compress_struct, decltype(&jpeg_destroy_compress)> owner(
      &cinfo, jpeg_destroy_compress);
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&cinfo, &buffer, &size);
  cinfo.image_width = flat.width;
  cinfo.image_height = flat.height;
  cinfo.input_components = cmyk ? 4 : 3;
  cinfo.in_color_space = cmyk ? JCS_CMYK : JCS_RGB;
  jpeg_set_defaults(&cinfo);
  if (cmyk) jpeg_set_colorspace(&cinfo, JCS_YCCK);
  jpeg_set_quality(&cinfo, 100, TRUE);
  std::vector<jpeg_scan_info> script;
  if (flat.refinements >= 0) {
    script.push_back({3, {0, 1, 2, 0}, 0, 0, 0, 0});  // every DC coefficient at once
    for (int c = 0; c < 3; ++c) {
      for (int k = 1; k < 64; ++k) {
        for (int al = flat.refinements; al >= 0; --al) {
          script.push_back({1, {c}, k, k, al == flat.refinements ? 0 : al + 1, al});
        }
      }
    }
    cinfo.scan_info = script.data();
    cinfo.num_scans = int(script.size());
  }
  jpeg_start_compress(&cinfo, TRUE);
  if (!flat.icc.empty()) jpeg_write_icc_profile(&cinfo, flat.icc.data(), unsigned(flat.icc.size()));
  std::vector<uint8_t> row;
  for (uint32_t x = 0; x < flat.width; ++x) {
    for (uint8_t sample : flat.pixel) row.push_back(cmyk ? uint8_t(255 - sample) : sample);
  }
  while (cinfo.next_scanline < cinfo.image_height) {
    JSAMPROW rows[1] = {row.data()};
    jpeg_write_scanlines(&cinfo, rows, 1);
  }
  jpeg_finish_compress(&cinfo);
  std::vector<uint8_t> bytes(buffer, buffer + size);
  std::free(buffer);
  return bytes;
}

}  // namespace velmo::testing
