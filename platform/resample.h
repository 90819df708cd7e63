// High-quality shrinking of a stream of rows, in bounded memory.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "platform/bitmap.h"

namespace velmo::platform {

// Area averaging: every destination pixel is the mean of the source area it covers, partly
// covered source pixels weighted by their share. Works on premultiplied pixels, so
// transparent pixels do not darken their neighbours, and never blurs more than the scale
// requires. Rows are pushed top to bottom; memory is two accumulator rows plus the output.
// Requires 1 <= dst <= src on both axes.
class AreaShrinker {
 public:
  AreaShrinker(uint32_t srcWidth, uint32_t srcHeight, uint32_t dstWidth, uint32_t dstHeight,
               bool hasAlpha);
  // As above, but each destination row goes to |onRow| (dstWidth pixels, valid during the
  // call) as soon as it is complete, top to bottom, instead of into the bitmap that finish()
  // returns, which is then empty: memory stays at a few rows whatever the destination's
  // height. The pixels are the same.
  AreaShrinker(uint32_t srcWidth, uint32_t srcHeight, uint32_t dstWidth, uint32_t dstHeight,
               bool hasAlpha, std::function<void(const uint32_t* row)> onRow);

  // |row| holds srcWidth pixels.
  void pushRow(const uint32_t* row);
  uint32_t rowsPushed() const { return rowsPushed_; }
  // The result; valid once all srcHeight rows are in.
  Bitmap finish();

 private:
  // The source pixels [first, last] that one destination pixel covers; the first and last
  // only partly (by their weights), those between wholly.
  struct Span {
    uint32_t first;
    uint32_t last;
    float firstWeight;
    float lastWeight;
  };
  // The destination rows one source row feeds: |first| with its weight, first + 1 with the
  // rest.
  struct Tap {
    uint32_t first;
    float weightFirst;
  };
  static std::vector<Span> spans(uint32_t src, uint32_t dst);
  static std::vector<Tap> taps(uint32_t src, uint32_t dst);
  template <int Channels>
  void reduceRow(const uint32_t* row);
  void emitRow(uint32_t y, const float* accumulated);

  uint32_t srcWidth_, srcHeight_, dstWidth_, dstHeight_;
  int channels_;  // 4 with alpha, 3 without
  std::vector<Span> xSpans_;
  std::vector<Tap> yTaps_;
  std::vector<float> horizontal_;  // current source row reduced to dstWidth
  std::vector<float> current_, next_;
  uint32_t currentRow_ = 0;
  uint32_t rowsPushed_ = 0;
  float scale_;  // 1 / (source pixels per destination pixel)
  std::function<void(const uint32_t* row)> onRow_;
  Bitmap out_;  // the destination, or its one row being handed to onRow_
};

// Shrinks a whole bitmap (see AreaShrinker); returns |source| moved when the size is equal.
Bitmap shrink(Bitmap source, uint32_t dstWidth, uint32_t dstHeight);

}  // namespace velmo::platform
