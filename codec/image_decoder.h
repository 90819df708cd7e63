// Decoding image 0 of a file for rendering: upright, reduced, eager.
#pragma once

#include <cstdint>
#include <optional>

#include "codec/image_probe.h"
#include "platform/bitmap.h"
#include "platform/input_file.h"
#include "platform/pixel_geometry.h"

namespace velmo::platform {

// Image 0 of |file| decoded upright (the EXIF orientation applied, mirrors included; HEIF
// transformations applied once, never EXIF on top), scaled with its aspect kept so that its
// longer side is at most |maxPixelSize|, never enlarged, colour converted to sRGB.
//
// nullopt when decoding yields no image: a file cut short (even after its last pixel),
// unreadable or corrupt data, or a frame over the decode limits of checked.h. Never throws
// for bad data or lack of memory.
std::optional<Bitmap> decodeThumbnail(const InputFile& file, const ImageInfo& info,
                                      uint32_t maxPixelSize);

// The part |region| of a JPEG's frame (stored pixels: inside the frame, not empty) shrunk to
// |size| (each side from 1 to the region's) by area averaging, in its STORED layout (the
// orientation is not applied), colour converted to sRGB. Only the region's rows and iMCU
// columns are decoded, at the smallest DCT scale that keeps the margin a whole picture keeps
// over |size|, and rows below the region are never read. nullopt as for decodeThumbnail, and
// for a region or size outside those bounds or a file that is not a JPEG.
std::optional<Bitmap> decodeJpegRegion(const InputFile& file, const ImageInfo& info,
                                       const PixelRect& region, PixelSize size);

}  // namespace velmo::platform
