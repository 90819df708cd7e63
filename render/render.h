// The "render" method: a photo file turned, cropped, stretched onto a canvas of the requested
// size, annotated, and written as JPEG or PNG under a byte limit.
#pragma once

#include "draw/blur.h"
#include "host/encodable_value.h"

namespace velmo {

using draw::BlurContext;

// Returns the file result map of the written file; throws PluginError with the catalogue
// message of the first failing check, or the file system's error from the write.
host::EncodableMap render(const host::EncodableMap& arguments, BlurContext& blurContext);

}  // namespace velmo
