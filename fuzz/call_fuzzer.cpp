// Whole "render" or "tile" calls whose argument maps come from the fuzz bytes, against small
// fixed photos: every answer is a result map, a catalogue message or the file system's
// error. The first byte chooses the photo; the rest is one standard-codec message, which
// must be a map to count. "path" and "destination" are always replaced, so that the calls
// read only the fixed photos and write only into a scratch directory.
#include <cstdint>
#include <system_error>
#include <variant>

#include "fuzz/fuzz_support.h"
#include "host/standard_codec.h"
#include "method/arguments.h"
#include "method/error.h"
#include "render/blur_engine.h"
#include "render/render.h"
#include "tile/tile.h"

namespace {

const char* const kPhotos[] = {"camera/grayscale.jpg", "formats/webp_lossy_alpha_small.webp",
                               "formats/png_rgba_interlaced.png",
                               "orientation/hopper_orientation_6.webp"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace velmo;
  static const fuzz::ScratchDirectory scratch;
  if (size < 1) return 0;
  host::EncodableValue value;
  try {
    value = host::decodeMessage(host::ByteView(data + 1, size - 1));
  } catch (const host::CodecError&) {
    return 0;
  }
  if (!method::isArgumentMap(value)) return 0;
  // The decoder keeps the later of repeated keys, so entries appended last win.
  auto& arguments = std::get<host::EncodableMap>(value);
  std::erase_if(arguments, [](const auto& entry) {
    const auto* key = std::get_if<std::string>(&entry.first);
    return key && (*key == "path" || *key == "destination");
  });
  arguments.emplace_back("path", fuzz::testImage(kPhotos[data[0] % std::size(kPhotos)]));
  arguments.emplace_back("destination", scratch.file("out"));
#if defined(VELMO_FUZZ_TILE)
  try {
    (void)tile::tile(arguments);
  } catch (const method::PluginError&) {
  } catch (const std::system_error&) {
  }
#else
  // Large outputs are correct but slow; the checks and the drawing are what is under test.
  const auto width = method::readTruncatedInt64(arguments, "width").value_or(0);
  const auto height = method::readTruncatedInt64(arguments, "height").value_or(0);
  if (width > 0 && height > 0 && width <= 16380 && height <= 16380 && width * height > 1'000'000) {
    return 0;
  }
  static render::BlurEngine blurEngine;
  Diagnostics diagnostics;
  try {
    (void)render::render(arguments, blurEngine, diagnostics);
  } catch (const method::PluginError&) {
  } catch (const std::system_error&) {
  }
#endif
  scratch.clear();
  return 0;
}
