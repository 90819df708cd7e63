#include "tests/support/image_files.h"

#include <jpeglib.h>
#include <spng.h>

#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <limits>
#include <memory>
#include <stdexcept>

namespace velmo::testing {
namespace {

struct SpngDeleter {
  void operator()(spng_ctx* c) const { spng_ctx_free(c); }
};
using Spng = std::unique_ptr<spng_ctx, SpngDeleter>;

RgbaImage readPng(const std::vector<uint8_t>& bytes) {
  Spng ctx(spng_ctx_new(0));
  spng_set_png_buffer(ctx.get(), bytes.data(), bytes.size());
  spng_ihdr ihdr;
  if (spng_get_ihdr(ctx.get(), &ihdr)) throw std::runtime_error("bad PNG header");
  RgbaImage image(ihdr.width, ihdr.height);
  if (spng_decode_image(ctx.get(), image.rgba.data(), image.rgba.size(), SPNG_FMT_RGBA8, 0)) {
    throw std::runtime_error("bad PNG data");
  }
  return image;
}

struct JpegError {
  jpeg_error_mgr mgr;
  jmp_buf jump;
};

void jpegErrorExit(j_common_ptr cinfo) {
  std::longjmp(reinterpret_cast<JpegError*>(cinfo->err)->jump, 1);
}

// Holds no C++ objects across setjmp; returns false on a libjpeg error.
bool decodeJpeg(const std::vector<uint8_t>& bytes, RgbaImage* out) {
  jpeg_decompress_struct cinfo;
  JpegError error;
  cinfo.err = jpeg_std_error(&error.mgr);
  error.mgr.error_exit = jpegErrorExit;
  if (setjmp(error.jump)) {
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, bytes.data(), bytes.size());
  jpeg_read_header(&cinfo, TRUE);
  cinfo.out_color_space = JCS_EXT_RGBA;
  jpeg_start_decompress(&cinfo);
  out->width = cinfo.output_width;
  out->height = cinfo.output_height;
  out->rgba.resize(size_t{out->width} * out->height * 4);
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW row = out->rgba.data() + size_t{cinfo.output_scanline} * out->width * 4;
    jpeg_read_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  return true;
}

bool encodeJpeg(const RgbaImage& image, int quality, unsigned char** buffer, unsigned long* size) {
  jpeg_compress_struct cinfo;
  JpegError error;
  cinfo.err = jpeg_std_error(&error.mgr);
  error.mgr.error_exit = jpegErrorExit;
  if (setjmp(error.jump)) {
    jpeg_destroy_compress(&cinfo);
    return false;
  }
  jpeg_create_compress(&cinfo);
  jpeg_mem_dest(&cinfo, buffer, size);
  cinfo.image_width = image.width;
  cinfo.image_height = image.height;
  cinfo.input_components = 4;
  cinfo.in_color_space = JCS_EXT_RGBA;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, quality, TRUE);
  jpeg_start_compress(&cinfo, TRUE);
  while (cinfo.next_scanline < cinfo.image_height) {
    JSAMPROW row = const_cast<uint8_t*>(image.at(0, cinfo.next_scanline));
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  return true;
}

void writeData(const std::string& path, const void* data, size_t size) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) throw std::runtime_error("cannot create " + path);
  bool ok = std::fwrite(data, 1, size, f) == size;
  ok = std::fclose(f) == 0 && ok;
  if (!ok) throw std::runtime_error("cannot write " + path);
}

}  // namespace

std::vector<uint8_t> readBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + path);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  writeData(path, bytes.data(), bytes.size());
}

RgbaImage RgbaImage::generate(uint32_t w, uint32_t h,
                              const std::function<uint32_t(uint32_t, uint32_t)>& color) {
  RgbaImage image(w, h);
  for (uint32_t y = 0; y < h; ++y) {
    for (uint32_t x = 0; x < w; ++x) {
      uint32_t c = color(x, y);
      uint8_t* p = image.at(x, y);
      p[0] = (c >> 16) & 0xFF;
      p[1] = (c >> 8) & 0xFF;
      p[2] = c & 0xFF;
      p[3] = c >> 24;
    }
  }
  return image;
}

