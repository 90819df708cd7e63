// Opening the image named by a call's "path", checking its recorded size, and the
// "metadata" method.
#pragma once

#include <cstdint>
#include <string>

#include "codec/image_probe.h"
#include "host/encodable_value.h"
#include "platform/input_file.h"
#include "platform/pixel_geometry.h"

namespace velmo::source {

// An open image file and what its headers say. The file stays open for the decoders while
// the source lives; it holds no decoded pixels.
struct ImageSource {
  platform::InputFile file;
  codec::ImageInfo info;
};

// Opens "path" of |arguments|. Fails with "無法讀取圖片，請重新選擇" when the map is empty, "path"
// is absent or not a string, or no image can be opened there (not a regular file, or content
// that is not an image this system reads). A "file://" prefix is part of the file name.
ImageSource source(const host::EncodableMap& arguments);
// Opens |path|, read from a call's arguments by the caller; fails as above.
ImageSource source(const std::string& path);

// The recorded (stored) pixel size of image 0, both sides at least 1. Fails with "圖片尺寸無效"
// when it is missing or below 1.
platform::PixelSize properties(const ImageSource& source);

// "metadata": {"width", "height", "frames", "orientation"} of the file at "path": the
// displayed size (width and height exchanged for orientations 5 to 8), the number of images
// and the orientation as stored (1 when absent). Decodes no pixels.
host::EncodableMap metadata(const host::EncodableMap& arguments);

// Describes the image file at |path| as a file result map (method/file_result.h), reporting
// |mime| as its type: "width" and "height" come from metadata() (the displayed size) and any
// failure of it passes up unchanged; "byteSize" is the size of the file, links followed.
host::EncodableMap fileResult(const std::string& path, const std::string& mime);

}  // namespace velmo::source
