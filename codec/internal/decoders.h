// Per-format halves of decodeThumbnail (image_decoder.h). Private to platform/.
//
// Each decoder reads image 0 of |file|, refuses a frame over the decode limits of checked.h
// before allocating anything of the frame's size, and returns the frame reduced to
// |target| in its STORED layout (orientation not applied; HEIF, whose transformations
// libheif applies, returns it upright), colour converted to sRGB. nullopt when the data is
// unreadable, truncated or corrupt. They may throw std::bad_alloc; decodeThumbnail turns that
// into nullopt.
#pragma once

#include <cstdint>

#include "codec/image_probe.h"
#include "codec/result.h"
#include "platform/bitmap.h"
#include "platform/input_file.h"
#include "platform/pixel_geometry.h"

namespace velmo::codec::detail {

// The decoded size of a width x height picture under |maxPixelSize|: the longer side
// becomes min(maxPixelSize, longer side), the shorter side follows the aspect ratio,
// rounded half up and at least 1. Never larger than the picture. Width and height may be
// given in either layout (stored or upright): the rule only looks at the longer side.
platform::PixelSize thumbnailSize(uint32_t width, uint32_t height, uint32_t maxPixelSize);

// Each decoder computes its target with thumbnailSize once it knows the frame's size.
Result<platform::Bitmap> decodeJpeg(const platform::InputFile& file, uint32_t maxPixelSize);
Result<platform::Bitmap> decodePng(const platform::InputFile& file, uint32_t maxPixelSize);
Result<platform::Bitmap> decodeGif(const platform::InputFile& file, uint32_t maxPixelSize);
Result<platform::Bitmap> decodeWebP(const platform::InputFile& file, uint32_t maxPixelSize);
// Upright already: libheif applies the file's irot, imir and clap.
Result<platform::Bitmap> decodeHeif(const platform::InputFile& file, uint32_t maxPixelSize);

}  // namespace velmo::codec::detail
