// JPEG through libjpeg(-turbo): DCT-scaled decode, rows streamed into the area shrinker.
#include <csetjmp>
#include <memory>
#include <vector>

#include <jerror.h>

#include "codec/internal/decoders.h"
#include "codec/internal/jpeg_input.h"
#include "codec/internal/library_owners.h"
#include "platform/checked.h"
#include "platform/color_profile.h"
#include "platform/resample.h"

namespace velmo::platform::detail {

std::optional<Bitmap> decodeJpeg(const InputFile& file, uint32_t maxPixelSize) {
  // Declared in this order so that, on the way out, the library state is destroyed first,
  // then the struct it lives in, then the error handler and source its callbacks use.
  const auto buffer = std::make_unique<JOCTET[]>(kJpegReadChunk);
  JpegErrors errors{};
  JpegFileSource source{};
  jpeg_decompress_struct cinfo{};
  useJpegErrors(&cinfo, errors);
  // Safe to destroy even when creation failed half-way: it checks what was set up.
  JpegDecompressState state(&cinfo);
  if (!jpegGuarded(&cinfo, [&] { jpeg_create_decompress(&cinfo); })) return std::nullopt;

  useJpegInput(&cinfo, errors, source, file, buffer.get());

  if (!jpegGuarded(&cinfo, [&] {
        jpeg_save_markers(&cinfo, JPEG_APP0 + 2, 0xFFFF);  // ICC profile segments
        jpeg_read_header(&cinfo, TRUE);
      })) {
    return std::nullopt;
  }
  // The 8-bit interface cannot hold 12-bit samples; libjpeg refuses them already.
  if (cinfo.data_precision != 8) return std::nullopt;
  if (!frameWithinLimits(cinfo.image_width, cinfo.image_height)) return std::nullopt;

  JOCTET* iccData = nullptr;
  unsigned int iccSize = 0;
  if (!jpegGuarded(&cinfo, [&] { jpeg_read_icc_profile(&cinfo, &iccData, &iccSize); })) {
    return std::nullopt;
  }
  const MallocBuffer icc(iccData);
  const std::span<const uint8_t> profile(icc.get(), icc ? iccSize : 0);

  const bool cmyk = cinfo.jpeg_color_space == JCS_CMYK || cinfo.jpeg_color_space == JCS_YCCK;
  const bool grey = cinfo.jpeg_color_space == JCS_GRAYSCALE;
  // libjpeg writes grey, YCbCr and RGB straight into the Bitmap layout, alpha 0xFF.
  cinfo.out_color_space = cmyk ? JCS_CMYK : JCS_EXT_BGRA;
  const PixelSize target = thumbnailSize(cinfo.image_width, cinfo.image_height, maxPixelSize);
  // libjpeg rounds each scaled side up.
  cinfo.scale_num = jpegScaleEighths(target, kWholePictureMargin, [&](uint32_t n) {
    return PixelSize{static_cast<uint32_t>((uint64_t{cinfo.image_width} * n + 7) / 8),
                     static_cast<uint32_t>((uint64_t{cinfo.image_height} * n + 7) / 8)};
  });
  cinfo.scale_denom = 8;

  if (!jpegGuarded(&cinfo, [&] { jpeg_start_decompress(&cinfo); })) return std::nullopt;
  const uint32_t width = cinfo.output_width;
  const uint32_t height = cinfo.output_height;
  if (width < target.width || height < target.height) return std::nullopt;

  // Adobe applications store CMYK inverted (0 = full ink) and mark the file with APP14.
  std::optional<CmykConverter> cmykConverter;
  if (cmyk) cmykConverter.emplace(profile, cinfo.saw_Adobe_marker != 0);
  // One row of libjpeg's output: Bitmap pixels, or four CMYK samples a pixel.
  std::vector<uint32_t> samples(width);
  std::vector<uint32_t> pixels(cmyk ? width : 0);
  AreaShrinker shrinker(width, height, target.width, target.height, false);
  JSAMPROW rows[1] = {reinterpret_cast<JSAMPROW>(samples.data())};
  while (cinfo.output_scanline < height) {
    JDIMENSION got = 0;
    if (!jpegGuarded(&cinfo, [&] { got = jpeg_read_scanlines(&cinfo, rows, 1); })) {
      return std::nullopt;
    }
    if (got != 1) return std::nullopt;
    if (cmykConverter) {
      cmykConverter->convertRow(rows[0], pixels.data(), width);
      shrinker.pushRow(pixels.data());
    } else {
      shrinker.pushRow(samples.data());
    }
  }
  // No jpeg_finish_decompress: every pixel is in, and what follows the last scan (the end
  // marker, trailing bytes) changes none of them. Destroying the state aborts cleanly.
  Bitmap result = shrinker.finish();
  if (!cmyk && !profile.empty()) {
    if (auto converter = ColorConverter::fromIcc(profile, grey)) converter->convert(result);
  }
  return result;
}

}  // namespace velmo::platform::detail
