#include "draw/blur.h"

#include <algorithm>
#include <cmath>
#include <new>

#include "platform/resample.h"

namespace velmo::draw {
namespace {

using platform::Bitmap;
using platform::BitmapView;

constexpr double kSigma = 3;
// Entries of the linear-to-sRGB table: fine enough that the steepest part of the curve (near
// black) stays within a quarter of an 8-bit level.
constexpr size_t kLinearSteps = 16384;
constexpr int kChannels = 4;  // red, green, blue, alpha: premultiplied, linear light

double srgbToLinear(double v) {
  return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
}
double linearToSrgb(double v) {
  return v <= 0.0031308 ? v * 12.92 : 1.055 * std::pow(v, 1 / 2.4) - 0.055;
}

}  // namespace

platform::PixelSize previewSize(uint32_t width, uint32_t height) {
  const double w = width, h = height;
  const double shorter = h < w ? h : w;
  const double longer = w <= h ? h : w;
  // Each later candidate replaces the running minimum only when it is strictly smaller.
  double factor = 1;
  if (96 / shorter < factor) factor = 96 / shorter;
  if (1024 / longer < factor) factor = 1024 / longer;
  const double areaFactor = std::sqrt(65536 / (w * h));
  if (areaFactor < factor) factor = areaFactor;
  return {static_cast<uint32_t>(std::max(1.0, std::floor(w * factor))),
          static_cast<uint32_t>(std::max(1.0, std::floor(h * factor)))};
}

BlurContext::BlurContext() : fromLinear_(kLinearSteps) {
  double sum = 0;
  std::array<double, 2 * kRadius + 1> weights;
  for (int i = -kRadius; i <= kRadius; ++i) {
    weights[i + kRadius] = std::exp(-(i * i) / (2 * kSigma * kSigma));
    sum += weights[i + kRadius];
  }
  for (size_t i = 0; i < weights.size(); ++i) kernel_[i] = static_cast<float>(weights[i] / sum);
  for (int v = 0; v < 256; ++v) toLinear_[v] = static_cast<float>(srgbToLinear(v / 255.0));
  for (size_t i = 0; i < kLinearSteps; ++i) {
    const double srgb = linearToSrgb(static_cast<double>(i) / (kLinearSteps - 1));
    fromLinear_[i] = static_cast<uint8_t>(std::lround(std::clamp(srgb, 0.0, 1.0) * 255));
  }
}

std::optional<Bitmap> BlurContext::obscuredPreview(const BitmapView& photo) const {
  return obscuredPreview(photo, photo.width, photo.height);
}

std::optional<Bitmap> BlurContext::obscuredPreview(const BitmapView& photo, uint32_t shownWidth,
                                                   uint32_t shownHeight) const {
  if (photo.width == 0 || photo.height == 0 || shownWidth == 0 || shownHeight == 0) {
    return std::nullopt;
  }
  try {
    const platform::PixelSize size = previewSize(shownWidth, shownHeight);
    if (size.width > photo.width || size.height > photo.height) return std::nullopt;
    Bitmap shrunk;
    BitmapView small = photo;
    if (size.width != photo.width || size.height != photo.height) {
      platform::AreaShrinker shrinker(photo.width, photo.height, size.width, size.height,
                                      photo.hasAlpha);
      for (uint32_t y = 0; y < photo.height; ++y) shrinker.pushRow(photo.row(y));
      shrunk = shrinker.finish();
      small = shrunk.view();
    }

    const uint32_t w = small.width, h = small.height;
    const bool alpha = small.hasAlpha;
    // The horizontal pass reads one row padded by kRadius repeated edge pixels either side,
    // which is the clamp to the extent; the vertical pass clamps its row index.
    std::vector<float> padded((size_t{w} + 2 * kRadius) * kChannels);
    std::vector<float> across(size_t{w} * h * kChannels);
    for (uint32_t y = 0; y < h; ++y) {
      const uint32_t* row = small.row(y);
      float* p = padded.data() + kRadius * kChannels;
      for (uint32_t x = 0; x < w; ++x, p += kChannels) {
        const uint32_t pixel = row[x];
        const uint32_t a = alpha ? pixel >> 24 : 255;
        if (a == 0) {
          std::fill(p, p + kChannels, 0.0f);
          continue;
        }
        const float coverage = static_cast<float>(a) / 255;
        for (int c = 0; c < 3; ++c) {
          const uint32_t v = (pixel >> (16 - 8 * c)) & 0xFF;
          p[c] = toLinear_[a == 255 ? v : platform::unpremultiply(v, a)] * coverage;
        }
        p[3] = coverage;
      }
      float* first = padded.data() + kRadius * kChannels;
      float* last = first + (size_t{w} - 1) * kChannels;
      for (int i = 1; i <= kRadius; ++i) {
        std::copy(first, first + kChannels, first - i * kChannels);
        std::copy(last, last + kChannels, last + i * kChannels);
      }
      float* out = across.data() + size_t{y} * w * kChannels;
      for (size_t i = 0; i < size_t{w} * kChannels; ++i) {
        float sum = 0;
        for (int k = 0; k <= 2 * kRadius; ++k) sum += kernel_[k] * padded[i + k * kChannels];
        out[i] = sum;
      }
    }

    Bitmap result(w, h, alpha);
    std::vector<float> down(size_t{w} * kChannels);
    for (uint32_t y = 0; y < h; ++y) {
      std::fill(down.begin(), down.end(), 0.0f);
      for (int k = -kRadius; k <= kRadius; ++k) {
        const int64_t source = std::clamp<int64_t>(int64_t{y} + k, 0, int64_t{h} - 1);
        const float* in = across.data() + static_cast<size_t>(source) * w * kChannels;
        const float weight = kernel_[k + kRadius];
        for (size_t i = 0; i < down.size(); ++i) down[i] += weight * in[i];
      }
      uint32_t* row = result.row(y);
      for (uint32_t x = 0; x < w; ++x) {
        const float* p = down.data() + size_t{x} * kChannels;
        const float coverage = alpha ? std::clamp(p[3], 0.0f, 1.0f) : 1.0f;
        const auto a = static_cast<uint32_t>(std::lround(coverage * 255));
        if (a == 0) {
          row[x] = 0;
          continue;
        }
        uint32_t rgb[3];
        for (int c = 0; c < 3; ++c) {
          const float straight = std::clamp(p[c] / coverage, 0.0f, 1.0f);
          rgb[c] = fromLinear_[static_cast<size_t>(std::lround(straight * (kLinearSteps - 1)))];
        }
        row[x] = platform::premultiply(rgb[0], rgb[1], rgb[2], a);
      }
    }
    return result;
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

}  // namespace velmo::draw
