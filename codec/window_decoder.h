// Reading one window of an image's first frame, in its stored pixel grid (the orientation is
// not applied), in memory that grows with the window rather than with the image.
//
// JPEG and non-interlaced PNG decode only the rows down to the window's bottom edge: rows
// above the window are skipped or read and dropped, and only the window's columns are kept.
// A non-interlaced still PNG read with a DecodeCheckpoints store starts at the nearest
// checkpoint an earlier window of the same file left at or above the window's top.
// Interlaced PNG, GIF, WebP and HEIF decode the whole frame (within the frame limits of
// checked.h) and cut the window out of it.
//
// A file cut short yields no image at opening, wherever the window lies, as it does for the
// full decoder. Damage inside the compressed data is found only in the rows a reader decodes.
//
// Every reader answers "no image" rather than throwing: corrupt data in the rows it decodes, a
// frame over the limits, or lack of memory while decoding. Lack of memory while shrinking is
// reported apart, since it is a different failure for the caller.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "codec/image_encoder.h"
#include "codec/image_probe.h"
#include "platform/bitmap.h"
#include "platform/color_profile.h"
#include "platform/input_file.h"
#include "platform/pixel_geometry.h"
#include "platform/resample.h"

namespace velmo::codec {

enum class WindowFailure {
  // The window's data cannot be decoded (corrupt or truncated).
  Unreadable,
  // No memory for the window's pixels.
  OutOfMemory,
  // The shrinker, or the colour conversion feeding it, could not be set up.
  ScalerSetup,
  // Lack of memory while shrinking.
  Scaling,
};

template <typename T>
using WindowResult = std::variant<T, WindowFailure>;

// A window's rows one at a time, top to bottom, in the source's own terms (as readWindow
// gives them), decoded as they are asked for: a tile can be encoded while the source is
// decoded, without the window ever being whole in memory. Used from one thread at a time.
class WindowRows {
 public:
  virtual ~WindowRows() = default;

  // The window's size, colour type, bit depth, palette, tRNS and ICC profile; no pixels.
  const PngImage& format() const { return format_; }

  // Fills |row| (exactly the packed row length of format()) with the next row; false when it
  // cannot be decoded. After a failure, or past the last row, no more rows come.
  virtual bool next(std::span<uint8_t> row) = 0;
  // Why next() gave false.
  WindowFailure failure() const { return failure_; }

 protected:
  PngImage format_;
  WindowFailure failure_ = WindowFailure::Unreadable;
};

// Frame 0 of an image, opened for reading one window. The InputFile must outlive the reader;
// a reader reads at most one window (the data is streamed once).
class FrameWindowReader {
 public:
  virtual ~FrameWindowReader() = default;

  // The stored pixel size of the frame as the decoder sees it.
  virtual platform::PixelSize size() const = 0;

  // Every |window| below is in whole pixels of the stored frame, inside the frame and not
  // empty.

  // The window's pixels in the source's own terms, exact, for a tile without redraw:
  // - PNG: the same colour type and bit depth, with its palette, tRNS and ICC profile;
  // - JPEG: 8-bit RGB (grey for a greyscale JPEG) with its ICC profile; CMYK is converted to
  //   sRGB, since PNG cannot carry a CMYK profile;
  // - GIF, WebP, HEIF: 8-bit RGBA when the format declares alpha, else RGB, with any ICC
  //   profile, colour not premultiplied.
  virtual WindowResult<PngImage> readWindow(const platform::PixelRect& window) = 0;

  // The same pixels row by row. JPEG and PNG decode each row when it is asked for; the other
  // formats cut the window whole (readWindow) and hand it out a row at a time. The reader
  // must outlive the result.
  virtual WindowResult<std::unique_ptr<WindowRows>> readWindowRows(
      const platform::PixelRect& window);

  // The window shrunk to |size| (each side at least 1 and at most the window's) by area
  // averaging, colour converted to sRGB, premultiplied (the Bitmap layout).
  virtual WindowResult<platform::Bitmap> readWindowShrunk(const platform::PixelRect& window,
                                                          platform::PixelSize size) = 0;

