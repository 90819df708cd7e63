// Makes the large bench inputs, row by row so that none of them is ever whole in memory:
//
//   bench_make_images gradient OUT.png WIDTH HEIGHT       smooth RGB gradient (big-source decodes)
//   bench_make_images blank OUT.png WIDTH HEIGHT          1-bit grey, all black (a header to read)
//   bench_make_images long OUT.png OUT.jpg WIDTH HEIGHT   a "long screenshot", as PNG and JPEG
//   bench_make_images longrgba OUT.png WIDTH HEIGHT       the same with alpha, as RGBA PNG
//   bench_make_images canvas IN.jpg OUT.ppm WIDTH HEIGHT  a photo fitted to WIDTH x HEIGHT
//   bench_make_images rgba IN.jpg OUT.png SIDE            a SIDE x SIDE photo crop with a soft
//                                                         transparent vignette
//   bench_make_images tilefloor IN OUT.png X Y W H SAMPLE the floor of a "tile": a plain row
//                                                         loop (libspng or libjpeg) decoding
//                                                         down to the window's last row, the
//                                                         window box-averaged by SAMPLE, and
//                                                         one PNG encode (zlib 4, adaptive)
#include <spng.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <jpeglib.h>

#include "bench/bench_support.h"

namespace velmo::bench {
namespace {

struct FileClose {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileClose>;

File create(const std::string& path) {
  File file(std::fopen(path.c_str(), "wb"));
  if (!file) die("cannot create " + path);
  return file;
}

struct SpngFree {
  void operator()(spng_ctx* ctx) const { spng_ctx_free(ctx); }
};

// A PNG written one row at a time with libspng's progressive encoder.
class PngWriter {
 public:
  // |level| is zlib's; |filter| one of SPNG_FILTER_CHOICE_* or -1 for libspng's default
  // (adaptive over all five filters).
  PngWriter(const std::string& path, uint32_t width, uint32_t height, uint8_t colorType,
            uint8_t bitDepth, int level, int filter)
      : file_(create(path)), ctx_(spng_ctx_new(SPNG_CTX_ENCODER)), path_(path) {
    if (!ctx_ || spng_set_png_file(ctx_.get(), file_.get()) != 0) die("spng: " + path);
    spng_ihdr ihdr{};
    ihdr.width = width;
    ihdr.height = height;
    ihdr.color_type = colorType;
    ihdr.bit_depth = bitDepth;
    if (spng_set_ihdr(ctx_.get(), &ihdr) != 0) die("spng ihdr: " + path);
    spng_set_option(ctx_.get(), SPNG_IMG_COMPRESSION_LEVEL, level);
    if (filter >= 0) spng_set_option(ctx_.get(), SPNG_FILTER_CHOICE, filter);
    if (int e = spng_encode_image(ctx_.get(), nullptr, 0, SPNG_FMT_PNG,
                                  SPNG_ENCODE_PROGRESSIVE | SPNG_ENCODE_FINALIZE);
        e != 0) {
      die("spng start: " + std::string(spng_strerror(e)));
    }
  }

  void row(const uint8_t* data, size_t length) {
    int e = spng_encode_row(ctx_.get(), data, length);
    if (e != 0 && e != SPNG_EOI) die("spng row: " + std::string(spng_strerror(e)));
  }

  // Flushes the file; the destructor alone would hide a write error.
  void finish() {
    ctx_.reset();
    if (std::fflush(file_.get()) != 0 || std::ferror(file_.get())) die("write " + path_);
    file_.reset();
  }

 private:
  File file_;
  std::unique_ptr<spng_ctx, SpngFree> ctx_;
  std::string path_;
};

struct CompressFree {
  void operator()(jpeg_compress_struct* cinfo) const {
    jpeg_destroy_compress(cinfo);
    delete cinfo;
  }
};

// A baseline JPEG written one RGB row at a time (libjpeg's default handler exits on error).
class JpegWriter {
 public:
  JpegWriter(const std::string& path, uint32_t width, uint32_t height, int quality)
      : file_(create(path)), cinfo_(new jpeg_compress_struct{}) {
    cinfo_->err = jpeg_std_error(&err_);
    jpeg_create_compress(cinfo_.get());
    jpeg_stdio_dest(cinfo_.get(), file_.get());
    cinfo_->image_width = width;
    cinfo_->image_height = height;
    cinfo_->input_components = 3;
    cinfo_->in_color_space = JCS_RGB;
    jpeg_set_defaults(cinfo_.get());
    jpeg_set_quality(cinfo_.get(), quality, TRUE);
    cinfo_->optimize_coding = TRUE;
    jpeg_start_compress(cinfo_.get(), TRUE);
  }