std::string sniffFormat(const std::string& path) {
  std::vector<uint8_t> bytes = readBytes(path);
  if (bytes.size() >= 8 && bytes[0] == 0x89 && bytes[1] == 'P' && bytes[2] == 'N') return "png";
  if (bytes.size() >= 3 && bytes[0] == 0xFF && bytes[1] == 0xD8 && bytes[2] == 0xFF) return "jpeg";
  return "";
}

RgbaImage decodeImage(const std::vector<uint8_t>& bytes) {
  if (bytes.size() >= 8 && bytes[0] == 0x89 && bytes[1] == 'P') return readPng(bytes);
  RgbaImage image;
  if (!decodeJpeg(bytes, &image)) throw std::runtime_error("not a PNG or JPEG image");
  return image;
}

RgbaImage readImageFile(const std::string& path) {
  return decodeImage(readBytes(path));
}

void writePngFile(const std::string& path, const RgbaImage& image, bool alpha) {
  Spng ctx(spng_ctx_new(SPNG_CTX_ENCODER));
  spng_set_option(ctx.get(), SPNG_ENCODE_TO_BUFFER, 1);
  spng_ihdr ihdr{};
  ihdr.width = image.width;
  ihdr.height = image.height;
  ihdr.bit_depth = 8;
  ihdr.color_type = alpha ? SPNG_COLOR_TYPE_TRUECOLOR_ALPHA : SPNG_COLOR_TYPE_TRUECOLOR;
  spng_set_ihdr(ctx.get(), &ihdr);
  std::vector<uint8_t> pixels;
  if (alpha) {
    pixels = image.rgba;
  } else {
    pixels.reserve(size_t{image.width} * image.height * 3);
    for (size_t i = 0; i < image.rgba.size(); i += 4) {
      pixels.insert(pixels.end(), image.rgba.begin() + i, image.rgba.begin() + i + 3);
    }
  }
  if (spng_encode_image(ctx.get(), pixels.data(), pixels.size(), SPNG_FMT_PNG,
                        SPNG_ENCODE_FINALIZE)) {
    throw std::runtime_error("cannot encode " + path);
  }
  size_t size = 0;
  int error = 0;
  void* png = spng_get_png_buffer(ctx.get(), &size, &error);
  if (!png) throw std::runtime_error("cannot encode " + path);
  std::unique_ptr<void, decltype(&std::free)> owned(png, &std::free);
  writeData(path, png, size);
}

void writeJpegFile(const std::string& path, const RgbaImage& image, int quality) {
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  if (!encodeJpeg(image, quality, &buffer, &size)) {
    std::free(buffer);
    throw std::runtime_error("cannot encode " + path);
  }
  std::unique_ptr<unsigned char, decltype(&std::free)> owned(buffer, &std::free);
  writeData(path, buffer, size);
}

RgbaImage boxAverage(const RgbaImage& image, uint32_t x0, uint32_t y0, uint32_t width,
                     uint32_t height, uint32_t box) {
  return RgbaImage::generate(width / box, height / box, [&](uint32_t x, uint32_t y) {
    uint32_t color = 0;
    for (int c = 0; c < 4; ++c) {
      uint32_t sum = 0;
      for (uint32_t d = 0; d < box * box; ++d) {
        sum += image.at(x0 + x * box + d % box, y0 + y * box + d / box)[c];
      }
      color |= (sum + box * box / 2) / (box * box) << (c == 3 ? 24 : 16 - 8 * c);
    }
    return color;
  });
}

double psnr(const RgbaImage& a, const RgbaImage& b, bool withAlpha) {
  if (a.width != b.width || a.height != b.height) return 0;
  double sum = 0;
  size_t count = 0;
  for (size_t i = 0; i < a.rgba.size(); ++i) {
    if (!withAlpha && i % 4 == 3) continue;
    double d = double(a.rgba[i]) - double(b.rgba[i]);
    sum += d * d;
    ++count;
  }
  if (sum == 0) return std::numeric_limits<double>::infinity();
  return 10 * std::log10(255.0 * 255.0 / (sum / count));
}

int maxDifference(const RgbaImage& a, const RgbaImage& b, bool withAlpha) {
  if (a.width != b.width || a.height != b.height) return 256;
  int worst = 0;
  for (size_t i = 0; i < a.rgba.size(); ++i) {
    if (!withAlpha && i % 4 == 3) continue;
    worst = std::max(worst, std::abs(int(a.rgba[i]) - int(b.rgba[i])));
  }
  return worst;
}

}  // namespace velmo::testing
