// PNG through libspng: rows decoded one by one into the area shrinker.
#include <array>
#include <vector>

#include "codec/internal/decoders.h"
#include "codec/internal/library_owners.h"
#include "platform/checked.h"
#include "platform/color_profile.h"
#include "platform/resample.h"

namespace velmo::platform::detail {
namespace {

// Ancillary chunks that libspng keeps in memory (text, ICC profile, EXIF...): no single one
// above 16 MiB, and 64 MiB in all, decompressed text included. The image data is streamed
// and not counted.
constexpr size_t kMaxChunkBytes = 16u << 20;
constexpr size_t kMaxChunkCache = 64u << 20;

// Where each Adam7 pass starts within a row, and its step.
constexpr std::array<uint32_t, 7> kPassXStart = {0, 4, 0, 2, 0, 1, 0};
constexpr std::array<uint32_t, 7> kPassXStep = {8, 8, 4, 4, 2, 2, 1};

struct PngStream {
  const InputFile* file;
  uint64_t offset;
};

int readPng(spng_ctx*, void* user, void* destination, size_t length) {
  auto& stream = *static_cast<PngStream*>(user);
  const size_t got =
      stream.file->readAt(stream.offset, {static_cast<uint8_t*>(destination), length});
  stream.offset += got;
  return got == length ? 0 : SPNG_IO_EOF;
}

// 16-bit samples to 8 bits, rounded to nearest.
inline uint32_t to8(uint16_t v) {
  return (uint32_t{v} * 255 + 32767) / 65535;
}

// Converts the pixels of one decoded row at x = start, start + step, ... to Bitmap pixels.
void convertRow(const std::vector<uint8_t>& row8, const std::vector<uint16_t>& row16, bool sixteen,
                uint32_t width, uint32_t start, uint32_t step, uint32_t* out) {
  if (sixteen) {
    for (uint32_t x = start; x < width; x += step) {
      const uint16_t* s = row16.data() + size_t{x} * 4;
      out[x] = premultiply(to8(s[0]), to8(s[1]), to8(s[2]), to8(s[3]));
    }
  } else {
    for (uint32_t x = start; x < width; x += step) {
      const uint8_t* s = row8.data() + size_t{x} * 4;
      out[x] = premultiply(s[0], s[1], s[2], s[3]);
    }
  }
}

}  // namespace

std::optional<Bitmap> decodePng(const InputFile& file, uint32_t maxPixelSize) {
  // Default flags: DEFLATE checksums are verified, a bad CRC fails a critical chunk and
  // drops an ancillary one.
  SpngContext ctx(spng_ctx_new(0));
  if (!ctx) return std::nullopt;
  PngStream stream{&file, 0};
  if (spng_set_png_stream(ctx.get(), readPng, &stream) != 0 ||
      spng_set_image_limits(ctx.get(), kMaxFrameSide, kMaxFrameSide) != 0 ||
      spng_set_chunk_limits(ctx.get(), kMaxChunkBytes, kMaxChunkCache) != 0) {
    return std::nullopt;
  }

  spng_ihdr ihdr{};
  if (spng_get_ihdr(ctx.get(), &ihdr) != 0) return std::nullopt;
  if (!frameWithinLimits(ihdr.width, ihdr.height)) return std::nullopt;
  spng_trns trns{};
  const bool hasAlpha = ihdr.color_type == SPNG_COLOR_TYPE_GRAYSCALE_ALPHA ||
                        ihdr.color_type == SPNG_COLOR_TYPE_TRUECOLOR_ALPHA ||
                        spng_get_trns(ctx.get(), &trns) == 0;
  const bool grey = ihdr.color_type == SPNG_COLOR_TYPE_GRAYSCALE ||
                    ihdr.color_type == SPNG_COLOR_TYPE_GRAYSCALE_ALPHA;
  spng_iccp iccp{};
  std::vector<uint8_t> profile;
  if (spng_get_iccp(ctx.get(), &iccp) == 0 && iccp.profile != nullptr) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(iccp.profile);
    profile.assign(bytes, bytes + iccp.profile_len);
  }

  // libspng expands palettes, grey, low bit depths and tRNS to RGBA itself.
  const bool sixteen = ihdr.bit_depth == 16;
  const int format = sixteen ? SPNG_FMT_RGBA16 : SPNG_FMT_RGBA8;
  if (spng_decode_image(ctx.get(), nullptr, 0, format,
                        SPNG_DECODE_TRNS | SPNG_DECODE_PROGRESSIVE) != 0) {
    return std::nullopt;
  }

  const uint32_t width = ihdr.width;
  const uint32_t height = ihdr.height;
  const PixelSize target = thumbnailSize(width, height, maxPixelSize);
  std::vector<uint8_t> row8(sixteen ? 0 : checkedMul(width, 4));
  std::vector<uint16_t> row16(sixteen ? checkedMul(width, 4) : 0);
  void* rowData = sixteen ? static_cast<void*>(row16.data()) : row8.data();
  const size_t rowBytes = checkedMul(width, sixteen ? 8 : 4);

  // An interlaced image arrives in seven passes over the whole picture, so it is assembled
  // at full size (within the frame limits) and shrunk afterwards; any other streams through.
  const bool interlaced = ihdr.interlace_method == SPNG_INTERLACE_ADAM7;
  std::optional<Bitmap> whole;
  std::optional<AreaShrinker> shrinker;
  std::vector<uint32_t> pixels;
  if (interlaced) {
    whole.emplace(width, height, hasAlpha);
  } else {
    shrinker.emplace(width, height, target.width, target.height, hasAlpha);
    pixels.resize(width);
  }

  int status = 0;
  do {
    spng_row_info info{};
    // The end of the image is reported with the last row, or (when the last pass holds no
    // rows, as in an interlaced image one row tall) by the next call for the row's place.
    const int next = spng_get_row_info(ctx.get(), &info);
    if (next == SPNG_EOI) break;
    if (next != 0) return std::nullopt;
    status = spng_decode_row(ctx.get(), rowData, rowBytes);
    // Anything else but 0 or the end of the image is an error (truncated data, bad
    // checksum, corrupt DEFLATE stream...).
    if (status != 0 && status != SPNG_EOI) return std::nullopt;
    if (interlaced) {
      if (info.pass < 0 || info.pass > 6 || info.row_num >= height) return std::nullopt;
      convertRow(row8, row16, sixteen, width, kPassXStart[info.pass], kPassXStep[info.pass],
                 whole->row(info.row_num));
    } else {
      convertRow(row8, row16, sixteen, width, 0, 1, pixels.data());
      shrinker->pushRow(pixels.data());
    }
  } while (status == 0);
  if (!interlaced && shrinker->rowsPushed() != height) return std::nullopt;
  // The last row can come out before libspng has read the end of the image data, so the
  // checksum of the last IDAT chunk (and of the DEFLATE stream) is checked by reading on to
  // the end chunk. A file that simply ends after the image data keeps its picture, which is
  // whole; a checksum or structure error fails it.
  const int end = spng_decode_chunks(ctx.get());
  if (end != 0 && end != SPNG_IO_EOF) return std::nullopt;

  Bitmap result =
      interlaced ? shrink(std::move(*whole), target.width, target.height) : shrinker->finish();
  if (!profile.empty()) {
    if (auto converter = ColorConverter::fromIcc(profile, grey)) converter->convert(result);
  }
  return result;
}

}  // namespace velmo::platform::detail
