#include "platform/resample.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <utility>

namespace velmo::platform {
namespace {

// Channels kept per pixel: alpha, red, green, blue for bitmaps with alpha; opaque bitmaps
// skip alpha, which is 255 throughout.
template <int Channels>
inline void unpack(uint32_t p, uint32_t* c) {
  if constexpr (Channels == 4) {
    c[0] += p >> 24;
    c[1] += (p >> 16) & 0xFF;
    c[2] += (p >> 8) & 0xFF;
    c[3] += p & 0xFF;
  } else {
    c[0] += (p >> 16) & 0xFF;
    c[1] += (p >> 8) & 0xFF;
    c[2] += p & 0xFF;
  }
}

template <int Channels>
inline void addWeighted(uint32_t p, float w, float* out) {
  if constexpr (Channels == 4) {
    out[0] += static_cast<float>(p >> 24) * w;
    out[1] += static_cast<float>((p >> 16) & 0xFF) * w;
    out[2] += static_cast<float>((p >> 8) & 0xFF) * w;
    out[3] += static_cast<float>(p & 0xFF) * w;
  } else {
    out[0] += static_cast<float>((p >> 16) & 0xFF) * w;
    out[1] += static_cast<float>((p >> 8) & 0xFF) * w;
    out[2] += static_cast<float>(p & 0xFF) * w;
  }
}

}  // namespace

std::vector<AreaShrinker::Span> AreaShrinker::spans(uint32_t src, uint32_t dst) {
  // Destination pixel j covers [j * src / dst, (j + 1) * src / dst) of the source: whole
  // source pixels inside, and a share of the partly covered first and last ones.
  std::vector<Span> result(dst);
  for (uint32_t j = 0; j < dst; ++j) {
    const uint64_t startNum = uint64_t{j} * src;    // start = startNum / dst
    const uint64_t endNum = uint64_t{j + 1} * src;  // end = endNum / dst
    const auto first = static_cast<uint32_t>(startNum / dst);
    const auto last = static_cast<uint32_t>((endNum - 1) / dst);  // last source pixel touched
    Span& span = result[j];
    span.first = first;
    span.last = last;
    // Coverage of the first and last source pixels, exact in the integers' ratio.
    const double firstCover = static_cast<double>((uint64_t{first} + 1) * dst - startNum) / dst;
    const double lastCover = static_cast<double>(endNum - uint64_t{last} * dst) / dst;
    span.firstWeight = static_cast<float>(std::min(1.0, firstCover));
    span.lastWeight = static_cast<float>(std::min(1.0, lastCover));
  }
  return result;
}

std::vector<AreaShrinker::Tap> AreaShrinker::taps(uint32_t src, uint32_t dst) {
  // Source row i covers [i, i + 1); with src >= dst it meets at most two destination rows.
  std::vector<Tap> result(src);
  for (uint32_t i = 0; i < src; ++i) {
    uint64_t j = uint64_t{i} * dst / src;
    double boundary = static_cast<double>((j + 1) * src) / dst;
    double overlap = std::min(1.0, boundary - i);
    result[i] = {static_cast<uint32_t>(j), static_cast<float>(overlap)};
  }
  return result;
}

AreaShrinker::AreaShrinker(uint32_t srcWidth, uint32_t srcHeight, uint32_t dstWidth,
                           uint32_t dstHeight, bool hasAlpha)
    : AreaShrinker(srcWidth, srcHeight, dstWidth, dstHeight, hasAlpha, nullptr) {}

AreaShrinker::AreaShrinker(uint32_t srcWidth, uint32_t srcHeight, uint32_t dstWidth,
                           uint32_t dstHeight, bool hasAlpha,
                           std::function<void(const uint32_t* row)> onRow)
    : srcWidth_(srcWidth),
      srcHeight_(srcHeight),
      dstWidth_(dstWidth),
      dstHeight_(dstHeight),
      channels_(hasAlpha ? 4 : 3),
      xSpans_(spans(srcWidth, dstWidth)),
      yTaps_(taps(srcHeight, dstHeight)),
      horizontal_(size_t{dstWidth} * channels_),
      current_(size_t{dstWidth} * channels_),
      next_(size_t{dstWidth} * channels_),
      scale_(static_cast<float>((static_cast<double>(dstWidth) / srcWidth) *
                                (static_cast<double>(dstHeight) / srcHeight))),
      onRow_(std::move(onRow)),
      out_(dstWidth, onRow_ ? 1 : dstHeight, hasAlpha) {
  assert(dstWidth >= 1 && dstHeight >= 1 && dstWidth <= srcWidth && dstHeight <= srcHeight);
}

template <int Channels>
void AreaShrinker::reduceRow(const uint32_t* row) {
  float* h = horizontal_.data();
  for (const Span& span : xSpans_) {
    float sum[Channels] = {};
    if (span.first == span.last) {
      addWeighted<Channels>(row[span.first], span.firstWeight, sum);
    } else {
      addWeighted<Channels>(row[span.first], span.firstWeight, sum);
      // Whole pixels in between: exact integer sums.
      uint32_t whole[Channels] = {};
      for (uint32_t x = span.first + 1; x < span.last; ++x) unpack<Channels>(row[x], whole);
      for (int c = 0; c < Channels; ++c) sum[c] += static_cast<float>(whole[c]);
      addWeighted<Channels>(row[span.last], span.lastWeight, sum);
    }
    for (int c = 0; c < Channels; ++c) h[c] = sum[c];
    h += Channels;
  }
}

void AreaShrinker::pushRow(const uint32_t* row) {
  if (rowsPushed_ >= srcHeight_) return;
  if (channels_ == 4) {
    reduceRow<4>(row);
  } else {
    reduceRow<3>(row);
  }

  const Tap tap = yTaps_[rowsPushed_++];
  if (tap.first != currentRow_) {
    emitRow(currentRow_, current_.data());
    std::swap(current_, next_);
    std::fill(next_.begin(), next_.end(), 0.0f);
    currentRow_ = tap.first;
  }
  const float w = tap.weightFirst;
  const size_t n = horizontal_.size();
  const float* h = horizontal_.data();
  float* cur = current_.data();
  for (size_t i = 0; i < n; ++i) cur[i] += h[i] * w;
  if (w < 1.0f && tap.first + 1 < dstHeight_) {
    const float rest = 1.0f - w;
    float* nxt = next_.data();
    for (size_t i = 0; i < n; ++i) nxt[i] += h[i] * rest;
  }
}

void AreaShrinker::emitRow(uint32_t y, const float* accumulated) {
  if (y >= dstHeight_) return;
  uint32_t* out = onRow_ ? out_.row(0) : out_.row(y);
  const float scale = scale_;
  // Rounded to nearest; accumulated values are never negative.
  auto channel = [scale](float v) {
    return std::min(static_cast<uint32_t>(v * scale + 0.5f), uint32_t{255});
  };
  if (channels_ == 4) {
    for (uint32_t x = 0; x < dstWidth_; ++x) {
      const float* s = accumulated + size_t{x} * 4;
      const uint32_t a = channel(s[0]);
      // Premultiplied colour never exceeds its alpha, whatever the rounding did.
      const uint32_t r = std::min(channel(s[1]), a);
      const uint32_t g = std::min(channel(s[2]), a);
      const uint32_t b = std::min(channel(s[3]), a);
      out[x] = (a << 24) | (r << 16) | (g << 8) | b;
    }
  } else {
    for (uint32_t x = 0; x < dstWidth_; ++x) {
      const float* s = accumulated + size_t{x} * 3;
      out[x] = 0xFF000000u | (channel(s[0]) << 16) | (channel(s[1]) << 8) | channel(s[2]);
    }
  }
  if (onRow_) onRow_(out);
}

Bitmap AreaShrinker::finish() {
  emitRow(currentRow_, current_.data());
  currentRow_ = dstHeight_;
  if (onRow_) return Bitmap();
  return std::move(out_);
}

Bitmap shrink(Bitmap source, uint32_t dstWidth, uint32_t dstHeight) {
  if (source.width() == dstWidth && source.height() == dstHeight) return source;
  AreaShrinker shrinker(source.width(), source.height(), dstWidth, dstHeight, source.hasAlpha());
  for (uint32_t y = 0; y < source.height(); ++y) shrinker.pushRow(source.row(y));
  return shrinker.finish();
}

}  // namespace velmo::platform
