// What an image file says about itself, read from its headers without decoding pixels.
//
// The format is recognised by content, never by the file name. The reads are bounded: only
// header records are parsed, frames are counted by walking the file's structure, and no
// allocation grows with the declared pixel count.
#pragma once

#include <cstdint>
#include <optional>

#include "platform/input_file.h"

namespace velmo::codec {

enum class ImageFormat { Jpeg, Png, Gif, WebP, Heif };

struct ImageInfo {
  ImageFormat format = ImageFormat::Jpeg;
  // Stored pixel size of image 0 as the file records it (it may be 0). nullopt when the file
  // is recognised but its header cannot be read.
  std::optional<uint64_t> pixelWidth;
  std::optional<uint64_t> pixelHeight;
  // The EXIF orientation exactly as stored (0, 9 or 65535 included), when the file has one.
  std::optional<int64_t> orientation;
  // Number of images: frames of an animation, top-level images of a HEIF file, else 1.
  uint64_t frameCount = 1;
  // Alpha as the format declares it (see bitmap.h).
  bool hasAlpha = false;
};

// nullopt when the content is not an image format this system reads. That is an answer about
// the file, not a failure of the probe, so it is not a codec Result.
std::optional<ImageInfo> probeImage(const platform::InputFile& file);

}  // namespace velmo::codec
