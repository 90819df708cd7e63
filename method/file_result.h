// The file result map that "render" and "tile" answer with:
//   {"path", "filename", "mimeType", "width", "height", "byteSize"}, in that order.
#pragma once

#include <cstdint>
#include <string>

#include "host/encodable_value.h"

namespace velmo::method {

// "filename" is the last component of |path|; "byteSize" saturates at INT64_MAX. Integers are
// written as integerValue does (arguments.h).
host::EncodableMap makeFileResult(const std::string& path, const std::string& mime,
                                  host::EncodableValue width, host::EncodableValue height,
                                  uint64_t byteSize);

}  // namespace velmo::method
