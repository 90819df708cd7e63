// The orientation tag of an EXIF block, read from IFD0 only.
//
// IFD1 describes the embedded thumbnail and may carry an orientation of its own, so a general
// tag lookup would find the wrong one. The value is returned exactly as stored (0, 9 or 65535
// included): deciding what an odd value means is the caller's business.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace velmo::codec {

// |tiff| starts at the TIFF header ("II*\0" or "MM\0*"). nullopt when the header or IFD0 is
// malformed, or IFD0 holds no orientation entry of an integer type.
std::optional<int64_t> tiffOrientation(std::span<const uint8_t> tiff);

// The same for a block that may start with the "Exif\0\0" identifier (as JPEG APP1 segments
// always do, and PNG eXIf and WebP EXIF chunks sometimes do).
std::optional<int64_t> exifOrientation(std::span<const uint8_t> block);

}  // namespace velmo::codec
