// JPEG and PNG encoders: what a decoder gets back, what the files declare, and that the same
// input always gives the same bytes.
#include <gtest/gtest.h>
#include <spng.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>

#include "platform/image_encoder.h"
#include "tests/support/image_files.h"
#include "tests/support/test_support.h"

namespace velmo::platform {
namespace {

using testing::RgbaImage;
using testing::ScratchDir;

Bitmap makeBitmap(uint32_t width, uint32_t height, bool alpha,
                  const std::function<uint32_t(uint32_t, uint32_t)>& pixel) {
  Bitmap bitmap(width, height, alpha);
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) bitmap.row(y)[x] = pixel(x, y);
  }
  return bitmap;
}

// Gentle gradients and a slow wave: what JPEG codes well.
Bitmap smoothBitmap(uint32_t width, uint32_t height) {
  return makeBitmap(width, height, false, [&](uint32_t x, uint32_t y) {
    const uint32_t r = x * 255 / (width - 1);
    const uint32_t g = y * 255 / (height - 1);
    const uint32_t b = static_cast<uint32_t>(128 + 100 * std::sin((x + y) / 40.0));
    return 0xFF000000u | (r << 16) | (g << 8) | b;
  });
}

// Gradients with fixed pseudo-random noise, so that every JPEG quality changes the size.
Bitmap noisyBitmap(uint32_t width, uint32_t height) {
  uint32_t state = 12345;
  return makeBitmap(width, height, false, [&](uint32_t x, uint32_t y) {
    state = state * 1664525u + 1013904223u;
    const uint32_t noise = (state >> 24) & 0x3F;
    const uint32_t r = (x * 3 + noise) & 0xFF, g = (y * 2 + noise) & 0xFF, b = (x + y) & 0xFF;
    return 0xFF000000u | (r << 16) | (g << 8) | b;
  });
}

RgbaImage straightCopy(const Bitmap& bitmap) {
  return RgbaImage::generate(bitmap.width(), bitmap.height(), [&](uint32_t x, uint32_t y) {
    return bitmap.row(y)[x] | 0xFF000000u;
  });
}

RgbaImage decodeBytes(const std::vector<uint8_t>& bytes) {
  ScratchDir dir;
  const std::string path = dir.file("decoded");
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  return testing::readImageFile(path);
}

struct SpngFree {
  void operator()(spng_ctx* ctx) const { spng_ctx_free(ctx); }
};

// A PNG decoded with libspng, in the file's own format (SPNG_FMT_RAW: 16-bit big-endian).
struct DecodedPng {
  spng_ihdr ihdr{};
  std::vector<uint8_t> raw;
  std::unique_ptr<spng_ctx, SpngFree> ctx;
};

DecodedPng decodePngRaw(const std::vector<uint8_t>& bytes) {
  DecodedPng png;
  png.ctx.reset(spng_ctx_new(0));
  EXPECT_EQ(spng_set_png_buffer(png.ctx.get(), bytes.data(), bytes.size()), 0);
  EXPECT_EQ(spng_get_ihdr(png.ctx.get(), &png.ihdr), 0);
  size_t size = 0;
  EXPECT_EQ(spng_decoded_image_size(png.ctx.get(), SPNG_FMT_RAW, &size), 0);
  png.raw.resize(size);
  EXPECT_EQ(spng_decode_image(png.ctx.get(), png.raw.data(), size, SPNG_FMT_RAW, 0), 0);
  return png;
}

// --- JPEG -----------------------------------------------------------------------------

TEST(JpegEncoder, SmoothImageComesBackClose) {
  const Bitmap bitmap = smoothBitmap(256, 192);
  const auto bytes = encodeJpeg(bitmap.view(), 92);
  ASSERT_TRUE(bytes);
  const RgbaImage decoded = decodeBytes(*bytes);
  ASSERT_EQ(decoded.width, 256u);
  ASSERT_EQ(decoded.height, 192u);
  EXPECT_GT(testing::psnr(decoded, straightCopy(bitmap)), 35.0);
}

