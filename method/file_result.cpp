#include "method/file_result.h"

#include <limits>

#include "method/arguments.h"
#include "platform/input_file.h"

namespace velmo::method {

host::EncodableMap makeFileResult(const std::string& path, const std::string& mime,
                                  host::EncodableValue width, host::EncodableValue height,
                                  uint64_t byteSize) {
  constexpr uint64_t kMax = std::numeric_limits<int64_t>::max();
  return {
      {"path", path},
      {"filename", platform::lastPathComponent(path)},
      {"mimeType", mime},
      {"width", std::move(width)},
      {"height", std::move(height)},
      {"byteSize", integerValue(static_cast<int64_t>(byteSize < kMax ? byteSize : kMax))},
  };
}

}  // namespace velmo::method
