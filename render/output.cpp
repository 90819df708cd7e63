#include "render/output.h"

#include <limits>
#include <optional>
#include <vector>

#include "platform/atomic_file.h"
#include "platform/image_encoder.h"
#include "platform/input_file.h"
#include "plugin/arguments.h"
#include "plugin/error.h"
#include "source/image_source.h"

namespace velmo {
namespace {

constexpr int kJpegQualities[] = {92, 88, 84};

bool fits(const std::vector<uint8_t>& data, int64_t limit) {
  return limit >= 0 && data.size() <= static_cast<uint64_t>(limit);
}

int64_t toInt64(uint64_t value) {
  constexpr uint64_t kMax = std::numeric_limits<int64_t>::max();
  return static_cast<int64_t>(value < kMax ? value : kMax);
}

host::EncodableMap fileResultMap(const std::string& path, const std::string& mime,
                                 host::EncodableValue width, host::EncodableValue height,
                                 int64_t byteSize) {
  return {
      {"path", path},
      {"filename", platform::lastPathComponent(path)},
      {"mimeType", mime},
      {"width", std::move(width)},
      {"height", std::move(height)},
      {"byteSize", integerValue(byteSize)},
  };
}

}  // namespace

host::EncodableMap write(const platform::BitmapView& image, const std::string& destination,
                         bool alpha, int64_t limit) {
  const std::string path = destination + (alpha ? ".png" : ".jpg");

  std::optional<std::vector<uint8_t>> data;
  if (alpha) {
    data = platform::encodePng(image);
  } else {
    for (int quality : kJpegQualities) {
      // A rung that did not fit is dropped before the next is made.
      data.reset();
      data = platform::encodeJpeg(image, quality);
      if (data && fits(*data, limit)) break;
    }
  }
  // The message names 8 MiB whatever the limit; it also covers an encoder that gave nothing.
  if (!data || !fits(*data, limit)) throw fail(messages::kOutputTooLarge);

  platform::writeFileAtomically(path, *data);
  return fileResultMap(path, alpha ? "image/png" : "image/jpeg", integerValue(image.width),
                       integerValue(image.height), toInt64(data->size()));
}

host::EncodableMap fileResult(const std::string& path, const std::string& mime) {
  const host::EncodableMap properties = metadata({{"path", path}});
  const uint64_t size = platform::fileSize(path);
  const host::EncodableValue* width = host::findEntry(properties, "width");
  const host::EncodableValue* height = host::findEntry(properties, "height");
  return fileResultMap(path, mime, width ? *width : host::EncodableValue(),
                       height ? *height : host::EncodableValue(), toInt64(size));
}

}  // namespace velmo