// Baseline (SOF0), JFIF, 4:2:0, and no APP1 (EXIF) or APP2 (ICC) segment.
TEST(JpegEncoder, WritesBaselineJfifWithSubsampledChromaAndNoMetadata) {
  const auto bytes = encodeJpeg(smoothBitmap(64, 48).view(), 88);
  ASSERT_TRUE(bytes);
  const std::vector<uint8_t>& b = *bytes;
  ASSERT_GE(b.size(), 4u);
  ASSERT_EQ(b[0], 0xFF);
  ASSERT_EQ(b[1], 0xD8);
  bool jfif = false, sof0 = false;
  size_t pos = 2;
  while (pos + 4 <= b.size()) {
    ASSERT_EQ(b[pos], 0xFF) << "at " << pos;
    const uint8_t marker = b[pos + 1];
    const size_t length = (size_t{b[pos + 2]} << 8) | b[pos + 3];
    ASSERT_LE(pos + 2 + length, b.size());
    const uint8_t* body = b.data() + pos + 4;
    EXPECT_NE(marker, 0xE1) << "EXIF segment";
    EXPECT_NE(marker, 0xE2) << "ICC segment";
    EXPECT_FALSE(marker >= 0xC1 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 &&
                 marker != 0xCC)
        << "non-baseline frame " << int{marker};
    if (marker == 0xE0 && length >= 7) jfif = std::memcmp(body, "JFIF\0", 5) == 0;
    if (marker == 0xC0) {
      sof0 = true;
      ASSERT_EQ(body[5], 3);             // components
      EXPECT_EQ(body[6 + 1], 0x22);      // Y: 2x2
      EXPECT_EQ(body[6 + 3 + 1], 0x11);  // Cb: 1x1
      EXPECT_EQ(body[6 + 6 + 1], 0x11);  // Cr: 1x1
    }
    if (marker == 0xDA) break;
    pos += 2 + length;
  }
  EXPECT_TRUE(jfif);
  EXPECT_TRUE(sof0);
}

TEST(JpegEncoder, SameInputGivesSameBytesAndLowerQualityGivesFewer) {
  const Bitmap bitmap = noisyBitmap(200, 150);
  const auto first = encodeJpeg(bitmap.view(), 92);
  const auto again = encodeJpeg(bitmap.view(), 92);
  const auto q88 = encodeJpeg(bitmap.view(), 88);
  const auto q84 = encodeJpeg(bitmap.view(), 84);
  ASSERT_TRUE(first && again && q88 && q84);
  EXPECT_EQ(*first, *again);
  EXPECT_GT(first->size(), q88->size());
  EXPECT_GT(q88->size(), q84->size());
}

TEST(JpegEncoder, IgnoresTheAlphaByteAndRowPadding) {
  const Bitmap opaque = noisyBitmap(37, 21);
  // The same colours with another top byte, in rows padded by 12 bytes.
  const size_t stride = 37 * 4 + 12;
  std::vector<uint8_t> padded(stride * 21, 0xEE);
  for (uint32_t y = 0; y < 21; ++y) {
    auto* row = reinterpret_cast<uint32_t*>(padded.data() + y * stride);
    for (uint32_t x = 0; x < 37; ++x) row[x] = opaque.row(y)[x] & 0x00FFFFFFu;
  }
  const BitmapView view{reinterpret_cast<const uint32_t*>(padded.data()), 37, 21, stride, false};
  EXPECT_EQ(encodeJpeg(view, 90), encodeJpeg(opaque.view(), 90));
}

TEST(JpegEncoder, RefusesSizesJpegCannotHold) {
  EXPECT_FALSE(encodeJpeg(BitmapView{}, 92));
  const Bitmap tooWide =
      makeBitmap(70000, 1, false, [](uint32_t, uint32_t) { return 0xFF000000u; });
  EXPECT_FALSE(encodeJpeg(tooWide.view(), 92));
}

// --- PNG of render bitmaps ------------------------------------------------------------

TEST(PngEncoder, OpaqueBitmapIsExactRgb) {
  const Bitmap bitmap = noisyBitmap(53, 29);
  const auto bytes = encodePng(bitmap.view());
  ASSERT_TRUE(bytes);
  const DecodedPng png = decodePngRaw(*bytes);
  EXPECT_EQ(png.ihdr.color_type, SPNG_COLOR_TYPE_TRUECOLOR);
  EXPECT_EQ(png.ihdr.bit_depth, 8);
  ASSERT_EQ(png.raw.size(), 53u * 29 * 3);
  for (uint32_t y = 0; y < 29; ++y) {
    for (uint32_t x = 0; x < 53; ++x) {
      const uint32_t p = bitmap.row(y)[x];
      const uint8_t* got = png.raw.data() + (size_t{y} * 53 + x) * 3;
      ASSERT_EQ(got[0], (p >> 16) & 0xFF);
      ASSERT_EQ(got[1], (p >> 8) & 0xFF);
      ASSERT_EQ(got[2], p & 0xFF);
    }
  }
  EXPECT_EQ(encodePng(bitmap.view()), bytes);
}

