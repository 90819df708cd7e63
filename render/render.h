// The "render" method: a photo file turned, cropped, stretched onto a canvas of the requested
// size, annotated, and written as JPEG or PNG under a byte limit.
#pragma once

#include "host/encodable_value.h"
#include "method/diagnostics.h"

namespace velmo::render {

class BlurEngine;

// Returns the file result map of the written file; throws PluginError with the catalogue
// message of the first failing check, or the file system's error from the write. What the
// reading of |arguments| forgave goes to |diagnostics| as warnings.
host::EncodableMap render(const host::EncodableMap& arguments, const BlurEngine& blurEngine,
                          Diagnostics& diagnostics);

}  // namespace velmo::render
