#include "tile/tile.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "codec/image_encoder.h"
#include "codec/window_decoder.h"
#include "method/arguments.h"
#include "method/error.h"
#include "platform/atomic_file.h"
#include "platform/input_file.h"
#include "source/image_source.h"
#include "tile/tile_window.h"

namespace velmo::tile {

using namespace std::string_literals;
namespace {

constexpr size_t kMaxTileBytes = 16'777'216;
constexpr const char* kTileMime = "image/png";

[[noreturn]] void failWindow(const codec::Failure& failure, const std::string& path) {
  switch (failure.kind) {
    case codec::FailureKind::ScalerSetup:
      throw method::fail(method::messages::kCannotCreateTile,
                         "the shrinking of the window could not be set up");
    case codec::FailureKind::OutOfMemory:
      throw method::fail(method::messages::kCannotCreateTile, "not enough memory for the window");
    case codec::FailureKind::Scaling:
      throw method::fail(method::messages::kCannotScaleTile,
                         "the window could not be shrunk to the tile");
    case codec::FailureKind::Unreadable:
    case codec::FailureKind::OverLimits:
      break;
  }
  throw method::fail(method::messages::kCannotReadLongImage,
                     path + ": the window's rows could not be read: "s + failure.detail);
}

// The PNG bytes of the tile. A tile of the window's own size is the window itself, in the
// source's own pixel format; any other size is redrawn: area-averaged into 8-bit sRGB RGBA,
// opaque or not, like the drawing surface it stands for. Either way each row goes to the
// encoder as it is made. JPEG and non-interlaced PNG decode the window's rows only as they
// are asked for, so the window is never whole in memory; interlaced PNG, GIF, WebP and HEIF
// decode the whole frame first and hand the rows out of it (codec/window_decoder.h). The
// encoder holds the filtered tile whole until it deflates it (codec/png_encode.cpp).
std::vector<uint8_t> encodeTile(codec::FrameWindowReader& frame, const platform::PixelRect& window,
                                platform::PixelSize size, const std::string& path) {
  auto opened = size == window.size() ? frame.readWindowRows(window)
                                      : frame.readWindowShrunkRows(window, size);
  if (!opened) failWindow(opened.failure(), path);
  codec::WindowRows& rows = **opened;
  std::optional<codec::Failure> unmade;  // why a row could not be made
  codec::Result<std::vector<uint8_t>> data =
      codec::encodePng(rows.format(), [&](uint32_t, std::span<uint8_t> row) {
        const codec::Status made = rows.next(row);
        if (!made) unmade = made.failure();
        return static_cast<bool>(made);
      });
  if (unmade) failWindow(*unmade, path);
  if (!data) {
    throw method::fail(method::messages::kTileTooLarge,
                       "the PNG encoder gave nothing for the tile: "s + data.failure().detail);
  }
  if (data->size() > kMaxTileBytes) {
    throw method::fail(method::messages::kTileTooLarge,
                       "the tile's PNG is "s + std::to_string(data->size()) +
                           " bytes, over the limit of " + std::to_string(kMaxTileBytes));
  }
  return std::move(*data);
}

}  // namespace

host::EncodableMap tile(const host::EncodableMap& arguments,
                        codec::DecodeCheckpoints* checkpoints) {
  const std::optional<std::string> destination =
      arguments.empty() ? std::nullopt : method::readString(arguments, "destination");
  if (!destination) {
    throw method::fail(method::messages::kNoTileDestination,
                       arguments.empty()
                           ? "the arguments are an empty map"
                           : method::describeMismatch(arguments, "destination", "a string"));
  }
  const std::string tilePath = *destination + ".png";

  // The destination is the cache key: whatever already exists there is the answer, whatever
  // the window, the sample or the source. The file is never rewritten.
  if (platform::pathExists(tilePath)) return source::fileResult(tilePath, kTileMime);

  const source::ImageSource image = source::source(arguments);
  // Frame 0 in its stored grid: the orientation is not applied, windows address the pixels
  // as stored.
  codec::Result<std::unique_ptr<codec::FrameWindowReader>> opened =
      codec::openFrameWindow(image.file, image.info, codec::WindowUse::Tile, checkpoints);
  if (!opened) {
    throw method::fail(method::messages::kCannotReadLongImage,
                       image.file.path() + ": its first frame could not be opened for reading "s +
                           "windows: " + opened.failure().detail);
  }
  const std::unique_ptr<codec::FrameWindowReader> frame = std::move(*opened);

  const platform::PixelRect window =
      clipTileWindow(method::readDouble(arguments, "x").value_or(0),
                     method::readDouble(arguments, "y").value_or(0),
                     method::readDouble(arguments, "width").value_or(0),
                     method::readDouble(arguments, "height").value_or(0), frame->size());
  const double sample = tileSample(method::readDouble(arguments, "sample"));
  const std::optional<platform::PixelSize> size = tileSize(window, sample);
  if (!size) {
    const std::string image = std::to_string(frame->size().width) + " x " +
                              std::to_string(frame->size().height) + " image";
    throw method::fail(method::messages::kInvalidTileWindow,
                       window.width == 0 || window.height == 0
                           ? "the window (\"x\", \"y\", \"width\", \"height\") misses the "s +
                                 image + " or is not finite"
                           : "the "s + std::to_string(window.width) + " x " +
                                 std::to_string(window.height) + " window (clipped to the " +
                                 image + ") at sample " + std::to_string(sample) +
                                 " would give a tile over 2048 pixels on a side");
  }

  const std::vector<uint8_t> data = method::failWhenOutOfMemory(
      method::messages::kCannotCreateTile, "the tile",
      [&] { return encodeTile(*frame, window, *size, image.file.path()); });
  platform::writeFileAtomically(tilePath, data);
  return source::fileResult(tilePath, kTileMime);
}

}  // namespace velmo::tile