TEST(PngEncoder, UndoesPremultiplicationRoundingToNearest) {
  struct Case {
    uint32_t alpha, premultiplied, straight;
  };
  // (v * 255 + a / 2) / a; 41 at alpha 100 is 104.55, which rounds up.
  const Case cases[] = {{255, 200, 200}, {128, 64, 128}, {200, 100, 128}, {3, 1, 85}, {1, 1, 255},
                        {2, 1, 128},     {100, 33, 84},  {100, 41, 105},  {0, 0, 0}};
  const uint32_t n = std::size(cases);
  const Bitmap bitmap = makeBitmap(n, 1, true, [&](uint32_t x, uint32_t) {
    const Case& c = cases[x];
    return (c.alpha << 24) | (c.premultiplied << 16) | (c.premultiplied << 8) | c.premultiplied;
  });
  const auto bytes = encodePng(bitmap.view());
  ASSERT_TRUE(bytes);
  const DecodedPng png = decodePngRaw(*bytes);
  EXPECT_EQ(png.ihdr.color_type, SPNG_COLOR_TYPE_TRUECOLOR_ALPHA);
  ASSERT_EQ(png.raw.size(), n * 4);
  for (uint32_t i = 0; i < n; ++i) {
    const uint8_t* px = png.raw.data() + i * 4;
    EXPECT_EQ(px[0], cases[i].straight) << "alpha " << cases[i].alpha;
    EXPECT_EQ(px[1], cases[i].straight);
    EXPECT_EQ(px[2], cases[i].straight);
    EXPECT_EQ(px[3], cases[i].alpha);
  }
}

// Every straight value at every alpha survives premultiply -> encode -> decode -> premultiply:
// the file holds the best straight value for each premultiplied pixel.
TEST(PngEncoder, EveryPremultipliedPixelComesBackTheSame) {
  const Bitmap bitmap = makeBitmap(256, 256, true, [](uint32_t x, uint32_t y) {
    return premultiply(x, 255 - x, (x * 7 + y) & 0xFF, y);
  });
  const auto bytes = encodePng(bitmap.view());
  ASSERT_TRUE(bytes);
  const DecodedPng png = decodePngRaw(*bytes);
  ASSERT_EQ(png.raw.size(), 256u * 256 * 4);
  int mismatches = 0;
  for (uint32_t y = 0; y < 256; ++y) {
    for (uint32_t x = 0; x < 256; ++x) {
      const uint8_t* px = png.raw.data() + (size_t{y} * 256 + x) * 4;
      if (premultiply(px[0], px[1], px[2], px[3]) != bitmap.row(y)[x]) ++mismatches;
    }
  }
  EXPECT_EQ(mismatches, 0);
}

// --- PNG in the source's own format ---------------------------------------------------

TEST(PngImageEncoder, SixteenBitRgbKeepsEverySample) {
  PngImage image;
  image.width = 17;
  image.height = 5;
  image.colorType = 2;
  image.bitDepth = 16;
  for (size_t i = 0; i < 17 * 5 * 6; ++i) image.pixels.push_back(static_cast<uint8_t>(i * 37 + 11));
  const auto bytes = encodePng(image);
  ASSERT_TRUE(bytes);
  const DecodedPng png = decodePngRaw(*bytes);
  EXPECT_EQ(png.ihdr.bit_depth, 16);
  EXPECT_EQ(png.ihdr.color_type, 2);
  EXPECT_EQ(png.raw, image.pixels);
  EXPECT_EQ(encodePng(image), bytes);
}

TEST(PngImageEncoder, PaletteTransparencyAndProfileAreKept) {
  PngImage image;
  image.width = 5;
  image.height = 3;
  image.colorType = 3;
  image.bitDepth = 4;
  image.rowBytes = 4;  // 3 packed bytes and one of padding
  image.pixels = {0x01, 0x20, 0x10, 0xAA, 0x22, 0x21, 0x00, 0xAA, 0x00, 0x12, 0x20};
  image.palette = {255, 0, 0, 0, 255, 0, 0, 0, 255};
  image.trns = {0, 128};
  for (int i = 0; i < 300; ++i) image.icc.push_back(static_cast<uint8_t>(i));
  const auto bytes = encodePng(image);
  ASSERT_TRUE(bytes);

  const DecodedPng png = decodePngRaw(*bytes);
  EXPECT_EQ(png.ihdr.color_type, 3);
  EXPECT_EQ(png.ihdr.bit_depth, 4);
  EXPECT_EQ(png.raw, (std::vector<uint8_t>{0x01, 0x20, 0x10, 0x22, 0x21, 0x00, 0x00, 0x12, 0x20}));
  spng_plte plte{};
  ASSERT_EQ(spng_get_plte(png.ctx.get(), &plte), 0);
  ASSERT_EQ(plte.n_entries, 3u);
  EXPECT_EQ(plte.entries[1].green, 255);
  EXPECT_EQ(plte.entries[2].blue, 255);
  spng_trns trns{};
  ASSERT_EQ(spng_get_trns(png.ctx.get(), &trns), 0);
  ASSERT_EQ(trns.n_type3_entries, 2u);
  EXPECT_EQ(trns.type3_alpha[0], 0);
  EXPECT_EQ(trns.type3_alpha[1], 128);
  spng_iccp iccp{};
  ASSERT_EQ(spng_get_iccp(png.ctx.get(), &iccp), 0);
  ASSERT_EQ(iccp.profile_len, image.icc.size());
  EXPECT_EQ(std::memcmp(iccp.profile, image.icc.data(), image.icc.size()), 0);
}