  // The same pixels as a tile writes them, row by row: 8-bit RGBA with the premultiplication
  // undone (rounded to nearest), no ICC profile. JPEG and PNG shrink the rows as they are
  // decoded and hand each row of the result out as soon as it is made; the other formats
  // shrink the window whole first. The reader must outlive the result.
  virtual WindowResult<std::unique_ptr<WindowRows>> readWindowShrunkRows(
      const platform::PixelRect& window, platform::PixelSize size);
};

struct FileIdentity;
struct PngFileCheckpoints;

// Where the decodes of the files a long-lived caller reads windows of can resume: a later
// window of a file starts near its first row instead of at the top (non-interlaced PNG; see
// codec/internal/png_stream.h). A file is known by its device, inode, size and modification
// time to the nanosecond, so a file replaced or rewritten is read afresh. Bounded: at most
// |perFileBytes| of checkpoints for each of the |files| files read most recently, the least
// recently read dropped first. Used from one thread at a time.
class DecodeCheckpoints {
 public:
  static constexpr size_t kPerFileBytes = size_t{1} << 20;
  static constexpr size_t kFiles = 4;

  explicit DecodeCheckpoints(size_t perFileBytes = kPerFileBytes, size_t files = kFiles);
  ~DecodeCheckpoints();
  DecodeCheckpoints(const DecodeCheckpoints&) = delete;
  DecodeCheckpoints& operator=(const DecodeCheckpoints&) = delete;

  // The bytes the checkpoints of every file take now.
  size_t bytes() const;
  // The checkpoints of the file |identity| names, whose image has |height| rows of |rowBytes|
  // bytes; made empty when the file is new to the store.
  std::shared_ptr<PngFileCheckpoints> forFile(const FileIdentity& identity, uint32_t height,
                                              size_t rowBytes);

 private:
  size_t perFileBytes_;
  size_t files_;
  std::vector<std::shared_ptr<PngFileCheckpoints>> recent_;  // most recently read first
};

// What a shrunk window is for, which decides how far a JPEG's DCT-scaled decode may go below
// the full size before the area average (codec/internal/jpeg_input.h). Other formats decode
// at full size either way.
enum class WindowUse {
  // A tile among its neighbours: twice the target, so that its edges fall within a quarter of
  // a tile pixel of where they belong.
  Tile,
  // A picture of its own (the crop of a render): the whole picture's margin.
  Picture,
};

// Opens frame 0 of |file| (whose probe gave |info|). nullptr when it yields no image: the
// file is cut short, the header cannot be read, a side is 0, or the frame is over the limits
// of checked.h. |checkpoints| (may be null) is where a PNG's decode resumes from and leaves
// its checkpoints; it must outlive the reader.
std::unique_ptr<FrameWindowReader> openFrameWindow(const platform::InputFile& file,
                                                   const ImageInfo& info,
                                                   WindowUse use = WindowUse::Tile,
                                                   DecodeCheckpoints* checkpoints = nullptr);

// The per-format openers behind openFrameWindow. GIF and HEIF decode the whole frame here,
// at opening; the others read only headers until a window is asked for.
std::unique_ptr<FrameWindowReader> openJpegWindow(const platform::InputFile& file, WindowUse use);
std::unique_ptr<FrameWindowReader> openPngWindow(const platform::InputFile& file,
                                                 DecodeCheckpoints* checkpoints = nullptr);
std::unique_ptr<FrameWindowReader> openGifWindow(const platform::InputFile& file);
std::unique_ptr<FrameWindowReader> openWebPWindow(const platform::InputFile& file);
std::unique_ptr<FrameWindowReader> openHeifWindow(const platform::InputFile& file);

// Pieces shared by the per-format readers.
namespace window_detail {

// The end of every shrinking reader: rows of the window (or of a reduced decode of it) go
// into an area-average shrinker, and the result is colour converted to sRGB.
class WindowShrinker {
 public:
  // nullptr when the shrinker cannot be made (a ScalerSetup failure). Requires
  // 1 <= target <= source on both axes.
  static std::unique_ptr<WindowShrinker> make(platform::PixelSize source,
                                              platform::PixelSize target, bool hasAlpha);

