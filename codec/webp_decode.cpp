// WebP through libwebp: still images decoded and scaled in one pass; animations give frame 1
// of the demuxer (the first frame) on a transparent canvas.
#include <algorithm>
#include <cstring>
#include <vector>

#include <webp/decode.h>

#include "codec/internal/decoders.h"
#include "codec/internal/library_owners.h"
#include "platform/checked.h"
#include "platform/color_profile.h"
#include "platform/resample.h"

namespace velmo::platform::detail {
namespace {

// libwebp decodes from memory, so the file is read whole. Real WebP files are far smaller:
// the format caps the canvas at 16384 x 16384.
constexpr uint64_t kMaxWebPFileBytes = 256u << 20;

// Decodes one VP8/VP8L bitstream (with its alpha) into |out|, scaled to out's size when it
// differs from the bitstream's. MODE_bgrA writes premultiplied B, G, R, A bytes: the Bitmap
// layout, alpha 0xFF when opaque.
bool decodeInto(const uint8_t* data, size_t size, Bitmap& out, bool scale) {
  WebPDecoderConfig config;
  if (!WebPInitDecoderConfig(&config)) return false;
  config.options.use_threads = 0;
  if (scale) {
    config.options.use_scaling = 1;
    config.options.scaled_width = static_cast<int>(out.width());
    config.options.scaled_height = static_cast<int>(out.height());
  }
  config.output.colorspace = MODE_bgrA;
  config.output.is_external_memory = 1;
  config.output.u.RGBA.rgba = reinterpret_cast<uint8_t*>(out.data());
  config.output.u.RGBA.stride = static_cast<int>(out.strideBytes());
  config.output.u.RGBA.size = checkedMul(out.strideBytes(), out.height());
  // Any status but OK, VP8_STATUS_NOT_ENOUGH_DATA (a truncated file) included, is a failure.
  const VP8StatusCode status = WebPDecode(data, size, &config);
  WebPFreeDecBuffer(&config.output);
  return status == VP8_STATUS_OK;
}

}  // namespace

std::optional<Bitmap> decodeWebP(const InputFile& file, uint32_t maxPixelSize) {
  const std::optional<std::vector<uint8_t>> bytes = file.readAll(kMaxWebPFileBytes);
  if (!bytes) return std::nullopt;
  WebPBitstreamFeatures features;
  if (WebPGetFeatures(bytes->data(), bytes->size(), &features) != VP8_STATUS_OK) {
    return std::nullopt;
  }
  const WebPData data{bytes->data(), bytes->size()};
  const WebPDemuxHandle demux(WebPDemux(&data));
  if (!demux) return std::nullopt;
  const uint32_t width = WebPDemuxGetI(demux.get(), WEBP_FF_CANVAS_WIDTH);
  const uint32_t height = WebPDemuxGetI(demux.get(), WEBP_FF_CANVAS_HEIGHT);
  if (!frameWithinLimits(width, height)) return std::nullopt;
  const bool hasAlpha = features.has_alpha != 0;

  std::vector<uint8_t> profile;
  if (WebPDemuxGetI(demux.get(), WEBP_FF_FORMAT_FLAGS) & ICCP_FLAG) {
    WebPChunkIterator chunk;
    if (WebPDemuxGetChunk(demux.get(), "ICCP", 1, &chunk)) {
      profile.assign(chunk.chunk.bytes, chunk.chunk.bytes + chunk.chunk.size);
      WebPDemuxReleaseChunkIterator(&chunk);
    }
  }

  const PixelSize target = thumbnailSize(width, height, maxPixelSize);
  std::optional<Bitmap> result;
  if (!features.has_animation) {
    result.emplace(target.width, target.height, hasAlpha);
    const bool scale = target.width != width || target.height != height;
    if (!decodeInto(bytes->data(), bytes->size(), *result, scale)) return std::nullopt;
  } else {
    WebPIterator frame;
    if (!WebPDemuxGetFrame(demux.get(), 1, &frame)) return std::nullopt;
    // Plain values out of the iterator, so that it is released on every path at once.
    const uint8_t* fragment = frame.fragment.bytes;
    const size_t fragmentSize = frame.fragment.size;
    const auto frameLeft = static_cast<uint32_t>(frame.x_offset);
    const auto frameTop = static_cast<uint32_t>(frame.y_offset);
    const auto frameWidth = static_cast<uint32_t>(frame.width);
    const auto frameHeight = static_cast<uint32_t>(frame.height);
    WebPDemuxReleaseIterator(&frame);
    // The demuxer has checked that frames lie within the canvas.
    if (!frameWithinLimits(frameWidth, frameHeight) || uint64_t{frameLeft} + frameWidth > width ||
        uint64_t{frameTop} + frameHeight > height) {
      return std::nullopt;
    }
    Bitmap decoded(frameWidth, frameHeight, hasAlpha);
    if (!decodeInto(fragment, fragmentSize, decoded, false)) return std::nullopt;
    // The first frame is drawn on a transparent canvas, whatever its blending mode says.
    Bitmap canvas(width, height, hasAlpha);
    std::fill(canvas.data(), canvas.data() + checkedMul(width, height), 0u);
    for (uint32_t y = 0; y < frameHeight; ++y) {
      std::memcpy(canvas.row(frameTop + y) + frameLeft, decoded.row(y), decoded.strideBytes());
    }
    result = shrink(std::move(canvas), target.width, target.height);
  }

  if (!profile.empty()) {
    if (auto converter = ColorConverter::fromIcc(profile, false)) converter->convert(*result);
  }
  return result;
}

}  // namespace velmo::platform::detail
