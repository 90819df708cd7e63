#include "bench/bench_support.h"

#include <spng.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <numbers>
// jpeglib.h needs size_t and FILE declared first.
#include <cstdio>

#include <jpeglib.h>

namespace velmo::bench {
namespace {

struct FileClose {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileClose>;

File openFile(const std::string& path, const char* mode) {
  File file(std::fopen(path.c_str(), mode));
  if (!file) die("cannot open " + path);
  return file;
}

struct SpngFree {
  void operator()(spng_ctx* ctx) const { spng_ctx_free(ctx); }
};

// libjpeg's default error handler prints the message and exits, which is what a bench on its
// own inputs wants; the objects below only make sure the happy path releases everything.
struct CompressFree {
  void operator()(jpeg_compress_struct* cinfo) const {
    jpeg_destroy_compress(cinfo);
    delete cinfo;
  }
};
struct DecompressFree {
  void operator()(jpeg_decompress_struct* dinfo) const {
    jpeg_destroy_decompress(dinfo);
    delete dinfo;
  }
};
struct MallocFree {
  void operator()(unsigned char* p) const { std::free(p); }
};

}  // namespace

void die(const std::string& what) {
  std::cerr << "bench: " << what << std::endl;
  std::exit(2);
}

Pixels readPpm(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) die("cannot open " + path);
  std::string magic;
  uint64_t width = 0, height = 0, maxval = 0;
  in >> magic >> width >> height >> maxval;
  in.get();  // the single whitespace byte before the samples
  if (!in || magic != "P6" || maxval != 255 || width == 0 || height == 0 || width > 100000 ||
      height > 100000) {
    die(path + ": not an 8-bit binary PPM");
  }
  Pixels image{static_cast<uint32_t>(width), static_cast<uint32_t>(height), 3, {}};
  image.data.resize(image.rowBytes() * image.height);
  in.read(reinterpret_cast<char*>(image.data.data()),
          static_cast<std::streamsize>(image.data.size()));
  if (!in) die(path + ": truncated PPM");
  return image;
}

void writePpm(const std::string& path, const Pixels& image) {
  if (image.channels != 3) die("PPM holds RGB only");
  std::ofstream out(path, std::ios::binary);
  out << "P6\n" << image.width << " " << image.height << "\n255\n";
  out.write(reinterpret_cast<const char*>(image.data.data()),
            static_cast<std::streamsize>(image.data.size()));
  if (!out) die("cannot write " + path);
}

Pixels readPng(const std::string& path) {
  File file = openFile(path, "rb");
  std::unique_ptr<spng_ctx, SpngFree> ctx(spng_ctx_new(0));
  if (!ctx || spng_set_png_file(ctx.get(), file.get()) != 0) die("spng: " + path);
  spng_set_image_limits(ctx.get(), 100000, 100000);
  spng_ihdr ihdr{};
  if (spng_get_ihdr(ctx.get(), &ihdr) != 0) die(path + ": not a PNG");
  const bool alpha = ihdr.color_type == SPNG_COLOR_TYPE_TRUECOLOR_ALPHA ||
                     ihdr.color_type == SPNG_COLOR_TYPE_GRAYSCALE_ALPHA;
  Pixels image{ihdr.width, ihdr.height, alpha ? 4u : 3u, {}};
  image.data.resize(image.rowBytes() * image.height);
  const int format = alpha ? SPNG_FMT_RGBA8 : SPNG_FMT_RGB8;
  if (spng_decode_image(ctx.get(), image.data.data(), image.data.size(), format, 0) != 0) {
    die(path + ": PNG decode failed");
  }
  return image;
}

platform::Bitmap toBitmap(const Pixels& image) {
  const bool alpha = image.channels == 4;
  platform::Bitmap bitmap(image.width, image.height, alpha);
  for (uint32_t y = 0; y < image.height; ++y) {
    const uint8_t* in = image.row(y);
    uint32_t* out = bitmap.row(y);
    for (uint32_t x = 0; x < image.width; ++x, in += image.channels) {
      out[x] = platform::premultiply(in[0], in[1], in[2], alpha ? in[3] : 255);
    }
  }
  return bitmap;
}

std::vector<uint8_t> libjpegCompress(const Pixels& image, int quality, bool optimize) {
  if (image.channels != 3) die("libjpegCompress takes RGB");
  std::unique_ptr<jpeg_compress_struct, CompressFree> cinfo(new jpeg_compress_struct{});
  jpeg_error_mgr err{};
  cinfo->err = jpeg_std_error(&err);
  jpeg_create_compress(cinfo.get());

  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(cinfo.get(), &buffer, &size);
  cinfo->image_width = image.width;
  cinfo->image_height = image.height;
  cinfo->input_components = 3;
  cinfo->in_color_space = JCS_RGB;
  // cjpeg's own sequence: defaults for the colour space, then the quality with baseline-only
  // tables, then its switches.
  jpeg_set_defaults(cinfo.get());
  jpeg_set_quality(cinfo.get(), quality, TRUE);
  cinfo->optimize_coding = optimize ? TRUE : FALSE;
  jpeg_start_compress(cinfo.get(), TRUE);
  while (cinfo->next_scanline < cinfo->image_height) {
    JSAMPROW row = const_cast<JSAMPROW>(image.row(cinfo->next_scanline));
    jpeg_write_scanlines(cinfo.get(), &row, 1);
  }
  jpeg_finish_compress(cinfo.get());
  std::unique_ptr<unsigned char, MallocFree> owned(buffer);
  return std::vector<uint8_t>(buffer, buffer + size);
}

Pixels libjpegDecodeScaled(const std::string& path, unsigned scaleNum) {
  File file = openFile(path, "rb");
  std::unique_ptr<jpeg_decompress_struct, DecompressFree> dinfo(new jpeg_decompress_struct{});
  jpeg_error_mgr err{};
  dinfo->err = jpeg_std_error(&err);
  jpeg_create_decompress(dinfo.get());
  jpeg_stdio_src(dinfo.get(), file.get());
  jpeg_read_header(dinfo.get(), TRUE);
  dinfo->scale_num = scaleNum;
  dinfo->scale_denom = 8;
  dinfo->out_color_space = JCS_RGB;
  jpeg_start_decompress(dinfo.get());
  Pixels image{dinfo->output_width, dinfo->output_height, 3, {}};
  image.data.resize(image.rowBytes() * image.height);
  while (dinfo->output_scanline < dinfo->output_height) {
    JSAMPROW row = image.row(dinfo->output_scanline);
    jpeg_read_scanlines(dinfo.get(), &row, 1);
  }
  jpeg_finish_decompress(dinfo.get());
  return image;
}

unsigned dctScaleFor(uint32_t width, uint32_t height, uint32_t limit) {
  const uint64_t longer = std::max(width, height);
  for (unsigned n = 1; n < 8; ++n) {
    // libjpeg rounds the scaled size up.
    if ((longer * n + 7) / 8 >= limit) return n;
  }
  return 8;
}

std::vector<std::vector<FractionPoint>> fullJobPens() {
  std::vector<std::vector<FractionPoint>> pens(5);
  for (int i = 0; i < 5; ++i) {
    for (int j = 0; j < 50; ++j) {
      const double t = j / 49.0;
      pens[i].push_back(
          {0.15 + 0.7 * t,
           0.2 + 0.15 * i + 0.04 * std::sin(2 * std::numbers::pi * (2 * t + 0.3 * i))});
    }
  }
  return pens;
}

std::vector<FractionPoint> fullJobBlurPath() {
  std::vector<FractionPoint> path;
  for (int k = 0; k < 20; ++k) {
    const double t = k / 19.0;
    path.push_back({0.3 + 0.4 * t, 0.5 + 0.05 * std::cos(2 * std::numbers::pi * t)});
  }
  return path;
}

}  // namespace velmo::bench
