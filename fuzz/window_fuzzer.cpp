// A window of any file, as "tile" reads it: the input is an image followed by nine bytes that
// choose the window (x, y, width, height as little-endian 16-bit values) and the sample.
// The window is read a second time through the checkpoints that a read of everything above
// it left, as a long-lived plug-in would: the rows and the outcome must be the same.
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "codec/image_probe.h"
#include "codec/window_decoder.h"
#include "fuzz/fuzz_support.h"
#include "platform/input_file.h"
#include "tile/tile_window.h"

namespace {

uint16_t le16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

// The rows of |window| shrunk to |tile| (or as stored, at its own size) one after the
// other, as the tile's encoder takes them; nullopt when the frame or a row fails.
std::optional<std::vector<uint8_t>> readRows(const velmo::platform::InputFile& file,
                                             const velmo::codec::ImageInfo& info,
                                             const velmo::platform::PixelRect& window,
                                             velmo::platform::PixelSize tile,
                                             velmo::codec::DecodeCheckpoints* checkpoints) {
  using namespace velmo;
  auto frame = codec::openFrameWindow(file, info, codec::WindowUse::Tile, checkpoints);
  if (!frame) return std::nullopt;
  auto opened = tile == window.size() ? (*frame)->readWindowRows(window)
                                      : (*frame)->readWindowShrunkRows(window, tile);
  if (!opened) return std::nullopt;
  auto* rows = &*opened;
  const codec::PngImage& format = (*rows)->format();
  const size_t rowBytes =
      codec::pngRowBytes(format.width, format.colorType, format.bitDepth).value_or(0);
  std::vector<uint8_t> all(rowBytes * format.height);
  for (uint32_t y = 0; y < format.height; ++y) {
    if (!(*rows)->next({all.data() + size_t{y} * rowBytes, rowBytes})) return std::nullopt;
  }
  return all;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace velmo;
  constexpr size_t kTrailer = 9;
  if (size < kTrailer) return 0;
  const uint8_t* trailer = data + size - kTrailer;
  const fuzz::MemoryFile memory({data, size - kTrailer});
  if (!memory.ok()) return 0;
  auto file = platform::InputFile::open(memory.path());
  if (!file) return 0;
  auto info = codec::probeImage(*file);
  if (!info) return 0;
  // Frames up to the decode limits are correct but slow under the sanitizers; the limits
  // themselves are tested by the bad-input tests.
  if (info->pixelWidth && info->pixelHeight &&
      *info->pixelWidth * *info->pixelHeight > 16'000'000) {
    return 0;
  }
  auto frame = codec::openFrameWindow(*file, *info);
  if (!frame) return 0;
  const platform::PixelRect window = tile::clipTileWindow(
      le16(trailer), le16(trailer + 2), le16(trailer + 4), le16(trailer + 6), (*frame)->size());
  const double sample = tile::tileSample(1 + trailer[8] % 16);
  const std::optional<platform::PixelSize> tile = tile::tileSize(window, sample);
  if (!tile) return 0;
  const auto plain = readRows(*file, *info, window, *tile, nullptr);
  // Only PNG decodes resume.
  if (info->format != codec::ImageFormat::Png) return 0;
  codec::DecodeCheckpoints checkpoints;
  const platform::PixelSize frameSize = (*frame)->size();
  readRows(*file, *info, {0, 0, frameSize.width, window.y + window.height},
           {frameSize.width, window.y + window.height}, &checkpoints);
  if (readRows(*file, *info, window, *tile, &checkpoints) != plain) __builtin_trap();
  return 0;
}
