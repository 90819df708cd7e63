// HEIF, HEIC and AVIF through libheif: the primary image, decoded whole with its
// transformations applied, then shrunk.
#include <vector>

#include "codec/internal/decoders.h"
#include "codec/internal/heif_input.h"
#include "codec/internal/library_owners.h"
#include "platform/checked.h"
#include "platform/color_profile.h"
#include "platform/resample.h"

namespace velmo::codec::detail {

Result<platform::Bitmap> decodeHeif(const platform::InputFile& file, uint32_t maxPixelSize) {
  Result<std::unique_ptr<HeifFile>> heif = HeifFile::open(file, kMaxHeifItemSide);
  if (!heif) return heif.failure();
  const HeifImageHandle handle = (*heif)->primaryImage();
  if (!handle) return unreadable(kNoPrimaryImage);

  // Both the stored grid (ispe) and the displayed size after cropping and turning.
  if (!heifSizeWithinLimits(heif_image_handle_get_ispe_width(handle.get()),
                            heif_image_handle_get_ispe_height(handle.get())) ||
      !heifSizeWithinLimits(heif_image_handle_get_width(handle.get()),
                            heif_image_handle_get_height(handle.get()))) {
    return heifOverLimits(handle.get());
  }
  // irot, imir and clap applied, exactly once; the EXIF orientation is never applied on top.
  const Result<HeifPixels> pixels = HeifPixels::decode(handle.get(), true);
  if (!pixels) return pixels.failure();

  const uint32_t w = pixels->width();
  const uint32_t h = pixels->height();
  const platform::PixelSize target = thumbnailSize(w, h, maxPixelSize);
  platform::AreaShrinker shrinker(w, h, target.width, target.height, pixels->hasAlpha());
  std::vector<uint32_t> row(w);
  for (uint32_t y = 0; y < h; ++y) {
    pixels->pixelRow(y, 0, w, row.data());
    shrinker.pushRow(row.data());
  }
  platform::Bitmap result = shrinker.finish();
  const HeifColor color = heifColor(handle.get());
  std::optional<platform::ColorConverter> converter;
  if (!color.icc.empty()) {
    converter = platform::ColorConverter::fromIcc(color.icc, false);
  } else if (color.displayP3) {
    converter = platform::ColorConverter::displayP3();
  }
  if (converter) converter->convert(result);
  return result;
}

}  // namespace velmo::codec::detail
