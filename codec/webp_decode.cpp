// WebP through libwebp: still images decoded and scaled in one pass; animations give frame 1
// of the demuxer (the first frame) on a transparent canvas.
#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "codec/internal/decoders.h"
#include "codec/internal/webp_input.h"
#include "platform/checked.h"
#include "platform/color_profile.h"
#include "platform/resample.h"

namespace velmo::codec::detail {
namespace {

// Decodes |data| into |out|, scaled to out's size when |scale|. MODE_bgrA writes
// premultiplied B, G, R, A bytes: the Bitmap layout, alpha 0xFF when opaque.
Status decodeInto(std::span<const uint8_t> data, platform::Bitmap& out, bool scale) {
  return decodeWebPInto(data, MODE_bgrA, reinterpret_cast<uint8_t*>(out.data()), out.strideBytes(),
                        platform::checkedMul(out.strideBytes(), out.height()),
                        [&](WebPDecoderOptions& options) {
                          if (!scale) return;
                          options.use_scaling = 1;
                          options.scaled_width = static_cast<int>(out.width());
                          options.scaled_height = static_cast<int>(out.height());
                        });
}

}  // namespace

Result<platform::Bitmap> decodeWebP(const platform::InputFile& file, uint32_t maxPixelSize) {
  Result<std::unique_ptr<WebPInput>> opened = WebPInput::open(file);
  if (!opened) return opened.failure();
  const std::unique_ptr<WebPInput> webp = std::move(*opened);
  const auto [width, height] = webp->canvas();
  const bool hasAlpha = webp->hasAlpha();

  const platform::PixelSize target = thumbnailSize(width, height, maxPixelSize);
  std::optional<platform::Bitmap> result;
  if (!webp->animated()) {
    result.emplace(target.width, target.height, hasAlpha);
    if (Status decoded = decodeInto(webp->bytes(), *result, target != webp->canvas()); !decoded) {
      return decoded.failure();
    }
  } else {
    const platform::PixelRect& frame = webp->frame();
    platform::Bitmap decoded(frame.width, frame.height, hasAlpha);
    if (Status done = decodeInto(webp->frameBytes(), decoded, false); !done) return done.failure();
    // The first frame is drawn on a transparent canvas, whatever its blending mode says.
    platform::Bitmap canvas(width, height, hasAlpha);
    std::fill(canvas.data(), canvas.data() + platform::checkedMul(width, height), 0u);
    for (uint32_t y = 0; y < frame.height; ++y) {
      std::memcpy(canvas.row(frame.y + y) + frame.x, decoded.row(y), decoded.strideBytes());
    }
    result = platform::shrink(std::move(canvas), target.width, target.height);
  }

  if (!webp->icc().empty()) {
    if (auto converter = platform::ColorConverter::fromIcc(webp->icc(), false))
      converter->convert(*result);
  }
  return std::move(*result);
}

}  // namespace velmo::codec::detail
