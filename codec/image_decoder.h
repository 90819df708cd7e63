// Decoding image 0 of a file for rendering: upright, reduced, eager.
#pragma once

#include <cstdint>

#include "codec/image_probe.h"
#include "codec/result.h"
#include "platform/bitmap.h"
#include "platform/input_file.h"

namespace velmo::codec {

// Image 0 of |file| decoded upright (the EXIF orientation applied, mirrors included; HEIF
// transformations applied once, never EXIF on top), scaled with its aspect kept so that its
// longer side is at most |maxPixelSize|, never enlarged, colour converted to sRGB.
//
// A Failure when decoding yields no image: a file cut short (even after its last pixel),
// unreadable or corrupt data (its detail the decoding library's words where it gave any), a
// frame over the decode limits of checked.h, or lack of memory. Never throws for bad data or
// lack of memory.
Result<platform::Bitmap> decodeThumbnail(const platform::InputFile& file, const ImageInfo& info,
                                         uint32_t maxPixelSize);

// Image 0 as decodeThumbnail decodes it, before it is laid upright, with the EXIF orientation
// that lays it upright (1 for HEIF, whose transformations are applied in the decode), for a
// caller that turns the picture further in the same permutation.
struct StoredPicture {
  platform::Bitmap pixels;
  int orientation = 1;
};
Result<StoredPicture> decodeStoredThumbnail(const platform::InputFile& file, const ImageInfo& info,
                                            uint32_t maxPixelSize);

}  // namespace velmo::codec
