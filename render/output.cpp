#include "render/output.h"

#include <optional>
#include <string>
#include <vector>

#include "codec/image_encoder.h"
#include "method/arguments.h"
#include "method/error.h"
#include "method/file_result.h"
#include "platform/atomic_file.h"
#include "platform/input_file.h"

namespace velmo::render {

using namespace std::string_literals;
namespace {

constexpr int kJpegQualities[] = {92, 88, 84};

bool fits(const std::vector<uint8_t>& data, int64_t limit) {
  return limit >= 0 && data.size() <= static_cast<uint64_t>(limit);
}

}  // namespace

host::EncodableMap write(const platform::BitmapView& image, const std::string& destination,
                         bool alpha, int64_t limit) {
  const std::string path = destination + (alpha ? ".png" : ".jpg");

  std::optional<std::vector<uint8_t>> data;
  std::string tried;   // the sizes of the rungs that did not fit, for the reason
  std::string failed;  // the encoder's words when it gave nothing
  auto take = [&](codec::Result<std::vector<uint8_t>> encoded) {
    if (encoded) {
      data = std::move(*encoded);
    } else {
      failed = encoded.failure().detail;
    }
  };
  if (alpha) {
    take(codec::encodePng(image));
  } else {
    for (int quality : kJpegQualities) {
      // A rung that did not fit is dropped before the next is made.
      data.reset();
      take(codec::encodeJpeg(image, quality));
      if (data && fits(*data, limit)) break;
      if (data) {
        tried += (tried.empty() ? "" : ", ") + std::to_string(quality) + ": " +
                 std::to_string(data->size()) + " bytes";
      }
    }
  }
  // The message names 8 MiB whatever the limit; it also covers an encoder that gave nothing.
  if (!data) {
    throw method::fail(method::messages::kOutputTooLarge,
                       std::string("the ") + (alpha ? "PNG" : "JPEG") +
                           " encoder gave nothing for the " + std::to_string(image.width) + " x " +
                           std::to_string(image.height) + " canvas: " + failed);
  }
  if (!fits(*data, limit)) {
    throw method::fail(method::messages::kOutputTooLarge,
                       alpha ? "the PNG is "s + std::to_string(data->size()) +
                                   " bytes, over maxFileBytes " + std::to_string(limit)
                             : "no JPEG quality of the ladder (92, 88, 84) fits maxFileBytes "s +
                                   std::to_string(limit) + " (" + tried + ")");
  }

  platform::writeFileAtomically(path, *data);
  return method::makeFileResult(path, alpha ? "image/png" : "image/jpeg",
                                method::integerValue(image.width),
                                method::integerValue(image.height), data->size());
}

}  // namespace velmo::render
