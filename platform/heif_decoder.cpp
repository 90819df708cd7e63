// HEIF, HEIC and AVIF through libheif: the primary image, decoded whole with its
// transformations applied, then shrunk.
#include <vector>

#include "platform/checked.h"
#include "platform/color_profile.h"
#include "platform/decoders.h"
#include "platform/heif_file.h"
#include "platform/library_owners.h"
#include "platform/resample.h"

namespace velmo::platform::detail {
namespace {

bool ok(const heif_error& error) {
  return heifOk(error);
}

bool sideWithinLimits(int width, int height) {
  return width > 0 && height > 0 &&
         frameWithinLimits(static_cast<uint64_t>(width), static_cast<uint64_t>(height));
}

// The converter for the primary image's colour description, if it needs one.
std::optional<ColorConverter> colorConverterFor(const heif_image_handle* handle) {
  const heif_color_profile_type type = heif_image_handle_get_color_profile_type(handle);
  if (type == heif_color_profile_type_prof || type == heif_color_profile_type_rICC) {
    std::vector<uint8_t> icc(heif_image_handle_get_raw_color_profile_size(handle));
    if (icc.empty() || !ok(heif_image_handle_get_raw_color_profile(handle, icc.data()))) {
      return std::nullopt;
    }
    return ColorConverter::fromIcc(icc, false);
  }
  if (type == heif_color_profile_type_nclx) {
    heif_color_profile_nclx* raw = nullptr;
    if (!ok(heif_image_handle_get_nclx_color_profile(handle, &raw))) return std::nullopt;
    const HeifNclxProfile nclx(raw);
    // Display P3 is what phones describe by nclx; BT.709 and unspecified primaries are
    // sRGB's own.
    if (nclx && nclx->color_primaries == heif_color_primaries_SMPTE_EG_432_1) {
      return ColorConverter::displayP3();
    }
  }
  return std::nullopt;
}

}  // namespace

std::optional<Bitmap> decodeHeif(const InputFile& file, uint32_t maxPixelSize) {
  const std::unique_ptr<HeifFile> heif = HeifFile::open(file, kMaxHeifItemSide);
  if (!heif) return std::nullopt;
  const HeifImageHandle handle = heif->primaryImage();
  if (!handle) return std::nullopt;

  // Both the stored grid (ispe) and the displayed size after cropping and turning.
  if (!sideWithinLimits(heif_image_handle_get_ispe_width(handle.get()),
                        heif_image_handle_get_ispe_height(handle.get())) ||
      !sideWithinLimits(heif_image_handle_get_width(handle.get()),
                        heif_image_handle_get_height(handle.get()))) {
    return std::nullopt;
  }
  const bool hasAlpha = heif_image_handle_has_alpha_channel(handle.get()) != 0;
  const bool premultiplied = heif_image_handle_is_premultiplied_alpha(handle.get()) != 0;

  const HeifDecodingOptions options(heif_decoding_options_alloc());
  if (!options) return std::nullopt;
  options->ignore_transformations = 0;  // irot, imir and clap applied, exactly once
  options->convert_hdr_to_8bit = 1;
  // Missing tiles or other damage fail the decode instead of leaving grey areas.
  options->strict_decoding = 1;
  heif_image* rawImage = nullptr;
  if (!ok(heif_decode_image(handle.get(), &rawImage, heif_colorspace_RGB,
                            hasAlpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB,
                            options.get()))) {
    return std::nullopt;
  }
  const HeifImage image(rawImage);
  const int width = heif_image_get_width(image.get(), heif_channel_interleaved);
  const int height = heif_image_get_height(image.get(), heif_channel_interleaved);
  int stride = 0;
  const uint8_t* plane =
      heif_image_get_plane_readonly(image.get(), heif_channel_interleaved, &stride);
  if (plane == nullptr || !sideWithinLimits(width, height) ||
      heif_image_get_bits_per_pixel_range(image.get(), heif_channel_interleaved) != 8) {
    return std::nullopt;
  }
  const size_t channels = hasAlpha ? 4 : 3;
  if (stride < 0 ||
      static_cast<size_t>(stride) < checkedMul(static_cast<size_t>(width), channels)) {
    return std::nullopt;
  }

  const auto w = static_cast<uint32_t>(width);
  const auto h = static_cast<uint32_t>(height);
  const PixelSize target = thumbnailSize(w, h, maxPixelSize);
  AreaShrinker shrinker(w, h, target.width, target.height, hasAlpha);
  std::vector<uint32_t> row(w);
  for (uint32_t y = 0; y < h; ++y) {
    const uint8_t* s = plane + size_t{y} * static_cast<size_t>(stride);
    for (uint32_t x = 0; x < w; ++x, s += channels) {
      const uint32_t a = hasAlpha ? s[3] : 255;
      if (premultiplied) {
        auto c = [a](uint8_t v) { return std::min<uint32_t>(v, a); };
        row[x] = (a << 24) | (c(s[0]) << 16) | (c(s[1]) << 8) | c(s[2]);
      } else {
        row[x] = premultiply(s[0], s[1], s[2], a);
      }
    }
    shrinker.pushRow(row.data());
  }
  Bitmap result = shrinker.finish();
  if (auto converter = colorConverterFor(handle.get())) converter->convert(result);
  return result;
}

}  // namespace velmo::platform::detail
