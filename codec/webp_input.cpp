#include "codec/internal/webp_input.h"

#include <webp/demux.h>

#include "codec/internal/library_owners.h"
#include "platform/checked.h"

namespace velmo::codec {
namespace {

// libwebp decodes from memory, so the file is read whole. Real WebP files are far smaller:
// the format caps the canvas at 16384 x 16384.
constexpr uint64_t kMaxWebPFileBytes = uint64_t{256} << 20;

}  // namespace

std::unique_ptr<WebPInput> WebPInput::open(const platform::InputFile& file) {
  std::unique_ptr<WebPInput> input(new WebPInput());
  auto bytes = file.readAll(kMaxWebPFileBytes);
  if (!bytes) return nullptr;
  input->bytes_ = std::move(*bytes);
  const std::vector<uint8_t>& data = input->bytes_;
  WebPBitstreamFeatures features;
  if (WebPGetFeatures(data.data(), data.size(), &features) != VP8_STATUS_OK) return nullptr;
  input->hasAlpha_ = features.has_alpha != 0;
  input->animated_ = features.has_animation != 0;

  const WebPData whole{data.data(), data.size()};
  const WebPDemuxHandle demux(WebPDemux(&whole));
  if (!demux) return nullptr;
  const uint32_t width = WebPDemuxGetI(demux.get(), WEBP_FF_CANVAS_WIDTH);
  const uint32_t height = WebPDemuxGetI(demux.get(), WEBP_FF_CANVAS_HEIGHT);
  if (!platform::frameWithinLimits(width, height)) return nullptr;
  input->canvas_ = {width, height};

  if (WebPDemuxGetI(demux.get(), WEBP_FF_FORMAT_FLAGS) & ICCP_FLAG) {
    WebPChunkIterator chunk;
    if (WebPDemuxGetChunk(demux.get(), "ICCP", 1, &chunk)) {
      input->icc_.assign(chunk.chunk.bytes, chunk.chunk.bytes + chunk.chunk.size);
      WebPDemuxReleaseChunkIterator(&chunk);
    }
  }

  // Plain values out of the iterator, so that it is released on every path at once. The
  // fragment points into |bytes_|, which the input keeps.
  WebPIterator frame;
  if (!WebPDemuxGetFrame(demux.get(), 1, &frame)) return nullptr;
  input->frameBytes_ = {frame.fragment.bytes, frame.fragment.size};
  input->frame_ = {static_cast<uint32_t>(frame.x_offset), static_cast<uint32_t>(frame.y_offset),
                   static_cast<uint32_t>(frame.width), static_cast<uint32_t>(frame.height)};
  WebPDemuxReleaseIterator(&frame);
  // The demuxer has checked that frames lie within the canvas; checked again all the same.
  const platform::PixelRect& f = input->frame_;
  if (!platform::frameWithinLimits(f.width, f.height) || uint64_t{f.x} + f.width > width ||
      uint64_t{f.y} + f.height > height) {
    return nullptr;
  }
  return input;
}

}  // namespace velmo::codec
