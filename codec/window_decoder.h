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
// Every reader answers a Failure (codec/result.h) rather than throwing: corrupt data in the rows
// it decodes, a frame over the limits, or lack of memory while decoding. Lack of memory while
// shrinking is reported apart (Scaling), since it is a different failure for the caller.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "codec/image_probe.h"
#include "codec/png_image.h"
#include "codec/result.h"
#include "platform/bitmap.h"
#include "platform/input_file.h"
#include "platform/pixel_geometry.h"

namespace velmo::codec {

// A window's rows one at a time, top to bottom, in the format() they describe: the source's
// own terms from readWindowRows, 8-bit RGBA from readWindowShrunkRows. JPEG and
// non-interlaced PNG decode each row as it is asked for, so a tile can be encoded while the
// source is decoded without the window ever being whole in memory; the other formats hand out
// the rows of a window cut whole. Used from one thread at a time.
class WindowRows {
 public:
  virtual ~WindowRows() = default;

  // The window's size, colour type, bit depth, palette, tRNS and ICC profile; no pixels.
  const PngImage& format() const { return format_; }

  // Fills |row| (exactly the packed row length of format()) with the next row, or says why it
  // cannot be decoded. After a failure, or past the last row, no more rows come.
  virtual Status next(std::span<uint8_t> row) = 0;

 protected:
  PngImage format_;
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
  virtual Result<PngImage> readWindow(const platform::PixelRect& window) = 0;

  // The same pixels row by row. JPEG and PNG decode each row when it is asked for; the other
  // formats cut the window whole (readWindow) and hand it out a row at a time. The reader
  // must outlive the result.
  virtual Result<std::unique_ptr<WindowRows>> readWindowRows(const platform::PixelRect& window);

  // The window shrunk to |size| (each side at least 1 and at most the window's) by area
  // averaging, colour converted to sRGB, premultiplied (the Bitmap layout).
  virtual Result<platform::Bitmap> readWindowShrunk(const platform::PixelRect& window,
                                                    platform::PixelSize size) = 0;

  // The same pixels as a tile writes them, row by row: 8-bit RGBA with the premultiplication
  // undone (rounded to nearest), no ICC profile. JPEG and PNG shrink the rows as they are
  // decoded and hand each row of the result out as soon as it is made; the other formats
  // shrink the window whole first. The reader must outlive the result.
  virtual Result<std::unique_ptr<WindowRows>> readWindowShrunkRows(
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

// Opens frame 0 of |file| (whose probe gave |info|). A Failure when it yields no image: the
// file is cut short, the header cannot be read, a side is 0 (Unreadable), or the frame is over
// the limits of checked.h (OverLimits). |checkpoints| (may be null) is where a PNG's decode resumes
// from and leaves its checkpoints; it must outlive the reader.
Result<std::unique_ptr<FrameWindowReader>> openFrameWindow(
    const platform::InputFile& file, const ImageInfo& info, WindowUse use = WindowUse::Tile,
    DecodeCheckpoints* checkpoints = nullptr);

// The per-format openers behind openFrameWindow. GIF and HEIF decode the whole frame here,
// at opening; the others read only headers until a window is asked for.
Result<std::unique_ptr<FrameWindowReader>> openJpegWindow(const platform::InputFile& file,
                                                          WindowUse use);
Result<std::unique_ptr<FrameWindowReader>> openPngWindow(const platform::InputFile& file,
                                                         DecodeCheckpoints* checkpoints = nullptr);
Result<std::unique_ptr<FrameWindowReader>> openGifWindow(const platform::InputFile& file);
Result<std::unique_ptr<FrameWindowReader>> openWebPWindow(const platform::InputFile& file);
Result<std::unique_ptr<FrameWindowReader>> openHeifWindow(const platform::InputFile& file);

}  // namespace velmo::codec
