#include "codec/internal/webp_input.h"

#include <webp/demux.h>

#include <iterator>
#include <string>

#include "codec/internal/library_owners.h"
#include "platform/checked.h"

namespace velmo::codec {
namespace {

// libwebp decodes from memory, so the file is read whole. Real WebP files are far smaller:
// the format caps the canvas at 16384 x 16384.
constexpr uint64_t kMaxWebPFileBytes = uint64_t{256} << 20;

}  // namespace

Failure webpFailure(VP8StatusCode status) {
  // libwebp has no message text; its status names, in the order of VP8StatusCode.
  static constexpr const char* kNames[] = {"VP8_STATUS_OK",
                                           "VP8_STATUS_OUT_OF_MEMORY",
                                           "VP8_STATUS_INVALID_PARAM",
                                           "VP8_STATUS_BITSTREAM_ERROR",
                                           "VP8_STATUS_UNSUPPORTED_FEATURE",
                                           "VP8_STATUS_SUSPENDED",
                                           "VP8_STATUS_USER_ABORT",
                                           "VP8_STATUS_NOT_ENOUGH_DATA"};
  const auto index = static_cast<size_t>(status);
  if (index < std::size(kNames)) return unreadable(kNames[index]);
  std::string detail = "libwebp status ";
  return unreadable(detail.append(std::to_string(static_cast<int>(status))));
}

Result<std::unique_ptr<WebPInput>> WebPInput::open(const platform::InputFile& file) {
  std::unique_ptr<WebPInput> input(new WebPInput());
  auto bytes = file.readAll(kMaxWebPFileBytes);
  if (!bytes) return unreadable("the file cannot be read whole (or is over 256 MiB)");
  input->bytes_ = std::move(*bytes);
  const std::vector<uint8_t>& data = input->bytes_;
  WebPBitstreamFeatures features;
  if (const VP8StatusCode status = WebPGetFeatures(data.data(), data.size(), &features);
      status != VP8_STATUS_OK) {
    return webpFailure(status);
  }
  input->hasAlpha_ = features.has_alpha != 0;
  input->animated_ = features.has_animation != 0;

  const WebPData whole{data.data(), data.size()};
  const WebPDemuxHandle demux(WebPDemux(&whole));
  if (!demux) return unreadable("libwebp's demuxer cannot parse the file");
  const uint32_t width = WebPDemuxGetI(demux.get(), WEBP_FF_CANVAS_WIDTH);
  const uint32_t height = WebPDemuxGetI(demux.get(), WEBP_FF_CANVAS_HEIGHT);
  if (!platform::frameWithinLimits(width, height)) return overLimits(width, height);
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
  if (!WebPDemuxGetFrame(demux.get(), 1, &frame)) return unreadable("the file has no frame");
  input->frameBytes_ = {frame.fragment.bytes, frame.fragment.size};
  input->frame_ = {static_cast<uint32_t>(frame.x_offset), static_cast<uint32_t>(frame.y_offset),
                   static_cast<uint32_t>(frame.width), static_cast<uint32_t>(frame.height)};
  WebPDemuxReleaseIterator(&frame);
  // The demuxer has checked that frames lie within the canvas; checked again all the same.
  const platform::PixelRect& f = input->frame_;
  if (!platform::frameWithinLimits(f.width, f.height) || uint64_t{f.x} + f.width > width ||
      uint64_t{f.y} + f.height > height) {
    return unreadable("the first frame does not lie on the canvas");
  }
  return input;
}

}  // namespace velmo::codec
