// JPEG and PNG encoders: what an independent decoder gets back, and the same bytes for the
// same input.
#include <gtest/gtest.h>
#include <libdeflate.h>
#include <spng.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "codec/image_encoder.h"
#include "tests/support/decoder_fixtures.h"
#include "tests/support/image_files.h"
#include "tests/support/png_chunks.h"
#include "tests/support/test_support.h"

namespace velmo::testing {

using platform::Bitmap;
namespace {

using codec::encodeJpeg;
using codec::encodePng;
using codec::PngColorType;
using codec::PngImage;

// |image|'s channels as a render bitmap's pixels (taken as premultiplied when |alpha|).
Bitmap bitmapOf(const RgbaImage& image, bool alpha) {
  return makeBitmap(image.width, image.height, alpha, [&](uint32_t x, uint32_t y) {
    const uint8_t* p = image.at(x, y);
    return uint32_t{p[3]} << 24 | uint32_t{p[0]} << 16 | uint32_t{p[1]} << 8 | p[2];
  });
}

struct SpngFree {
  void operator()(spng_ctx* ctx) const { spng_ctx_free(ctx); }
};

// A PNG decoded with libspng in the file's own format (SPNG_FMT_RAW: 16-bit big-endian).
struct DecodedPng {
  spng_ihdr ihdr{};
  std::vector<uint8_t> raw;
  std::unique_ptr<spng_ctx, SpngFree> ctx;
};

DecodedPng decodePngRaw(const codec::Result<std::vector<uint8_t>>& bytes) {
  DecodedPng png;
  png.ctx.reset(spng_ctx_new(0));
  EXPECT_TRUE(bytes);
  if (!bytes) return png;
  EXPECT_EQ(spng_set_png_buffer(png.ctx.get(), bytes->data(), bytes->size()), 0);
  EXPECT_EQ(spng_get_ihdr(png.ctx.get(), &png.ihdr), 0);
  size_t size = 0;
  EXPECT_EQ(spng_decoded_image_size(png.ctx.get(), SPNG_FMT_RAW, &size), 0);
  png.raw.resize(size);
  EXPECT_EQ(spng_decode_image(png.ctx.get(), png.raw.data(), size, SPNG_FMT_RAW, 0), 0);
  return png;
}

// The image data of a PNG with |rawBytes| bytes of filtered rows: its IDAT chunks joined and
// inflated, filter bytes and all.
std::vector<uint8_t> filteredRows(const std::vector<uint8_t>& png, size_t rawBytes) {
  std::vector<uint8_t> deflated;
  for (const auto& [type, data] : pngChunks(png)) {
    if (type == "IDAT") deflated.insert(deflated.end(), data.begin(), data.end());
  }
  std::vector<uint8_t> rows(rawBytes);
  libdeflate_decompressor* inflater = libdeflate_alloc_decompressor();
  const libdeflate_result result = libdeflate_zlib_decompress(
      inflater, deflated.data(), deflated.size(), rows.data(), rows.size(), nullptr);
  libdeflate_free_decompressor(inflater);
  EXPECT_EQ(result, LIBDEFLATE_SUCCESS);
  return rows;
}

int appendTo(spng_ctx*, void* user, void* data, size_t length) {
  auto* out = static_cast<std::vector<uint8_t>*>(user);
  out->insert(out->end(), static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + length);
  return 0;
}

// The same image as libspng's own encoder writes it, with its default adaptive filters.
std::vector<uint8_t> libspngPng(const PngImage& image) {
  std::vector<uint8_t> out;
  std::unique_ptr<spng_ctx, SpngFree> ctx(spng_ctx_new(SPNG_CTX_ENCODER));
  spng_set_png_stream(ctx.get(), appendTo, &out);
  spng_ihdr ihdr{};
  ihdr.width = image.width;
  ihdr.height = image.height;
  ihdr.bit_depth = image.bitDepth;
  ihdr.color_type = static_cast<uint8_t>(image.colorType);
  EXPECT_EQ(spng_set_ihdr(ctx.get(), &ihdr), 0);
  if (!image.palette.empty()) {
    spng_plte plte{};
    plte.n_entries = static_cast<uint32_t>(image.palette.size() / 3);
    EXPECT_EQ(spng_set_plte(ctx.get(), &plte), 0);
  }
  EXPECT_EQ(spng_encode_image(ctx.get(), image.pixels.data(), image.pixels.size(), SPNG_FMT_RAW,
                              SPNG_ENCODE_FINALIZE),
            0);
  return out;
}

// Rows are filtered as libspng filters them, for every sample layout: the same choice of
// filter per row and the same filtered bytes, so only the deflating differs.
TEST(PngImageEncoder, FiltersRowsAsLibspngDoes) {
  using enum PngColorType;
  const std::vector<std::tuple<PngColorType, uint8_t>> layouts = {
      {Grey, 8}, {GreyAlpha, 8}, {Rgb, 8},  {Rgba, 8},
      {Rgb, 16}, {Rgba, 16},     {Grey, 4}, {Palette, 8}};
  std::mt19937 random(7);
  for (const auto& [type, depth] : layouts) {
    SCOPED_TRACE(std::to_string(static_cast<int>(type)) + "/" + std::to_string(depth));
    PngImage image;
    image.width = 37;
    image.height = 40;
    image.colorType = type;
    image.bitDepth = depth;
    if (type == Palette) image.palette.assign(3 * 256, 0);
    const size_t rowBytes = (size_t{image.width} * codec::pngChannels(type) * depth + 7) / 8;
    // Ramps across, down and both ways, flat runs and noise, so that every filter wins some
    // rows.
    for (uint32_t y = 0; y < image.height; ++y) {
      for (size_t i = 0; i < rowBytes; ++i) {
        const uint32_t kind = y % 5;
        const uint32_t value = kind == 0   ? static_cast<uint32_t>(i * 3)
                               : kind == 1 ? y * 7
                               : kind == 2 ? static_cast<uint32_t>(i + y * 5)
                               : kind == 3 ? 200
                                           : random();
        image.pixels.push_back(static_cast<uint8_t>(value));
      }
    }
    const codec::Result<std::vector<uint8_t>> ours = encodePng(image);
    ASSERT_TRUE(ours);
    const size_t rawBytes = (rowBytes + 1) * image.height;
    const std::vector<uint8_t> rows = filteredRows(*ours, rawBytes);
    EXPECT_EQ(rows, filteredRows(libspngPng(image), rawBytes));
    // More than one filter was chosen where filtering applies.
    std::set<uint8_t> filters;
    for (uint32_t y = 0; y < image.height; ++y) filters.insert(rows[y * (rowBytes + 1)]);
    EXPECT_EQ(filters.size() > 1, depth >= 8 && type != Palette) << filters.size();
  }
}

TEST(JpegEncoder, RoundTripIsCloseAndRepeatable) {
  // Gentle gradients and a slow wave: what JPEG codes well.
  const RgbaImage source = RgbaImage::generate(256, 192, [](uint32_t x, uint32_t y) {
    const auto wave = static_cast<uint32_t>(128 + 100 * std::sin((x + y) / 40.0));
    return 0xFF000000u | x << 16 | (y * 255 / 191) << 8 | wave;
  });
  const Bitmap bitmap = bitmapOf(source, false);
  const auto bytes = encodeJpeg(bitmap.view(), 92);
  ASSERT_TRUE(bytes);
  EXPECT_EQ(*encodeJpeg(bitmap.view(), 92), *bytes);
  const RgbaImage decoded = decodeImage(*bytes);
  ASSERT_EQ(decoded.width, 256u);
  ASSERT_EQ(decoded.height, 192u);
  EXPECT_GT(psnr(decoded, source), 35.0);
}

TEST(PngEncoder, OpaqueIsExactRgbAndAlphaIsUnpremultipliedToNearest) {
  const RgbaImage noisy = RgbaImage::generate(53, 29, [](uint32_t x, uint32_t y) {
    return 0xFF000000u | ((x * 37 + y * 11) & 0xFF) << 16 | ((x * y) & 0xFF) << 8 | (x ^ y * 5);
  });
  const auto bytes = encodePng(bitmapOf(noisy, false).view());
  EXPECT_EQ(decodePngRaw(bytes).ihdr.color_type, SPNG_COLOR_TYPE_TRUECOLOR);
  const RgbaImage decoded = decodeImage(*bytes);
  ASSERT_EQ(decoded.width, 53u);
  EXPECT_EQ(maxDifference(decoded, noisy), 0);

  struct Case {
    uint8_t alpha, premultiplied, straight;
  };
  // (v * 255 + a / 2) / a; 41 at alpha 100 is 104.55, which rounds up.
  const Case cases[] = {{255, 200, 200}, {128, 64, 128}, {200, 100, 128}, {3, 1, 85}, {1, 1, 255},
                        {2, 1, 128},     {100, 33, 84},  {100, 41, 105},  {0, 0, 0}};
  const auto grey = RgbaImage::generate(std::size(cases), 1, [&](uint32_t x, uint32_t) {
    return uint32_t{cases[x].alpha} << 24 | cases[x].premultiplied * 0x010101u;
  });
  const DecodedPng png = decodePngRaw(encodePng(bitmapOf(grey, true).view()));
  EXPECT_EQ(png.ihdr.color_type, SPNG_COLOR_TYPE_TRUECOLOR_ALPHA);
  std::vector<uint8_t> expected;
  for (const Case& c : cases)
    expected.insert(expected.end(), {c.straight, c.straight, c.straight, c.alpha});
  EXPECT_EQ(png.raw, expected);
}

TEST(PngEncoder, LargeImagesAreDeflatedAsTheirRowsComeAndRoundTripExactly) {
  // Over 32 MiB of filtered rows (3000 x 2800 RGBA), the rows stream through zlib instead of
  // being held whole: the file must still decode to exactly the pixels, across many IDAT
  // chunks.
  const uint32_t width = 3000, height = 2800;
  platform::Bitmap image(width, height, true);
  for (uint32_t y = 0; y < height; ++y) {
    uint32_t* row = image.row(y);
    for (uint32_t x = 0; x < width; ++x) {
      const uint32_t a = (x + y) % 7 == 0 ? 255 : 128 + (x * 3 + y) % 128;
      const uint32_t v = std::min(a, (x * 7 + y * 3 + (x * y) % 11) & 0xFF);
      row[x] = a << 24 | v << 16 | (v / 2) << 8 | (a - v);
    }
  }
  const auto bytes = encodePng(image.view());
  const DecodedPng png = decodePngRaw(bytes);
  ASSERT_EQ(png.ihdr.width, width);
  ASSERT_EQ(png.ihdr.height, height);
  size_t mismatches = 0;
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      const uint32_t p = image.row(y)[x], a = p >> 24;
      const uint8_t* got = png.raw.data() + (size_t{y} * width + x) * 4;
      const uint8_t want[4] = {platform::unpremultiply((p >> 16) & 0xFF, a),
                               platform::unpremultiply((p >> 8) & 0xFF, a),
                               platform::unpremultiply(p & 0xFF, a), static_cast<uint8_t>(a)};
      if (std::memcmp(got, want, 4) != 0) ++mismatches;
    }
  }
  EXPECT_EQ(mismatches, 0u);
}

