#include "platform/resample.h"

#include <algorithm>
#include <cassert>
#include <cmath>

namespace velmo::platform {

std::vector<AreaShrinker::Tap> AreaShrinker::taps(uint32_t src, uint32_t dst) {
  // Source pixel i covers [i, i + 1); destination pixel j covers [j * src / dst,
  // (j + 1) * src / dst). With src >= dst a source pixel meets at most two destinations.
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
    : srcWidth_(srcWidth),
      srcHeight_(srcHeight),
      dstWidth_(dstWidth),
      dstHeight_(dstHeight),
      xTaps_(taps(srcWidth, dstWidth)),
      yTaps_(taps(srcHeight, dstHeight)),
      horizontal_(size_t{dstWidth} * 4),
      current_(size_t{dstWidth} * 4),
      next_(size_t{dstWidth} * 4),
      scale_(static_cast<float>((static_cast<double>(dstWidth) / srcWidth) *
                                (static_cast<double>(dstHeight) / srcHeight))),
      out_(dstWidth, dstHeight, hasAlpha) {
  assert(dstWidth >= 1 && dstHeight >= 1 && dstWidth <= srcWidth && dstHeight <= srcHeight);
}

void AreaShrinker::pushRow(const uint32_t* row) {
  if (rowsPushed_ >= srcHeight_) return;
  std::fill(horizontal_.begin(), horizontal_.end(), 0.0f);
  float* h = horizontal_.data();
  for (uint32_t x = 0; x < srcWidth_; ++x) {
    const uint32_t p = row[x];
    const float a = static_cast<float>(p >> 24);
    const float r = static_cast<float>((p >> 16) & 0xFF);
    const float g = static_cast<float>((p >> 8) & 0xFF);
    const float b = static_cast<float>(p & 0xFF);
    const Tap tap = xTaps_[x];
    float* d = h + size_t{tap.first} * 4;
    const float w = tap.weightFirst;
    d[0] += a * w;
    d[1] += r * w;
    d[2] += g * w;
    d[3] += b * w;
    if (w < 1.0f && tap.first + 1 < dstWidth_) {
      const float rest = 1.0f - w;
      d[4] += a * rest;
      d[5] += r * rest;
      d[6] += g * rest;
      d[7] += b * rest;
    }
  }

  const Tap tap = yTaps_[rowsPushed_++];
  if (tap.first != currentRow_) {
    emitRow(currentRow_, current_.data());
    std::swap(current_, next_);
    std::fill(next_.begin(), next_.end(), 0.0f);
    currentRow_ = tap.first;
  }
  const float w = tap.weightFirst;
  for (size_t i = 0; i < horizontal_.size(); ++i) current_[i] += horizontal_[i] * w;
  if (w < 1.0f && tap.first + 1 < dstHeight_) {
    const float rest = 1.0f - w;
    for (size_t i = 0; i < horizontal_.size(); ++i) next_[i] += horizontal_[i] * rest;
  }
}

void AreaShrinker::emitRow(uint32_t y, const float* accumulated) {
  if (y >= dstHeight_) return;
  uint32_t* out = out_.row(y);
  const bool alpha = out_.hasAlpha();
  for (uint32_t x = 0; x < dstWidth_; ++x) {
    const float* s = accumulated + size_t{x} * 4;
    auto channel = [this](float v) {
      long rounded = std::lround(v * scale_);
      return static_cast<uint32_t>(std::clamp(rounded, 0L, 255L));
    };
    uint32_t a = alpha ? channel(s[0]) : 255;
    // Premultiplied colour never exceeds its alpha, whatever the rounding did.
    uint32_t r = std::min(channel(s[1]), a);
    uint32_t g = std::min(channel(s[2]), a);
    uint32_t b = std::min(channel(s[3]), a);
    out[x] = (a << 24) | (r << 16) | (g << 8) | b;
  }
}

Bitmap AreaShrinker::finish() {
  emitRow(currentRow_, current_.data());
  currentRow_ = dstHeight_;
  return std::move(out_);
}

Bitmap shrink(Bitmap source, uint32_t dstWidth, uint32_t dstHeight) {
  if (source.width() == dstWidth && source.height() == dstHeight) return source;
  AreaShrinker shrinker(source.width(), source.height(), dstWidth, dstHeight, source.hasAlpha());
  for (uint32_t y = 0; y < source.height(); ++y) shrinker.pushRow(source.row(y));
  return shrinker.finish();
}

}  // namespace velmo::platform
