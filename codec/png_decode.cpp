// PNG through libspng: rows decoded one by one into the area shrinker.
#include <array>
#include <optional>
#include <vector>

#include "codec/internal/decoders.h"
#include "codec/internal/png_input.h"
#include "platform/checked.h"
#include "platform/color_profile.h"
#include "platform/resample.h"

namespace velmo::codec::detail {
namespace {

// Where each Adam7 pass starts within a row, and its step.
constexpr std::array<uint32_t, 7> kPassXStart = {0, 4, 0, 2, 0, 1, 0};
constexpr std::array<uint32_t, 7> kPassXStep = {8, 8, 4, 4, 2, 2, 1};

}  // namespace

Result<platform::Bitmap> decodePng(const platform::InputFile& file, uint32_t maxPixelSize) {
  Result<std::unique_ptr<PngInput>> opened = PngInput::open(file);
  if (!opened) return opened.failure();
  const std::unique_ptr<PngInput> png = std::move(*opened);
  spng_ctx* ctx = png->context();
  const bool hasAlpha = png->hasAlpha();

  // libspng expands palettes, grey, low bit depths and tRNS to RGBA itself.
  const bool sixteen = png->bitDepth() == 16;
  const int format = sixteen ? SPNG_FMT_RGBA16 : SPNG_FMT_RGBA8;
  if (const int status =
          spng_decode_image(ctx, nullptr, 0, format, SPNG_DECODE_TRNS | SPNG_DECODE_PROGRESSIVE);
      status != 0) {
    return png->failure(status);
  }

  const uint32_t width = png->width();
  const uint32_t height = png->height();
  const platform::PixelSize target = thumbnailSize(width, height, maxPixelSize);
  const size_t rowBytes = platform::checkedMul(width, sixteen ? 8 : 4);
  std::vector<uint8_t> row(rowBytes);

  // An interlaced image arrives in seven passes over the whole picture, so it is assembled
  // at full size (within the frame limits) and shrunk afterwards; any other streams through.
  const bool interlaced = png->interlaced();
  std::optional<platform::Bitmap> whole;
  std::optional<platform::AreaShrinker> shrinker;
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
    const int next = spng_get_row_info(ctx, &info);
    if (next == SPNG_EOI) break;
    if (next != 0) return png->failure(next);
    status = spng_decode_row(ctx, row.data(), rowBytes);
    // Anything else but 0 or the end of the image is an error (truncated data, bad
    // checksum, corrupt DEFLATE stream...).
    if (status != 0 && status != SPNG_EOI) return png->failure(status);
    if (interlaced) {
      if (info.pass < 0 || info.pass > 6 || info.row_num >= height) {
        return unreadable("libspng gave a row outside the image");
      }
      pngRowToPixels(row.data(), sixteen, kPassXStart[info.pass], width, kPassXStep[info.pass],
                     whole->row(info.row_num));
    } else {
      pngRowToPixels(row.data(), sixteen, 0, width, 1, pixels.data());
      shrinker->pushRow(pixels.data());
    }
  } while (status == 0);
  if (!interlaced && shrinker->rowsPushed() != height) {
    return unreadable("the image data ends before the last row");
  }
  // The last row can come out before libspng has read the end of the image data, so the
  // checksum of the last IDAT chunk (and of the DEFLATE stream) is checked by reading on to
  // the end chunk. A checksum or structure error fails the picture; a file cut short after
  // the image data has been refused before decoding (probe::reachesItsEnd).
  const int end = spng_decode_chunks(ctx);
  if (end != 0 && end != SPNG_IO_EOF) return png->failure(end);

  platform::Bitmap result = interlaced
                                ? platform::shrink(std::move(*whole), target.width, target.height)
                                : shrinker->finish();
  if (!png->icc().empty()) {
    if (auto converter = platform::ColorConverter::fromIcc(png->icc(), png->grey())) {
      converter->convert(result);
    }
  }
  return result;
}

}  // namespace velmo::codec::detail
