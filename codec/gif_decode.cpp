// GIF through giflib: frame 0 only, composited on a transparent canvas. The canvas is the
// logical screen, widened to take in all of frame 0 when the frame reaches past it: the size
// the probe reports, so that every method sees one pixel grid.
#include <algorithm>
#include <array>
#include <vector>

#include "codec/internal/decoders.h"
#include "codec/internal/library_owners.h"
#include "platform/checked.h"
#include "platform/resample.h"

namespace velmo::codec::detail {
namespace {

struct GifStream {
  const platform::InputFile* file;
  uint64_t offset;
};

int readGif(GifFileType* gif, GifByteType* destination, int length) {
  if (length <= 0) return 0;
  auto& stream = *static_cast<GifStream*>(gif->UserData);
  const size_t got = stream.file->readAt(stream.offset, {destination, static_cast<size_t>(length)});
  stream.offset += got;
  return static_cast<int>(got);
}

// Reads the records before frame 0, keeping the transparent index of its graphic control
// extension. false at the end of the file or on a read error: there is no frame 0.
bool seekFirstFrame(GifFileType* gif, int& transparentIndex) {
  for (;;) {
    GifRecordType type = UNDEFINED_RECORD_TYPE;
    if (DGifGetRecordType(gif, &type) == GIF_ERROR) return false;
    if (type == IMAGE_DESC_RECORD_TYPE) return true;
    if (type != EXTENSION_RECORD_TYPE) return false;
    int code = 0;
    GifByteType* block = nullptr;
    if (DGifGetExtension(gif, &code, &block) == GIF_ERROR) return false;
    if (code == GRAPHICS_EXT_FUNC_CODE && block != nullptr) {
      GraphicsControlBlock control{};
      if (DGifExtensionToGCB(block[0], block + 1, &control) == GIF_OK) {
        transparentIndex = control.TransparentColor;
      }
    }
    while (block != nullptr) {
      if (DGifGetExtensionNext(gif, &block) == GIF_ERROR) return false;
    }
  }
}

// Frame rows in the order an interlaced frame stores them: every 8th row from 0, every 8th
// from 4, every 4th from 2, every 2nd from 1.
uint32_t interlacedRow(uint32_t index, uint32_t height) {
  const uint32_t pass1 = (height + 7) / 8;
  const uint32_t pass2 = (height + 3) / 8;
  const uint32_t pass3 = (height + 1) / 4;
  if (index < pass1) return index * 8;
  index -= pass1;
  if (index < pass2) return 4 + index * 8;
  index -= pass2;
  if (index < pass3) return 2 + index * 4;
  index -= pass3;
  return 1 + index * 2;
}

constexpr const char* kNoFrame = "the file has no frame";
constexpr const char* kBadLine = "a line of the first frame cannot be decoded";

// giflib's words for the error code |code|, else |otherwise|.
Failure gifFailure(int code, const char* otherwise) {
  const char* words = code != 0 ? GifErrorString(code) : nullptr;
  return unreadable(words != nullptr ? words : otherwise);
}
Failure gifFailure(const GifFileType* gif, const char* otherwise) {
  return gifFailure(gif->Error, otherwise);
}

// Whether frame 0's lines decode, read and dropped one at a time. For a frame placed far into
// a large screen, so that damaged data fails before the canvas around it costs anything.
Status frameLinesDecode(const platform::InputFile& file) {
  GifStream stream{&file, 0};
  int openError = 0;
  GifFile gif(DGifOpen(&stream, readGif, &openError));
  if (!gif) return gifFailure(openError, "giflib cannot open the file");
  int transparentIndex = NO_TRANSPARENT_COLOR;
  if (!seekFirstFrame(gif.get(), transparentIndex)) return gifFailure(gif.get(), kNoFrame);
  if (DGifGetImageDesc(gif.get()) == GIF_ERROR) return gifFailure(gif.get(), kNoFrame);
  const int width = gif->Image.Width, height = gif->Image.Height;
  if (width <= 0 || height <= 0) return unreadable("the first frame is empty");
  std::vector<GifPixelType> line(static_cast<size_t>(width));
  for (int y = 0; y < height; ++y) {
    if (DGifGetLine(gif.get(), line.data(), width) == GIF_ERROR) {
      return gifFailure(gif.get(), kBadLine);
    }
  }
  return {};
}

}  // namespace

Result<platform::Bitmap> decodeGif(const platform::InputFile& file, uint32_t maxPixelSize) {
  GifStream stream{&file, 0};
  int openError = 0;
  GifFile gif(DGifOpen(&stream, readGif, &openError));
  if (!gif) return gifFailure(openError, "giflib cannot open the file");
  if (gif->SWidth <= 0 || gif->SHeight <= 0) return unreadable("the screen is empty");
  const auto screenWidth = static_cast<uint32_t>(gif->SWidth);
  const auto screenHeight = static_cast<uint32_t>(gif->SHeight);

  int transparentIndex = NO_TRANSPARENT_COLOR;
  if (!seekFirstFrame(gif.get(), transparentIndex)) return gifFailure(gif.get(), kNoFrame);
  if (DGifGetImageDesc(gif.get()) == GIF_ERROR) return gifFailure(gif.get(), kNoFrame);
  const GifImageDesc& frame = gif->Image;
  if (frame.Left < 0 || frame.Top < 0 || frame.Width <= 0 || frame.Height <= 0) {
    return unreadable("the first frame is empty");
  }
  const auto left = static_cast<uint32_t>(frame.Left);
  const auto top = static_cast<uint32_t>(frame.Top);
  const auto frameWidth = static_cast<uint32_t>(frame.Width);
  const auto frameHeight = static_cast<uint32_t>(frame.Height);
  // Every field is 16 bits, so the sums cannot overflow.
  const uint32_t canvasWidth = std::max(screenWidth, left + frameWidth);
  const uint32_t canvasHeight = std::max(screenHeight, top + frameHeight);
  if (!platform::frameWithinLimits(canvasWidth, canvasHeight)) {
    return overLimits(canvasWidth, canvasHeight);
  }
  const ColorMapObject* colors = frame.ColorMap != nullptr ? frame.ColorMap : gif->SColorMap;
  if (colors == nullptr || colors->Colors == nullptr) return unreadable("the file has no colours");
  // Blank rows above the frame, or a screen much larger than it, are a few header bytes that
  // ask for a lot of work before the first byte of image data is read: check the frame's data
  // first (one more pass over the frame's lines).
  if (top > 0 || uint64_t{canvasWidth} * canvasHeight > 4 * (uint64_t{frameWidth} * frameHeight)) {
    if (Status lines = frameLinesDecode(file); !lines) return lines.failure();
  }

  const bool covers =
      left == 0 && top == 0 && frameWidth >= screenWidth && frameHeight >= screenHeight;
  const bool hasAlpha = transparentIndex != NO_TRANSPARENT_COLOR || !covers;

  // Palette as Bitmap pixels; indices past the colour table show black, like browsers do.
  std::array<uint32_t, 256> palette;
  palette.fill(0xFF000000u);
  for (int i = 0; i < colors->ColorCount && i < 256; ++i) {
    const GifColorType& c = colors->Colors[i];
    palette[i] = 0xFF000000u | (uint32_t{c.Red} << 16) | (uint32_t{c.Green} << 8) | c.Blue;
  }
  if (transparentIndex >= 0 && transparentIndex < 256) palette[transparentIndex] = 0;

  // The frame lies wholly on the canvas.
  auto composite = [&](const GifPixelType* line, uint32_t* canvasRow) {
    for (uint32_t x = 0; x < frameWidth; ++x) canvasRow[left + x] = palette[line[x]];
  };

  const platform::PixelSize target = thumbnailSize(canvasWidth, canvasHeight, maxPixelSize);
  std::vector<GifPixelType> line(frameWidth);
  auto readLine = [&] {
    return DGifGetLine(gif.get(), line.data(), static_cast<int>(frameWidth)) != GIF_ERROR;
  };

  if (frame.Interlace) {
    // Rows arrive out of order: assemble the canvas, then shrink it.
    platform::Bitmap canvas(canvasWidth, canvasHeight, hasAlpha);
    std::fill(canvas.data(), canvas.data() + platform::checkedMul(canvasWidth, canvasHeight), 0u);
    for (uint32_t i = 0; i < frameHeight; ++i) {
      if (!readLine()) return gifFailure(gif.get(), kBadLine);
      composite(line.data(), canvas.row(top + interlacedRow(i, frameHeight)));
    }
    return platform::shrink(std::move(canvas), target.width, target.height);
  }

  platform::AreaShrinker shrinker(canvasWidth, canvasHeight, target.width, target.height, hasAlpha);
  std::vector<uint32_t> canvasRow(canvasWidth);
  for (uint32_t y = 0; y < canvasHeight; ++y) {
    std::fill(canvasRow.begin(), canvasRow.end(), 0u);
    if (y >= top && y - top < frameHeight) {
      if (!readLine()) return gifFailure(gif.get(), kBadLine);
      composite(line.data(), canvasRow.data());
    }
    shrinker.pushRow(canvasRow.data());
  }
  return shrinker.finish();
}

}  // namespace velmo::codec::detail