// A source PNG is written back in its own format: 16-bit samples and palettes are kept.
TEST(PngImageEncoder, KeepsSixteenBitSamplesAndPalettes) {
  PngImage deep;
  deep.width = 17;
  deep.height = 5;
  deep.colorType = PngColorType::Rgb;
  deep.bitDepth = 16;
  for (size_t i = 0; i < 17 * 5 * 6; ++i) deep.pixels.push_back(static_cast<uint8_t>(i * 37 + 11));
  const DecodedPng sixteen = decodePngRaw(encodePng(deep));
  EXPECT_EQ(sixteen.ihdr.bit_depth, 16);
  EXPECT_EQ(sixteen.ihdr.color_type, 2);
  EXPECT_EQ(sixteen.raw, deep.pixels);

  PngImage indexed;
  indexed.width = 5;
  indexed.height = 3;
  indexed.colorType = PngColorType::Palette;
  indexed.bitDepth = 4;
  indexed.rowBytes = 4;  // 3 packed bytes and one of padding
  indexed.pixels = {0x01, 0x20, 0x10, 0xAA, 0x22, 0x21, 0x00, 0xAA, 0x00, 0x12, 0x20};
  indexed.palette = {255, 0, 0, 0, 255, 0, 0, 0, 255};
  indexed.trns = {0, 128};
  const DecodedPng png = decodePngRaw(encodePng(indexed));
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
  EXPECT_EQ(trns.type3_alpha[1], 128);
}

}  // namespace
}  // namespace velmo::testing
