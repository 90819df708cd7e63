// JPEG through libjpeg(-turbo): DCT-scaled decode, rows streamed into the area shrinker.
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include <jerror.h>

#include "codec/internal/decoders.h"
#include "codec/internal/jpeg_input.h"
#include "platform/checked.h"
#include "platform/color_profile.h"
#include "platform/resample.h"

namespace velmo::codec::detail {

Result<platform::Bitmap> decodeJpeg(const platform::InputFile& file, uint32_t maxPixelSize) {
  Result<std::unique_ptr<JpegInput>> opened = JpegInput::open(file);
  if (!opened) return opened.failure();
  const std::unique_ptr<JpegInput> jpeg = std::move(*opened);
  jpeg_decompress_struct& cinfo = jpeg->decompressor();
  const std::span<const uint8_t> profile = jpeg->icc();
  const bool cmyk = jpeg->cmyk();
  // libjpeg writes grey, YCbCr and RGB straight into the Bitmap layout, alpha 0xFF.
  cinfo.out_color_space = cmyk ? JCS_CMYK : JCS_EXT_BGRA;
  const platform::PixelSize target =
      thumbnailSize(cinfo.image_width, cinfo.image_height, maxPixelSize);
  // libjpeg rounds each scaled side up.
  cinfo.scale_num = jpegScaleEighths(target, kWholePictureMargin, [&](uint32_t n) {
    return platform::PixelSize{static_cast<uint32_t>((uint64_t{cinfo.image_width} * n + 7) / 8),
                               static_cast<uint32_t>((uint64_t{cinfo.image_height} * n + 7) / 8)};
  });
  cinfo.scale_denom = 8;

  if (!jpegGuarded(&cinfo, [&] { jpeg_start_decompress(&cinfo); })) return jpegFailure(&cinfo);
  const uint32_t width = cinfo.output_width;
  const uint32_t height = cinfo.output_height;
  if (width < target.width || height < target.height) {
    return unreadable("libjpeg decoded it smaller than asked");
  }

  // Adobe applications store CMYK inverted (0 = full ink) and mark the file with APP14.
  std::optional<platform::CmykConverter> cmykConverter;
  if (cmyk) cmykConverter.emplace(profile, cinfo.saw_Adobe_marker != 0);
  // One row of libjpeg's output: Bitmap pixels, or four CMYK samples a pixel.
  std::vector<uint32_t> samples(width);
  std::vector<uint32_t> pixels(cmyk ? width : 0);
  platform::AreaShrinker shrinker(width, height, target.width, target.height, false);
  JSAMPROW rows[1] = {reinterpret_cast<JSAMPROW>(samples.data())};
  while (cinfo.output_scanline < height) {
    JDIMENSION got = 0;
    if (!jpegGuarded(&cinfo, [&] { got = jpeg_read_scanlines(&cinfo, rows, 1); })) {
      return jpegFailure(&cinfo);
    }
    if (got != 1) return unreadable("libjpeg gave no row");
    if (cmykConverter) {
      cmykConverter->convertRow(rows[0], pixels.data(), width);
      shrinker.pushRow(pixels.data());
    } else {
      shrinker.pushRow(samples.data());
    }
  }
  // No jpeg_finish_decompress: every pixel is in, and what follows the last scan (the end
  // marker, trailing bytes) changes none of them. Destroying the state aborts cleanly.
  platform::Bitmap result = shrinker.finish();
  if (!cmyk && !profile.empty()) {
    if (auto converter = platform::ColorConverter::fromIcc(profile, jpeg->grey())) {
      converter->convert(result);
    }
  }
  return result;
}

}  // namespace velmo::codec::detail
