// Private to codec/. What every libwebp decode in this system shares: the file read whole
// within a limit, its features, the canvas (within the frame limits of checked.h), the ICC
// profile and frame 0, and one way of running the decoder into caller memory. The full-image
// decoder and the window reader both read through this.
#pragma once

#include <webp/decode.h>

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "codec/result.h"
#include "platform/input_file.h"
#include "platform/pixel_geometry.h"

namespace velmo::codec {

class WebPInput {
 public:
  // Reads |file| and finds frame 0 (the image itself when the file is still). A Failure when
  // the file is over the size limit, libwebp cannot parse it, the canvas is over the frame
  // limits, or frame 0 does not lie on the canvas.
  static Result<std::unique_ptr<WebPInput>> open(const platform::InputFile& file);

  platform::PixelSize canvas() const { return canvas_; }
  // Alpha as the file declares it.
  bool hasAlpha() const { return hasAlpha_; }
  bool animated() const { return animated_; }
  // The ICCP chunk, empty when there is none.
  const std::vector<uint8_t>& icc() const { return icc_; }
  // The whole file.
  std::span<const uint8_t> bytes() const { return bytes_; }
  // Frame 0's bitstream (with its alpha) and the part of the canvas it covers.
  std::span<const uint8_t> frameBytes() const { return frameBytes_; }
  const platform::PixelRect& frame() const { return frame_; }

  WebPInput(const WebPInput&) = delete;
  WebPInput& operator=(const WebPInput&) = delete;

 private:
  WebPInput() = default;

  std::vector<uint8_t> bytes_;
  platform::PixelSize canvas_;
  bool hasAlpha_ = false;
  bool animated_ = false;
  std::vector<uint8_t> icc_;
  std::span<const uint8_t> frameBytes_;  // points into |bytes_|
  platform::PixelRect frame_;
};

// A failure named after libwebp's |status|.
Failure webpFailure(VP8StatusCode status);

// Decodes |data| (a whole still file, or one frame's bitstream) into |out|: |mode| samples,
// |stride| bytes a row, |size| bytes in all. |setOptions| adjusts the decoder options
// (scaling, cropping) first. Any status but OK, VP8_STATUS_NOT_ENOUGH_DATA (a truncated
// file) included, is a failure, named after its status code.
template <typename SetOptions>
Status decodeWebPInto(std::span<const uint8_t> data, WEBP_CSP_MODE mode, uint8_t* out,
                      size_t stride, size_t size, const SetOptions& setOptions) {
  WebPDecoderConfig config;
  if (!WebPInitDecoderConfig(&config)) return unreadable("libwebp is not the version built for");
  config.options.use_threads = 0;
  setOptions(config.options);
  config.output.colorspace = mode;
  config.output.is_external_memory = 1;
  config.output.u.RGBA.rgba = out;
  config.output.u.RGBA.stride = static_cast<int>(stride);
  config.output.u.RGBA.size = size;
  const VP8StatusCode status = WebPDecode(data.data(), data.size(), &config);
  WebPFreeDecBuffer(&config.output);
  if (status != VP8_STATUS_OK) return webpFailure(status);
  return {};
}

}  // namespace velmo::codec