TEST(PngImageEncoder, GreyTransparencyIsKept) {
  PngImage image;
  image.width = 2;
  image.height = 2;
  image.colorType = 0;
  image.bitDepth = 16;
  image.pixels = {0x12, 0x34, 0xFF, 0xFF, 0x00, 0x00, 0x12, 0x34};
  image.trns = {0x12, 0x34};
  const auto bytes = encodePng(image);
  ASSERT_TRUE(bytes);
  const DecodedPng png = decodePngRaw(*bytes);
  EXPECT_EQ(png.raw, image.pixels);
  spng_trns trns{};
  ASSERT_EQ(spng_get_trns(png.ctx.get(), &trns), 0);
  EXPECT_EQ(trns.gray, 0x1234);
}

TEST(PngImageEncoder, StreamedRowsGiveTheSameFile) {
  PngImage image;
  image.width = 9;
  image.height = 7;
  image.colorType = 6;
  image.bitDepth = 8;
  for (size_t i = 0; i < 9 * 7 * 4; ++i) image.pixels.push_back(static_cast<uint8_t>(i * 13));
  PngImage format = image;
  format.pixels.clear();
  std::vector<uint32_t> asked;
  const auto streamed = encodePng(format, [&](uint32_t y, std::span<uint8_t> row) {
    asked.push_back(y);
    EXPECT_EQ(row.size(), 36u);
    std::copy_n(image.pixels.begin() + y * 36, 36, row.begin());
    return true;
  });
  EXPECT_EQ(asked, (std::vector<uint32_t>{0, 1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(streamed, encodePng(image));
  EXPECT_FALSE(encodePng(format, [](uint32_t y, std::span<uint8_t>) { return y < 3; }));
}

TEST(PngImageEncoder, RefusesInconsistentFormats) {
  PngImage rgb;
  rgb.width = 4;
  rgb.height = 2;
  rgb.colorType = 2;
  rgb.bitDepth = 8;
  rgb.pixels.assign(24, 0);
  ASSERT_TRUE(encodePng(rgb));

  auto refused = [&](auto change) {
    PngImage copy = rgb;
    change(copy);
    return !encodePng(copy).has_value();
  };
  EXPECT_TRUE(refused([](PngImage& i) { i.pixels.resize(23); }));
  EXPECT_TRUE(refused([](PngImage& i) { i.bitDepth = 4; }));
  EXPECT_TRUE(refused([](PngImage& i) { i.colorType = 5; }));
  EXPECT_TRUE(refused([](PngImage& i) { i.rowBytes = 11; }));
  EXPECT_TRUE(refused([](PngImage& i) { i.width = 0; }));
  EXPECT_TRUE(refused([](PngImage& i) { i.height = 0; }));
  EXPECT_TRUE(refused([](PngImage& i) { i.trns = {0, 1}; }));  // RGB needs 6 bytes
  EXPECT_TRUE(refused([](PngImage& i) {
    i.colorType = 0;
    i.pixels.assign(8, 0);
    i.palette = {1, 2, 3};  // grey may not carry a palette
  }));
  EXPECT_TRUE(refused([](PngImage& i) {
    i.colorType = 3;  // indexed colour without a palette
    i.pixels.assign(8, 0);
  }));
  EXPECT_TRUE(refused([](PngImage& i) {
    i.colorType = 3;
    i.bitDepth = 1;
    i.pixels.assign(2, 0);
    i.palette.assign(9, 0);  // three entries cannot be indexed by one bit
  }));
}

}  // namespace
}  // namespace velmo::platform
