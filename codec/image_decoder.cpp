#include "codec/image_decoder.h"

#include <algorithm>
#include <new>
#include <stdexcept>

#include "codec/internal/decoders.h"
#include "codec/internal/probe_reader.h"
#include "platform/orientation.h"

namespace velmo::codec {
namespace detail {

platform::PixelSize thumbnailSize(uint32_t width, uint32_t height, uint32_t maxPixelSize) {
  const uint64_t longer = std::max(width, height);
  const uint64_t shorter = std::min(width, height);
  const uint64_t longSide = std::min<uint64_t>(std::max<uint32_t>(maxPixelSize, 1), longer);
  // round(shorter * longSide / longer), half up, in integers: exact for every input.
  const uint64_t shortSide =
      std::max<uint64_t>(1, (2 * shorter * longSide + longer) / (2 * longer));
  if (width >= height) {
    return {static_cast<uint32_t>(longSide), static_cast<uint32_t>(shortSide)};
  }
  return {static_cast<uint32_t>(shortSide), static_cast<uint32_t>(longSide)};
}

}  // namespace detail

namespace {

// Each format's decoder of image 0 (codec/internal/decoders.h).
struct FormatDecoder {
  ImageFormat format;
  Result<platform::Bitmap> (*decode)(const platform::InputFile& file, uint32_t maxPixelSize);
};
constexpr FormatDecoder kDecoders[] = {
    {ImageFormat::Jpeg, &detail::decodeJpeg}, {ImageFormat::Png, &detail::decodePng},
    {ImageFormat::Gif, &detail::decodeGif},   {ImageFormat::WebP, &detail::decodeWebP},
    {ImageFormat::Heif, &detail::decodeHeif},
};

}  // namespace

Result<StoredPicture> decodeStoredThumbnail(const platform::InputFile& file, const ImageInfo& info,
                                            uint32_t maxPixelSize) {
  try {
    // The same check as for a window (window_decoder.cpp), so that a file cut short yields no
    // image for every method, even where the cut spares every pixel.
    if (!probe::reachesItsEnd(file, info.format)) return cutShort();
    Result<platform::Bitmap> stored = unreadable("no decoder for this format");
    for (const auto& [format, decode] : kDecoders) {
      if (format == info.format) stored = decode(file, maxPixelSize);
    }
    if (!stored) return stored.failure();
    // libheif has applied irot/imir already; iPhone files carry the same turn again as an EXIF
    // orientation, which must not be applied on top.
    const int orientation =
        info.format == ImageFormat::Heif ? 1 : platform::effectiveOrientation(info.orientation);
    return StoredPicture{std::move(*stored), orientation};
  } catch (const std::bad_alloc&) {
    // Includes std::bad_array_new_length from checkedMul: the frame cannot be held.
    return outOfMemory();
  } catch (const std::length_error&) {
    return outOfMemory();
  }
}

Result<platform::Bitmap> decodeThumbnail(const platform::InputFile& file, const ImageInfo& info,
                                         uint32_t maxPixelSize) {
  try {
    Result<StoredPicture> stored = decodeStoredThumbnail(file, info, maxPixelSize);
    if (!stored) return stored.failure();
    // Shrinking first and then permuting keeps the permutation cheap and exact.
    return platform::applyOrientation(std::move(stored->pixels), stored->orientation);
  } catch (const std::bad_alloc&) {
    return outOfMemory();
  }
}

}  // namespace velmo::codec
