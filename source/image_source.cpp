#include "source/image_source.h"

#include <limits>

#include "method/arguments.h"
#include "method/error.h"
#include "method/file_result.h"
#include "platform/orientation.h"

namespace velmo::source {

using platform::PixelSize;

ImageSource source(const host::EncodableMap& arguments) {
  if (arguments.empty())
    throw method::fail(method::messages::kUnreadableImage, "the arguments are an empty map");
  const auto path = method::readString(arguments, "path");
  if (!path)
    throw method::fail(method::messages::kUnreadableImage,
                       method::describeMismatch(arguments, "path", "a string"));
  return source(*path);
}

ImageSource source(const std::string& path) {
  std::string why;
  auto file = platform::InputFile::open(path, &why);
  if (!file) throw method::fail(method::messages::kUnreadableImage, path + ": " + why);
  auto info = codec::probeImage(*file);
  // A read error leaves the probe with part of the records; the file was not read.
  if (file->readFailed()) {
    throw method::fail(method::messages::kUnreadableImage,
                       path + ": a read failed while its header was read");
  }
  if (!info) {
    throw method::fail(method::messages::kUnreadableImage,
                       path +
                           ": not an image of a known format (JPEG, PNG, GIF, WebP, HEIF/AVIF), or "
                           "its header is damaged");
  }
  return ImageSource{std::move(*file), *info};
}

PixelSize properties(const ImageSource& source) {
  const auto& info = source.info;
  if (!info.pixelWidth || !info.pixelHeight || *info.pixelWidth < 1 || *info.pixelHeight < 1) {
    const auto side = [](const std::optional<uint64_t>& v) {
      return v ? std::to_string(*v) : std::string("unknown");
    };
    throw method::fail(method::messages::kInvalidImageSize,
                       source.file.path() + ": image 0 has no usable size (" +
                           side(info.pixelWidth) + " x " + side(info.pixelHeight) + ")");
  }
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
      {"width", method::integerValue(int64_t{transposed ? size.height : size.width})},
      {"height", method::integerValue(int64_t{transposed ? size.width : size.height})},
      {"frames", method::integerValue(frames)},
      {"orientation", method::integerValue(orientation)},
  };
}

host::EncodableMap fileResult(const std::string& path, const std::string& mime) {
  const host::EncodableMap properties = metadata({{"path", path}});
  const host::EncodableValue* width = host::findEntry(properties, "width");
  const host::EncodableValue* height = host::findEntry(properties, "height");
  return method::makeFileResult(path, mime, width ? *width : host::EncodableValue(),
                                height ? *height : host::EncodableValue(),
                                platform::fileSize(path));
}

}  // namespace velmo::source