  // |row| holds source.width Bitmap pixels; rows come top to bottom.
  void pushRow(const uint32_t* row) { shrinker_.pushRow(row); }

  // The shrunk window, converted to sRGB from the colour space |icc| describes (empty or
  // unusable: sRGB already). |greyPixels|: the rows came from a grey image (R = G = B).
  WindowResult<platform::Bitmap> finish(std::span<const uint8_t> icc, bool greyPixels);

  explicit WindowShrinker(platform::AreaShrinker shrinker) : shrinker_(std::move(shrinker)) {}

 private:
  platform::AreaShrinker shrinker_;
};

// The rows a shrinking reader feeds its shrinker, top to bottom: the window's own, or those
// of a reduced decode of it, as Bitmap pixels.
class ShrinkSource {
 public:
  virtual ~ShrinkSource() = default;
  // The next row, valid until the next call; nullptr when it cannot be decoded, failure()
  // then saying why.
  virtual const uint32_t* nextRow() = 0;
  WindowFailure failure() const { return failure_; }

 protected:
  WindowFailure failure_ = WindowFailure::Unreadable;
};

// readWindowShrunk over |source|'s first |rows| rows.
WindowResult<platform::Bitmap> shrinkWhole(WindowShrinker& shrinker, ShrinkSource& source,
                                           uint32_t rows, std::span<const uint8_t> icc,
                                           bool greyPixels);

// readWindowShrunkRows over a ShrinkSource: each pull shrinks as many source rows as the next
// row of the result needs, then converts that row alone to sRGB and undoes its
// premultiplication, so the pixels are readWindowShrunk's.
class ShrunkRows final : public WindowRows {
 public:
  // nullptr when the shrinker or the colour conversion cannot be set up (ScalerSetup); the
  // arguments as for WindowShrinker::make and finish. The source comes afterwards (attach),
  // so that a reader sets the shrinker up before it starts decoding, as readWindowShrunk does.
  static std::unique_ptr<ShrunkRows> make(platform::PixelSize source, platform::PixelSize target,
                                          bool hasAlpha, std::span<const uint8_t> icc,
                                          bool greyPixels);
  void attach(std::unique_ptr<ShrinkSource> source) { source_ = std::move(source); }

  bool next(std::span<uint8_t> row) override;

  ShrunkRows(platform::PixelSize source, platform::PixelSize target, bool hasAlpha);

 private:
  std::unique_ptr<ShrinkSource> source_;
  platform::AreaShrinker shrinker_;
  std::optional<platform::ColorConverter> toSrgb_;
  platform::Bitmap row_;  // the row of the result just made
  uint32_t sourceRows_;
  uint32_t pushed_ = 0;
  bool ready_ = false;
  bool finished_ = false;
};

// A |Reader| over a format's opened |input|; nullptr when the input did not open.
template <typename Reader, typename Input, typename... Args>
std::unique_ptr<FrameWindowReader> readerOver(std::unique_ptr<Input> input, Args&&... args) {
  if (!input) return nullptr;
  return std::make_unique<Reader>(std::move(input), std::forward<Args>(args)...);
}

// An 8-bit PNG image of |window|'s size and |type|, rows packed, every sample 0. May throw
// std::bad_alloc.
PngImage eightBitImage(const platform::PixelRect& window, PngColorType type);

// The whole window from |rows|: every row read into one image, as readWindow answers.
WindowResult<PngImage> collectRows(WindowResult<std::unique_ptr<WindowRows>> rows);

// Whether |icc|'s header names |colorSpace| ("RGB " or "GRAY") as the data colour space:
// PNG may embed only a profile that matches its pixels.
bool iccDescribes(std::span<const uint8_t> icc, const char (&colorSpace)[5]);

}  // namespace window_detail

}  // namespace velmo::codec
