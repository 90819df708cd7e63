#include "source/image_source.h"

#include <limits>

#include "method/arguments.h"
#include "method/error.h"
#include "method/file_result.h"
#include "platform/orientation.h"

namespace velmo {

ImageSource source(const host::EncodableMap& arguments) {
  if (arguments.empty()) throw fail(messages::kUnreadableImage);
  auto path = readString(arguments, "path");
  if (!path) throw fail(messages::kUnreadableImage);
  auto file = platform::InputFile::open(*path);
  if (!file) throw fail(messages::kUnreadableImage);
  auto info = platform::probeImage(*file);
  // A read error leaves the probe with part of the records; the file was not read.
  if (!info || file->readFailed()) throw fail(messages::kUnreadableImage);
  return ImageSource{std::move(*file), *info};
}

PixelSize properties(const ImageSource& source) {
  const auto& info = source.info;
  if (!info.pixelWidth || !info.pixelHeight) throw fail(messages::kInvalidImageSize);
  if (*info.pixelWidth < 1) throw fail(messages::kInvalidImageSize);
  if (*info.pixelHeight < 1) throw fail(messages::kInvalidImageSize);
  // Every format read here records its sides in at most 32 bits (PNG and HEIF) or fewer.
  constexpr uint64_t kMax = std::numeric_limits<uint32_t>::max();
  return {static_cast<uint32_t>(std::min(*info.pixelWidth, kMax)),
          static_cast<uint32_t>(std::min(*info.pixelHeight, kMax))};
}

host::EncodableMap metadata(const host::EncodableMap& arguments) {
  const ImageSource image = source(arguments);
  const PixelSize size = properties(image);
  const int64_t orientation = image.info.orientation.value_or(1);
  // Orientations 5 to 8 turn the stored image by a quarter turn.
  const bool transposed = platform::orientationSwapsAxes(orientation);
  const int64_t frames = static_cast<int64_t>(
      std::min<uint64_t>(image.info.frameCount, std::numeric_limits<int64_t>::max()));
  return {
      {"width", integerValue(int64_t{transposed ? size.height : size.width})},
      {"height", integerValue(int64_t{transposed ? size.width : size.height})},
      {"frames", integerValue(frames)},
      {"orientation", integerValue(orientation)},
  };
}

host::EncodableMap fileResult(const std::string& path, const std::string& mime) {
  const host::EncodableMap properties = metadata({{"path", path}});
  const host::EncodableValue* width = host::findEntry(properties, "width");
  const host::EncodableValue* height = host::findEntry(properties, "height");
  return makeFileResult(path, mime, width ? *width : host::EncodableValue(),
                        height ? *height : host::EncodableValue(), platform::fileSize(path));
}

}  // namespace velmo
