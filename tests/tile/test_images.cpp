#include "tests/tile/test_images.h"

#include <spng.h>

#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <limits>
#include <stdexcept>

#include <jpeglib.h>

#include "platform/library_owners.h"

namespace velmo::testing {
namespace {

uint32_t channelsOf(uint8_t colorType) {
  switch (colorType) {
    case 2:
      return 3;
    case 4:
      return 2;
    case 6:
      return 4;
    default:
      return 1;
  }
}

std::vector<uint8_t> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

int appendTo(spng_ctx*, void* user, void* data, size_t length) {
  auto* out = static_cast<std::vector<uint8_t>*>(user);
  const auto* bytes = static_cast<const uint8_t*>(data);
  out->insert(out->end(), bytes, bytes + length);
  return 0;
}

uint32_t crc32(const uint8_t* data, size_t length) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < length; ++i) {
    crc ^= data[i];
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

void putBe32(std::vector<uint8_t>& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

void putChunk(std::vector<uint8_t>& out, const char* type, const std::vector<uint8_t>& data) {
  putBe32(out, static_cast<uint32_t>(data.size()));
  const size_t start = out.size();
  out.insert(out.end(), type, type + 4);
  out.insert(out.end(), data.begin(), data.end());
  putBe32(out, crc32(out.data() + start, out.size() - start));
}

// libjpeg plumbing: errors jump back into the small functions below, which hold no C++
// objects.
struct JpegTestErrors {
  jpeg_error_mgr manager;
  std::jmp_buf jump;
};

void jumpOnError(j_common_ptr cinfo) {
  std::longjmp(reinterpret_cast<JpegTestErrors*>(cinfo->err)->jump, 1);
}
void silent(j_common_ptr) {}

bool decodeHeader(jpeg_decompress_struct* cinfo, JpegTestErrors* errors, const uint8_t* data,
                  unsigned long size) {
  if (setjmp(errors->jump) != 0) return false;
  jpeg_create_decompress(cinfo);
  jpeg_mem_src(cinfo, data, size);
  jpeg_read_header(cinfo, TRUE);
  cinfo->out_color_space = cinfo->jpeg_color_space == JCS_GRAYSCALE ? JCS_GRAYSCALE : JCS_RGB;
  jpeg_start_decompress(cinfo);
  return true;
}

bool decodeRows(jpeg_decompress_struct* cinfo, JpegTestErrors* errors, uint8_t* out,
                size_t rowBytes) {
  if (setjmp(errors->jump) != 0) return false;
  while (cinfo->output_scanline < cinfo->output_height) {
    JSAMPROW row = out + cinfo->output_scanline * rowBytes;
    jpeg_read_scanlines(cinfo, &row, 1);
  }
  jpeg_finish_decompress(cinfo);
  return true;
}

bool encodeRgb(jpeg_compress_struct* cinfo, JpegTestErrors* errors, unsigned char** out,
               unsigned long* size, const uint8_t* pixels, uint32_t width, uint32_t height,
               int quality, const uint8_t* icc, unsigned int iccSize) {
  if (setjmp(errors->jump) != 0) return false;
  jpeg_create_compress(cinfo);
  jpeg_mem_dest(cinfo, out, size);
  cinfo->image_width = width;
  cinfo->image_height = height;
  cinfo->input_components = 3;
  cinfo->in_color_space = JCS_RGB;
  jpeg_set_defaults(cinfo);
  jpeg_set_quality(cinfo, quality, TRUE);
  jpeg_start_compress(cinfo, TRUE);
  if (iccSize > 0) jpeg_write_icc_profile(cinfo, icc, iccSize);
  while (cinfo->next_scanline < height) {
    JSAMPROW row = const_cast<uint8_t*>(pixels) + size_t{cinfo->next_scanline} * width * 3;
    jpeg_write_scanlines(cinfo, &row, 1);
  }
  jpeg_finish_compress(cinfo);
  return true;
}

}  // namespace

size_t packedRowBytes(const PngLayout& layout) {
  return (size_t{layout.width} * channelsOf(layout.colorType) * layout.bitDepth + 7) / 8;
}

void writePng(const std::string& path, const PngLayout& layout,
              const std::function<void(uint32_t y, uint8_t* out)>& row, int compressionLevel) {
  platform::SpngContext ctx(spng_ctx_new(SPNG_CTX_ENCODER));
  std::vector<uint8_t> bytes;
  spng_set_png_stream(ctx.get(), appendTo, &bytes);
  spng_set_option(ctx.get(), SPNG_IMG_COMPRESSION_LEVEL, compressionLevel);
  spng_ihdr ihdr{};
  ihdr.width = layout.width;
  ihdr.height = layout.height;
  ihdr.bit_depth = layout.bitDepth;
  ihdr.color_type = layout.colorType;
  ihdr.interlace_method = layout.interlaced ? 1 : 0;
  if (spng_set_ihdr(ctx.get(), &ihdr) != 0) throw std::runtime_error("ihdr");
  if (!layout.palette.empty()) {
    spng_plte plte{};
    plte.n_entries = static_cast<uint32_t>(layout.palette.size() / 3);
    for (uint32_t i = 0; i < plte.n_entries; ++i) {
      plte.entries[i] = {layout.palette[3 * i], layout.palette[3 * i + 1],
                         layout.palette[3 * i + 2], 255};
    }
    spng_set_plte(ctx.get(), &plte);
  }
  if (!layout.trns.empty()) {
    spng_trns trns{};
    if (layout.colorType == 3) {
      trns.n_type3_entries = static_cast<uint32_t>(layout.trns.size());
      std::copy(layout.trns.begin(), layout.trns.end(), trns.type3_alpha);
    } else if (layout.colorType == 0) {
      trns.gray = static_cast<uint16_t>((layout.trns[0] << 8) | layout.trns[1]);
    } else {
      trns.red = static_cast<uint16_t>((layout.trns[0] << 8) | layout.trns[1]);
      trns.green = static_cast<uint16_t>((layout.trns[2] << 8) | layout.trns[3]);
      trns.blue = static_cast<uint16_t>((layout.trns[4] << 8) | layout.trns[5]);
    }
    spng_set_trns(ctx.get(), &trns);
  }
  if (!layout.icc.empty()) {
    spng_iccp iccp{};
    std::snprintf(iccp.profile_name, sizeof iccp.profile_name, "test");
    iccp.profile_len = layout.icc.size();
    iccp.profile = reinterpret_cast<char*>(const_cast<uint8_t*>(layout.icc.data()));
    spng_set_iccp(ctx.get(), &iccp);
  }
  if (spng_encode_image(ctx.get(), nullptr, 0, SPNG_FMT_RAW,
                        SPNG_ENCODE_PROGRESSIVE | SPNG_ENCODE_FINALIZE) != 0) {
    throw std::runtime_error("encode");
  }
  std::vector<uint8_t> buffer(packedRowBytes(layout));
  int status = 0;
  for (uint32_t y = 0; y < layout.height; ++y) {
    row(y, buffer.data());
    status = spng_encode_row(ctx.get(), buffer.data(), buffer.size());
  }
  if (status != SPNG_EOI) throw std::runtime_error("encode rows");
  writeFile(path, bytes);
}

std::optional<ReadPng> readPng(const std::string& path, int format, bool applyTrns) {
  const std::vector<uint8_t> bytes = readFile(path);
  platform::SpngContext ctx(spng_ctx_new(0));
  spng_set_png_buffer(ctx.get(), bytes.data(), bytes.size());
  spng_ihdr ihdr{};
  if (spng_get_ihdr(ctx.get(), &ihdr) != 0) return std::nullopt;
  ReadPng png;
  png.width = ihdr.width;
  png.height = ihdr.height;
  png.colorType = ihdr.color_type;
  png.bitDepth = ihdr.bit_depth;
  png.interlace = ihdr.interlace_method;
  spng_plte plte{};
  if (spng_get_plte(ctx.get(), &plte) == 0) {
    for (uint32_t i = 0; i < plte.n_entries; ++i) {
      png.palette.insert(png.palette.end(),
                         {plte.entries[i].red, plte.entries[i].green, plte.entries[i].blue});
    }
  }
  spng_trns trns{};
  if (spng_get_trns(ctx.get(), &trns) == 0) {
    if (ihdr.color_type == 3) {
      png.trns.assign(trns.type3_alpha, trns.type3_alpha + trns.n_type3_entries);
    } else {
      for (uint16_t v : {trns.gray, trns.red, trns.green, trns.blue}) {
        png.trns.push_back(static_cast<uint8_t>(v >> 8));
        png.trns.push_back(static_cast<uint8_t>(v));
      }
    }
  }
  spng_iccp iccp{};
  if (spng_get_iccp(ctx.get(), &iccp) == 0) {
    png.icc.assign(iccp.profile, iccp.profile + iccp.profile_len);
  }
  size_t size = 0;
  if (spng_decoded_image_size(ctx.get(), format, &size) != 0) return std::nullopt;
  png.pixels.resize(size);
  png.rowBytes = size / ihdr.height;
  if (spng_decode_image(ctx.get(), png.pixels.data(), size, format,
                        applyTrns ? SPNG_DECODE_TRNS : 0) != 0) {
    return std::nullopt;
  }
  return png;
}

void writePngHeaderOnly(const std::string& path, uint32_t width, uint32_t height) {
  std::vector<uint8_t> bytes = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  std::vector<uint8_t> ihdr;
  putBe32(ihdr, width);
  putBe32(ihdr, height);
  ihdr.insert(ihdr.end(), {8, 2, 0, 0, 0});
  putChunk(bytes, "IHDR", ihdr);
  // A zlib stream header and a few bytes: the start of data that never comes.
  putChunk(bytes, "IDAT", {0x78, 0x9C, 0x00, 0x00});
  putChunk(bytes, "IEND", {});
  writeFile(path, bytes);
}

std::optional<ReadJpeg> readJpeg(const std::string& path) {
  const std::vector<uint8_t> bytes = readFile(path);
  jpeg_decompress_struct cinfo{};
  JpegTestErrors errors{};
  cinfo.err = jpeg_std_error(&errors.manager);
  errors.manager.error_exit = jumpOnError;
  errors.manager.output_message = silent;
  platform::JpegDecompressState state(&cinfo);
  if (!decodeHeader(&cinfo, &errors, bytes.data(), bytes.size())) return std::nullopt;
  ReadJpeg jpeg;
  jpeg.width = cinfo.output_width;
  jpeg.height = cinfo.output_height;
  jpeg.channels = cinfo.output_components;
  const size_t rowBytes = size_t{jpeg.width} * jpeg.channels;
  jpeg.pixels.resize(rowBytes * jpeg.height);
  if (!decodeRows(&cinfo, &errors, jpeg.pixels.data(), rowBytes)) return std::nullopt;
  return jpeg;
}

void writeJpeg(const std::string& path, uint32_t width, uint32_t height, int quality,
               const std::function<void(uint32_t y, uint8_t* rgb)>& row,
               const std::vector<uint8_t>& icc) {
  std::vector<uint8_t> pixels(size_t{width} * height * 3);
  for (uint32_t y = 0; y < height; ++y) row(y, pixels.data() + size_t{y} * width * 3);
  jpeg_compress_struct cinfo{};
  JpegTestErrors errors{};
  cinfo.err = jpeg_std_error(&errors.manager);
  errors.manager.error_exit = jumpOnError;
  errors.manager.output_message = silent;
  unsigned char* out = nullptr;
  unsigned long size = 0;
  bool ok;
  {
    platform::JpegCompressState state(&cinfo);
    ok = encodeRgb(&cinfo, &errors, &out, &size, pixels.data(), width, height, quality, icc.data(),
                   static_cast<unsigned int>(icc.size()));
  }
  platform::MallocBuffer owned(out);
  if (!ok) throw std::runtime_error("jpeg encode");
  writeFile(path, std::vector<uint8_t>(out, out + size));
}

double psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  if (a.size() != b.size() || a.empty()) return 0;
  double sum = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    const double d = static_cast<double>(a[i]) - b[i];
    sum += d * d;
  }
  if (sum == 0) return std::numeric_limits<double>::infinity();
  return 10 * std::log10(255.0 * 255.0 / (sum / static_cast<double>(a.size())));
}

}  // namespace velmo::testing