  void row(const uint8_t* data) {
    JSAMPROW row = const_cast<JSAMPROW>(data);
    jpeg_write_scanlines(cinfo_.get(), &row, 1);
  }

  void finish() {
    jpeg_finish_compress(cinfo_.get());
    cinfo_.reset();
    if (std::fflush(file_.get()) != 0 || std::ferror(file_.get())) die("write jpeg");
    file_.reset();
  }

 private:
  File file_;
  jpeg_error_mgr err_{};
  std::unique_ptr<jpeg_compress_struct, CompressFree> cinfo_;
};

uint32_t parseSide(const char* text) {
  char* end = nullptr;
  const unsigned long value = std::strtoul(text, &end, 10);
  if (*end != '\0' || value == 0 || value > 1'000'000) die(std::string("bad size ") + text);
  return static_cast<uint32_t>(value);
}

// A source image of gentle colour changes in both directions: cheap to deflate, and every
// row differs, so a decoder cannot skip work.
void makeGradient(const std::string& out, uint32_t width, uint32_t height) {
  // zlib level 1 with the Sub filter writes 15000 x 15000 in seconds; the decoder's cost does
  // not depend on how hard the encoder tried.
  PngWriter png(out, width, height, SPNG_COLOR_TYPE_TRUECOLOR, 8, 1, SPNG_FILTER_CHOICE_SUB);
  std::vector<uint8_t> row(size_t{width} * 3);
  for (uint32_t y = 0; y < height; ++y) {
    const uint32_t g = static_cast<uint32_t>(uint64_t{y} * 255 / height);
    for (uint32_t x = 0; x < width; ++x) {
      row[3 * x] = static_cast<uint8_t>(uint64_t{x} * 255 / width);
      row[3 * x + 1] = static_cast<uint8_t>(g);
      row[3 * x + 2] = static_cast<uint8_t>(uint64_t{x + y} * 255 / (uint64_t{width} + height));
    }
    png.row(row.data(), row.size());
  }
  png.finish();
}

// A real, decodable PNG whose header declares a huge size: 1-bit grey, all zeros.
void makeBlank(const std::string& out, uint32_t width, uint32_t height) {
  PngWriter png(out, width, height, SPNG_COLOR_TYPE_GRAYSCALE, 1, 9, SPNG_FILTER_CHOICE_NONE);
  std::vector<uint8_t> row((size_t{width} + 7) / 8, 0);
  for (uint32_t y = 0; y < height; ++y) png.row(row.data(), row.size());
  png.finish();
}

// A small deterministic hash, for the "text" of the long screenshot.
uint32_t hash(uint32_t a, uint32_t b) {
  uint32_t h = a * 0x9E3779B1u ^ (b + 0x7F4A7C15u) * 0x85EBCA77u;
  h ^= h >> 15;
  h *= 0x2C1B3C6Du;
  h ^= h >> 12;
  return h;
}

// One row of a chat-app style long screenshot: coloured message bubbles on a light
// background, lines of dark "text" glyphs in them, separator lines and a photo-like gradient
// band every few screens.
void longRow(uint32_t y, uint32_t width, uint8_t* rgb) {
  const uint32_t block = y / 240;  // one message bubble per 240 rows
  const uint32_t inBlock = y % 240;
  const bool photo = block % 9 == 4;
  const bool left = hash(block, 1) & 1;
  const uint32_t bubbleStart = left ? 40 : width / 3;
  const uint32_t bubbleEnd = left ? width * 2 / 3 : width - 40;
  const uint8_t tint[3] = {static_cast<uint8_t>(left ? 255 : 200),
                           static_cast<uint8_t>(left ? 255 : 240), static_cast<uint8_t>(200)};
  for (uint32_t x = 0; x < width; ++x) {
    uint8_t* p = rgb + 3 * x;
    if (photo) {
      // A smooth picture with some texture, as a shared photo in the conversation.
      const uint32_t n = hash(x / 3, y / 3) & 15;
      p[0] = static_cast<uint8_t>(std::min<uint32_t>(255, 60 + (x * 150) / width + n));
      p[1] = static_cast<uint8_t>(std::min<uint32_t>(255, 90 + (inBlock * 120) / 240 + n));
      p[2] = static_cast<uint8_t>(std::min<uint32_t>(255, 160 - (x * 100) / width + n));
      continue;
    }
    const bool inBubble = inBlock >= 20 && inBlock < 220 && x >= bubbleStart && x < bubbleEnd;
    if (!inBubble) {
      const uint8_t grey = inBlock == 0 ? 220 : 243;
      p[0] = p[1] = p[2] = grey;
      continue;
    }
    p[0] = tint[0];
    p[1] = tint[1];
    p[2] = tint[2];
    // Text lines of 28 rows: glyph cells 14 px wide, 18 px tall, some empty as spaces.
    const uint32_t line = (inBlock - 20) / 28;
    const uint32_t lineRow = (inBlock - 20) % 28;
    if (lineRow >= 5 && lineRow < 23 && x >= bubbleStart + 24 && x + 24 < bubbleEnd) {
      const uint32_t cell = (x - bubbleStart - 24) / 14;
      const uint32_t cellX = (x - bubbleStart - 24) % 14;
      const uint32_t glyph = hash(block * 64 + line, cell);
      if ((glyph & 7) != 0 && cellX < 11) {
        // A few strokes per glyph: bits of the hash pick the rows and columns that are ink.
        const bool ink = ((glyph >> (8 + (lineRow - 5) % 9)) & 1) ||
                         ((glyph >> (17 + cellX % 11)) & 1 && (lineRow % 4) == 1);
        if (ink) p[0] = p[1] = p[2] = 30;
      }
    }
  }
}

void makeLong(const std::string& outPng, const std::string& outJpeg, uint32_t width,
              uint32_t height) {
  // libspng's default compression and adaptive filters, as a screenshot PNG written by an
  // ordinary encoder would have.
  PngWriter png(outPng, width, height, SPNG_COLOR_TYPE_TRUECOLOR, 8, 6, -1);
  JpegWriter jpeg(outJpeg, width, height, 90);
  std::vector<uint8_t> row(size_t{width} * 3);
  for (uint32_t y = 0; y < height; ++y) {
    longRow(y, width, row.data());
    png.row(row.data(), row.size());
    jpeg.row(row.data());
  }
  png.finish();
  jpeg.finish();
}

// The long screenshot with alpha, as a screenshot of a translucent window or a sticker sheet
// would have: the margins transparent, the photo bands half see-through, the rest opaque.
void makeLongRgba(const std::string& outPng, uint32_t width, uint32_t height) {
  PngWriter png(outPng, width, height, SPNG_COLOR_TYPE_TRUECOLOR_ALPHA, 8, 6, -1);
  std::vector<uint8_t> rgb(size_t{width} * 3), rgba(size_t{width} * 4);
  for (uint32_t y = 0; y < height; ++y) {
    longRow(y, width, rgb.data());
    const bool photo = (y / 240) % 9 == 4;
    for (uint32_t x = 0; x < width; ++x) {
      std::memcpy(&rgba[size_t{x} * 4], &rgb[size_t{x} * 3], 3);
      rgba[size_t{x} * 4 + 3] = x < 16 || x + 16 >= width ? 0 : photo ? 128 : 255;
    }
    png.row(rgba.data(), rgba.size());
  }
  png.finish();
}

// The photo at |path| scaled (by area averaging, when it must shrink) to cover
// |width| x |height|, then cut to that size around its centre.
Pixels fitPhoto(const std::string& path, uint32_t width, uint32_t height) {
  Pixels full = libjpegDecodeScaled(path, 8);
  const double scale =
      std::max(static_cast<double>(width) / full.width, static_cast<double>(height) / full.height);
  Pixels scaled;
  if (scale >= 1.0) {
    if (scale > 1.0) die("the photo is smaller than the canvas");
    scaled = std::move(full);
  } else {
    const auto sw = static_cast<uint32_t>(std::ceil(full.width * scale));
    const auto sh = static_cast<uint32_t>(std::ceil(full.height * scale));
    scaled = Pixels{sw, sh, 3, std::vector<uint8_t>(size_t{sw} * sh * 3)};
    for (uint32_t y = 0; y < sh; ++y) {
      const auto y0 = static_cast<uint32_t>(y / scale);
      const auto y1 =
          std::min(full.height, std::max(y0 + 1, static_cast<uint32_t>((y + 1) / scale)));
      for (uint32_t x = 0; x < sw; ++x) {
        const auto x0 = static_cast<uint32_t>(x / scale);
        const auto x1 =
            std::min(full.width, std::max(x0 + 1, static_cast<uint32_t>((x + 1) / scale)));
        uint64_t sum[3] = {0, 0, 0};
        for (uint32_t yy = y0; yy < y1; ++yy) {
          const uint8_t* p = full.row(yy) + 3 * x0;
          for (uint32_t xx = x0; xx < x1; ++xx, p += 3) {
            sum[0] += p[0];
            sum[1] += p[1];
            sum[2] += p[2];
          }
        }
        const uint64_t n = uint64_t{y1 - y0} * (x1 - x0);
        uint8_t* out = scaled.row(y) + 3 * x;
        for (int c = 0; c < 3; ++c) out[c] = static_cast<uint8_t>((sum[c] + n / 2) / n);
      }
    }
  }
  Pixels result{width, height, 3, std::vector<uint8_t>(size_t{width} * height * 3)};
  const uint32_t left = (scaled.width - width) / 2;
  const uint32_t top = (scaled.height - height) / 2;
  for (uint32_t y = 0; y < height; ++y) {
    std::memcpy(result.row(y), scaled.row(top + y) + 3 * left, result.rowBytes());
  }
  return result;
}

void makeRgba(const std::string& photo, const std::string& out, uint32_t side) {
  const Pixels rgb = fitPhoto(photo, side, side);
  PngWriter png(out, side, side, SPNG_COLOR_TYPE_TRUECOLOR_ALPHA, 8, 1, SPNG_FILTER_CHOICE_SUB);
  std::vector<uint8_t> row(size_t{side} * 4);
  const double centre = (side - 1) / 2.0;
  for (uint32_t y = 0; y < side; ++y) {
    const uint8_t* in = rgb.row(y);
    for (uint32_t x = 0; x < side; ++x) {
      // Opaque in the middle, fading to clear at the corners: most pixels keep alpha 255,
      // the rim exercises the unpremultiplying path.
      const double d = std::hypot(x - centre, y - centre) / (centre * std::sqrt(2.0));
      const double a = std::clamp((1.0 - d) / 0.4, 0.0, 1.0);
      std::memcpy(&row[4 * x], in + 3 * x, 3);
      row[4 * x + 3] = static_cast<uint8_t>(std::lround(a * 255));
    }
    png.row(row.data(), row.size());
  }
  png.finish();
}

// Calls |onRow(y, rgb)| for the rows 0 .. |last| of an 8-bit RGB PNG or a JPEG, in order.
template <typename OnRow>
void decodeRows(const std::string& path, uint32_t last, OnRow onRow) {
  File file(std::fopen(path.c_str(), "rb"));
  if (!file) die("cannot open " + path);
  unsigned char magic[2] = {};
  if (std::fread(magic, 1, 2, file.get()) != 2) die(path + ": too short");
  std::rewind(file.get());
  if (magic[0] == 0xFF && magic[1] == 0xD8) {
    jpeg_decompress_struct dinfo{};
    jpeg_error_mgr err{};
    dinfo.err = jpeg_std_error(&err);
    jpeg_create_decompress(&dinfo);
    jpeg_stdio_src(&dinfo, file.get());
    jpeg_read_header(&dinfo, TRUE);
    dinfo.out_color_space = JCS_RGB;
    jpeg_start_decompress(&dinfo);
    std::vector<uint8_t> row(size_t{dinfo.output_width} * 3);
    while (dinfo.output_scanline <= last && dinfo.output_scanline < dinfo.output_height) {
      const uint32_t y = dinfo.output_scanline;
      JSAMPROW pointer = row.data();
      jpeg_read_scanlines(&dinfo, &pointer, 1);
      onRow(y, row.data());
    }
    jpeg_abort_decompress(&dinfo);
    jpeg_destroy_decompress(&dinfo);
    return;
  }
  std::unique_ptr<spng_ctx, SpngFree> ctx(spng_ctx_new(0));
  if (!ctx || spng_set_png_file(ctx.get(), file.get()) != 0) die("spng: " + path);
  spng_set_image_limits(ctx.get(), 100000, 100000);
  spng_ihdr ihdr{};
  if (spng_get_ihdr(ctx.get(), &ihdr) != 0) die(path + ": not a PNG");
  if (spng_decode_image(ctx.get(), nullptr, 0, SPNG_FMT_RGB8, SPNG_DECODE_PROGRESSIVE) != 0)
    die(path + ": PNG decode failed");
  std::vector<uint8_t> row(size_t{ihdr.width} * 3);
  for (uint32_t y = 0; y <= last && y < ihdr.height; ++y) {
    const int e = spng_decode_row(ctx.get(), row.data(), row.size());
    if (e != 0 && e != SPNG_EOI) die(path + ": " + spng_strerror(e));
    onRow(y, row.data());
  }
}

void tileFloor(const std::string& in, const std::string& out, uint32_t x, uint32_t y, uint32_t w,
               uint32_t h, uint32_t sample) {
  const uint32_t outW = w / sample, outH = h / sample;
  std::vector<uint32_t> sums(size_t{outW} * 3);
  std::vector<uint8_t> line(size_t{outW} * 3);
  PngWriter png(out, outW, outH, SPNG_COLOR_TYPE_TRUECOLOR, 8, 4, -1);
  const uint32_t area = sample * sample;
  decodeRows(in, y + outH * sample - 1, [&](uint32_t row, const uint8_t* rgb) {
    if (row < y) return;
    for (uint32_t i = 0; i < outW * sample; ++i) {
      for (int c = 0; c < 3; ++c) sums[(i / sample) * 3 + c] += rgb[(x + i) * 3 + c];
    }
    if ((row - y) % sample != sample - 1) return;
    for (size_t i = 0; i < sums.size(); ++i) {
      line[i] = static_cast<uint8_t>((sums[i] + area / 2) / area);
      sums[i] = 0;
    }
    png.row(line.data(), line.size());
  });
  png.finish();
}

int usage() {
  std::cerr << "usage: bench_make_images gradient|blank OUT.png W H\n"
               "       bench_make_images long OUT.png OUT.jpg W H\n"
               "       bench_make_images longrgba OUT.png W H\n"
               "       bench_make_images canvas IN.jpg OUT.ppm W H\n"
               "       bench_make_images rgba IN.jpg OUT.png SIDE\n"
               "       bench_make_images tilefloor IN OUT.png X Y W H SAMPLE\n";
  return 64;
}

int run(int argc, char** argv) {
  if (argc < 2) return usage();
  const std::string what = argv[1];
  if ((what == "gradient" || what == "blank") && argc == 5) {
    const uint32_t w = parseSide(argv[3]), h = parseSide(argv[4]);
    what == "gradient" ? makeGradient(argv[2], w, h) : makeBlank(argv[2], w, h);
  } else if (what == "long" && argc == 6) {
    makeLong(argv[2], argv[3], parseSide(argv[4]), parseSide(argv[5]));
  } else if (what == "longrgba" && argc == 5) {
    makeLongRgba(argv[2], parseSide(argv[3]), parseSide(argv[4]));
  } else if (what == "canvas" && argc == 6) {
    writePpm(argv[3], fitPhoto(argv[2], parseSide(argv[4]), parseSide(argv[5])));
  } else if (what == "rgba" && argc == 5) {
    makeRgba(argv[2], argv[3], parseSide(argv[4]));
  } else if (what == "tilefloor" && argc == 9) {
    // The window may start at the image's edge.
    auto offset = [](const char* text) { return text == std::string("0") ? 0u : parseSide(text); };
    tileFloor(argv[2], argv[3], offset(argv[4]), offset(argv[5]), parseSide(argv[6]),
              parseSide(argv[7]), parseSide(argv[8]));
  } else {
    return usage();
  }
  return 0;
}

}  // namespace
}  // namespace velmo::bench

int main(int argc, char** argv) {
  return velmo::bench::run(argc, argv);
}
