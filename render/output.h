// Turning a finished render into a file on disk, answered with the file result map.
#pragma once

#include <cstdint>
#include <string>

#include "host/encodable_value.h"
#include "platform/bitmap.h"

namespace velmo::render {

// Encodes |image| and writes it to |destination| plus ".png" (when |alpha|) or ".jpg"; the
// extension is always appended, never substituted. PNG is encoded once; JPEG goes down the
// quality ladder 92, 88, 84 and takes the first encoding of at most |limit| bytes (the last
// rung whatever its size). Encoded data over |limit|, or no data, fails with the "over
// 8 MiB" message and writes nothing. The write is atomic (platform/atomic_file.h) and its
// std::system_error passes up unchanged. "width" and "height" are the bitmap's size,
// "byteSize" the length of the written data.
host::EncodableMap write(const platform::BitmapView& image, const std::string& destination,
                         bool alpha, int64_t limit);

}  // namespace velmo::render
