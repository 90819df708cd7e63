// Pieces shared by codec's per-format window readers (codec/window_decoder.h): the shrinking
// end every shrinking reader ends in, the row-by-row form of it, and small helpers. Used only
// by codec's own files.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <utility>

#include "codec/png_image.h"
#include "codec/window_decoder.h"
#include "platform/bitmap.h"
#include "platform/color_profile.h"
#include "platform/pixel_geometry.h"
#include "platform/resample.h"

namespace velmo::codec {

namespace window_detail {

// The failure of a shrinker that could not be set up.
inline Failure scalerSetup() {
  return {FailureKind::ScalerSetup, "no memory to set the shrinker up"};
}
// The failure of a shrink that ran out of memory.
inline Failure scalingFailure() {
  return {FailureKind::Scaling, "out of memory while shrinking"};
}

// The answer of WindowRows::next past the last row.
inline Failure pastTheLastRow() {
  return unreadable("asked for a row past the window's last");
}

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
  Result<platform::Bitmap> finish(std::span<const uint8_t> icc, bool greyPixels);

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
  const Failure& failure() const { return failure_; }

 protected:
  Failure failure_;
};

// readWindowShrunk over |source|'s first |rows| rows.
Result<platform::Bitmap> shrinkWhole(WindowShrinker& shrinker, ShrinkSource& source, uint32_t rows,
                                     std::span<const uint8_t> icc, bool greyPixels);

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

  Status next(std::span<uint8_t> row) override;

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

// readWindowShrunk of a reader that feeds a ShrinkSource: |shrinker| (nullptr: ScalerSetup)
// fed with the first |rows| rows of the source |openSource| gives, which is opened only once
// the shrinker is set up; the arguments after it as for shrinkWhole.
template <typename OpenSource>
Result<platform::Bitmap> shrinkWholeFrom(std::unique_ptr<WindowShrinker> shrinker,
                                         OpenSource&& openSource, uint32_t rows,
                                         std::span<const uint8_t> icc, bool greyPixels) {
  if (!shrinker) return scalerSetup();
  Result<std::unique_ptr<ShrinkSource>> source = std::forward<OpenSource>(openSource)();
  if (!source) return source.failure();
  return shrinkWhole(*shrinker, **source, rows, icc, greyPixels);
}

// readWindowShrunkRows of a reader that feeds a ShrinkSource: |rows| (nullptr: ScalerSetup)
// fed from the source |openSource| gives, which is opened only once the shrinker is set up.
template <typename OpenSource>
Result<std::unique_ptr<WindowRows>> shrunkRowsFrom(std::unique_ptr<ShrunkRows> rows,
                                                   OpenSource&& openSource) {
  if (!rows) return scalerSetup();
  Result<std::unique_ptr<ShrinkSource>> source = std::forward<OpenSource>(openSource)();
  if (!source) return source.failure();
  rows->attach(std::move(*source));
  return std::unique_ptr<WindowRows>(std::move(rows));
}

// A |Reader| over a format's opened |input|, or why the input did not open.
template <typename Reader, typename Input, typename... Args>
Result<std::unique_ptr<FrameWindowReader>> readerOver(Result<std::unique_ptr<Input>> input,
                                                      Args&&... args) {
  if (!input) return input.failure();
  return std::unique_ptr<FrameWindowReader>(
      std::make_unique<Reader>(std::move(*input), std::forward<Args>(args)...));
}

// An 8-bit PNG image of |window|'s size and |type|, rows packed, every sample 0. May throw
// std::bad_alloc.
PngImage eightBitImage(const platform::PixelRect& window, PngColorType type);

// The whole window from |rows|: every row read into one image, as readWindow answers.
Result<PngImage> collectRows(Result<std::unique_ptr<WindowRows>> rows);

// Whether |icc|'s header names |colorSpace| ("RGB " or "GRAY") as the data colour space:
// PNG may embed only a profile that matches its pixels.
bool iccDescribes(std::span<const uint8_t> icc, const char (&colorSpace)[5]);

}  // namespace window_detail

}  // namespace velmo::codec
