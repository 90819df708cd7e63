// The brush's pixel loops, written once over a set of lanes (plain floats, SSE2, AVX2) and
// built into each instruction set's own file (brush_sse2.cpp, brush_avx2.cpp): the coverage
// of a segment over float lanes, the blend over integer lanes.
//
// A file built for a wider instruction set must not define anything the linker could pick
// for the rest of the program: everything here has internal linkage, takes plain data rather
// than calling the classes' inline members, and calls no inline function of the standard
// library (which an unoptimised build would emit out of line, in that instruction set).
#pragma once

#include <math.h>

#include <cstddef>
#include <cstdint>

#include "draw/brush.h"
#include "platform/bitmap.h"

namespace velmo::draw {

// A mask's rows and spans as plain data: |Byte| and |Int| are const for a mask only read.
template <typename Byte, typename Int>
struct MaskRowsOf {
  Byte* bytes;
  size_t stride;
  int x, y, width, height;
  Int* firsts;
  Int* lasts;
};
// Rows the brush draws into.
using MaskRows = MaskRowsOf<uint8_t, int>;
// Rows a blend reads.
using MaskSpans = MaskRowsOf<const uint8_t, const int>;

// A segment with round ends in a mask's own coordinates, where pixel (i, j)'s centre lies at
// (i, j): from (ax, ay) by (dx, dy), coverage reaching 0 at |radius|.
struct Capsule {
  float ax, ay, dx, dy, radius;
};

// A blend through a mask's spans onto canvas pixels; |source| null for the one |color|.
struct MaskedBlend {
  uint8_t* canvas;
  size_t canvasStride;
  MaskSpans mask;
  PremultipliedPixel color;
  const uint8_t* source;
  size_t sourceStride;
  MaskBlend blend;
};

// One instruction set's loops.
struct PixelLoopTable {
  void (*capsule)(const MaskRows& mask, const Capsule& capsule);
  void (*blend)(const MaskedBlend& job);
};

namespace {

inline float lesser(float a, float b) {
  return b < a ? b : a;
}
inline float greater(float a, float b) {
  return b > a ? b : a;
}
inline int lesser(int a, int b) {
  return b < a ? b : a;
}
inline int greater(int a, int b) {
  return b > a ? b : a;
}

// ---- the segment's coverage ----------------------------------------------------------------

// Rows of a capsule: those whose centres lie within the radius of the segment's height range.
// On each, the pixels worth working lie where both bounds hold: within the radius of the
// segment's points that lie within the radius of the row (above or below), and within the
// radius of the line through the segment. Pixels are then worked |Lanes::kCount| at a time
// from the first; each keeps the larger of what it holds and its coverage.
template <typename Lanes>
void capsuleRows(const MaskRows& mask, const Capsule& c) {
  using F = typename Lanes::F;
  const float r = c.radius;
  const float lengthSquared = c.dx * c.dx + c.dy * c.dy;
  // t = 0 throughout for a disc.
  const float perLength = lengthSquared > 0 ? 1 / lengthSquared : 0;
  const float top = lesser(c.ay, c.ay + c.dy) - r, bottom = greater(c.ay, c.ay + c.dy) + r;
  const int firstRow = static_cast<int>(ceilf(greater(top, 0.0f)));
  const int lastRow = static_cast<int>(floorf(lesser(bottom, static_cast<float>(mask.height - 1))));
  // A level segment (within a thousandth of a pixel over its length) bounds nothing by the
  // line through it; nor does a slope's band, then, need working out.
  const bool level = fabsf(c.dy) < 1e-3f;
  const float perDy = level ? 0 : 1 / c.dy;
  const float slope = c.dx * perDy;
  const float band = level ? 0 : r * sqrtf(lengthSquared) * fabsf(perDy);
  const float low = lesser(0.0f, c.dx) - r, high = greater(0.0f, c.dx) + r;

  // The columns of the box around the capsule. A capsule a few groups of pixels wide is worked
  // over its box on every row: bounds of its own on each row would save less than they cost.
  const float boxFrom = greater(ceilf(c.ax + low), 0.0f);
  const float boxTo = lesser(floorf(c.ax + high), static_cast<float>(mask.width - 1));
  if (!(boxFrom <= boxTo)) return;
  const bool narrow = boxTo - boxFrom < 4 * Lanes::kCount;

  const F along = Lanes::set(c.dx * perLength), dx = Lanes::set(c.dx), dy = Lanes::set(c.dy);
  const F radius255 = Lanes::set(r * 255 + 0.5f), zero = Lanes::set(0), one = Lanes::set(1);
  const F step = Lanes::set(static_cast<float>(Lanes::kCount));
  int* const firsts = mask.firsts;
  int* const lasts = mask.lasts;
  // Coverage times 255, plus a half, of the pixels |x| from the segment's start across, on a
  // row where rowY and rowAlong are set.
  auto coverage = [&](F x, F rowY, F rowAlong) {
    // The nearest point of the segment, a fraction t along it.
    const F t = Lanes::min(Lanes::max(Lanes::mulAdd(x, along, rowAlong), zero), one);
    const F ex = Lanes::negMulAdd(t, dx, x), ey = Lanes::negMulAdd(t, dy, rowY);
    const F d = Lanes::length(Lanes::mulAdd(ex, ex, Lanes::mul(ey, ey)));
    return Lanes::negMulAdd(d, Lanes::set(255), radius255);
  };
  // Row y's span grown, its offset from the segment's start and its first byte.
  auto startRow = [&](int y, int first, int last, F& rowY, F& rowAlong) {
    firsts[y] = lesser(firsts[y], first);
    lasts[y] = greater(lasts[y], last);
    const float py = static_cast<float>(y) - c.ay;
    rowY = Lanes::set(py);
    rowAlong = Lanes::set(py * c.dy * perLength);
    return mask.bytes + static_cast<size_t>(y) * mask.stride;
  };
  if (narrow) {
    // The same few groups on every row, unrolled, two at a time where they pair up.
    const int first = static_cast<int>(boxFrom), last = static_cast<int>(boxTo);
    const F start = Lanes::add(Lanes::set(boxFrom - c.ax), Lanes::iota());
    // Row by row, each row's offsets from the segment's start stepped on from the last.
    const F rowStep = Lanes::set(1), alongStep = Lanes::set(c.dy * perLength);
    const float top = static_cast<float>(firstRow) - c.ay;
    const size_t stride = mask.stride;
    auto rows = [&]<int Groups>() {
      F x[Groups];
      for (int g = 0; g < Groups; ++g) {
        x[g] = Lanes::add(start, Lanes::set(static_cast<float>(g * Lanes::kCount)));
      }
      F rowY = Lanes::set(top), rowAlong = Lanes::set(top * c.dy * perLength);
      uint8_t* out = mask.bytes + static_cast<size_t>(firstRow) * stride + first;
      for (int y = firstRow; y <= lastRow; ++y) {
        firsts[y] = lesser(firsts[y], first);
        lasts[y] = greater(lasts[y], last);
        int g = 0;
        for (; g + 1 < Groups; g += 2) {
          Lanes::keepLarger2(out + g * Lanes::kCount, coverage(x[g], rowY, rowAlong),
                             coverage(x[g + 1], rowY, rowAlong));
        }
        if (g < Groups) Lanes::keepLarger(out + g * Lanes::kCount, coverage(x[g], rowY, rowAlong));
        rowY = Lanes::add(rowY, rowStep);
        rowAlong = Lanes::add(rowAlong, alongStep);
        out += stride;
      }
    };
    switch ((last - first) / Lanes::kCount) {
      case 0:
        return rows.template operator()<1>();
      case 1:
        return rows.template operator()<2>();
      case 2:
        return rows.template operator()<3>();
      default:
        return rows.template operator()<4>();
    }
  }
  for (int y = firstRow; y <= lastRow; ++y) {
    float from = boxFrom, to = boxTo;
    if (!level) {
      const float py = static_cast<float>(y) - c.ay;
      const float ta = (py - r) * perDy, tb = (py + r) * perDy;
      const float t0 = greater(lesser(ta, tb), 0.0f), t1 = lesser(greater(ta, tb), 1.0f);
      const float xa = t0 * c.dx, xb = t1 * c.dx;
      const float middle = py * slope;
      from = greater(ceilf(c.ax + greater(lesser(xa, xb) - r, middle - band)), boxFrom);
      to = lesser(floorf(c.ax + lesser(greater(xa, xb) + r, middle + band)), boxTo);
      if (!(from <= to)) continue;
    }
    const int first = static_cast<int>(from), last = static_cast<int>(to);
    F rowY, rowAlong;
    uint8_t* out = startRow(y, first, last, rowY, rowAlong);
    F x = Lanes::add(Lanes::set(from - c.ax), Lanes::iota());
    int i = first;
    for (; i + Lanes::kCount <= last; i += 2 * Lanes::kCount) {
      const F next = Lanes::add(x, step);
      Lanes::keepLarger2(out + i, coverage(x, rowY, rowAlong), coverage(next, rowY, rowAlong));
      x = Lanes::add(next, step);
    }
    if (i <= last) Lanes::keepLarger(out + i, coverage(x, rowY, rowAlong));
  }
}

struct PlainLanes {
  using F = float;
  static constexpr int kCount = 1;
  static F set(float v) { return v; }
  static F iota() { return 0; }
  static F add(F a, F b) { return a + b; }
  static F mul(F a, F b) { return a * b; }
  static F min(F a, F b) { return lesser(a, b); }
  static F max(F a, F b) { return greater(a, b); }
  static F mulAdd(F a, F b, F c) { return a * b + c; }
  static F negMulAdd(F a, F b, F c) { return c - a * b; }
  static F length(F squared) { return sqrtf(squared); }
  // |value| is coverage times 255 plus a half: truncated, kept within a byte.
  static void keepLarger(uint8_t* at, F value) {
    const auto byte = static_cast<uint8_t>(lesser(greater(value, 0.0f), 255.0f));
    if (byte > *at) *at = byte;
  }
  static void keepLarger2(uint8_t* at, F first, F second) {
    keepLarger(at, first);
    keepLarger(at + 1, second);
  }
};

// ---- blending ------------------------------------------------------------------------------

inline uint32_t blendPixel(uint32_t pixel, uint32_t source, uint32_t m, MaskBlend blend) {
  const uint32_t covered = blend == MaskBlend::Over ? platform::multiplyBytes(source >> 24, m) : m;
  uint32_t result = 0;
  for (int shift = 0; shift < 32; shift += 8) {
    const uint32_t value = platform::multiplyBytes((source >> shift) & 0xFF, m) +
                           platform::multiplyBytes((pixel >> shift) & 0xFF, 255 - covered);
    result |= (value > 255 ? 255 : value) << shift;
  }
  return result;
}

// Pixels |from| to |count| - 1 of a row, one at a time.
inline void blendPixels(uint32_t* pixels, const uint32_t* source, uint32_t color,
                        const uint8_t* coverage, int from, int count, MaskBlend blend) {
  for (int i = from; i < count; ++i) {
    if (coverage[i] != 0) {
      pixels[i] = blendPixel(pixels[i], source ? source[i] : color, coverage[i], blend);
    }
  }
}

// The spans of |mask|, row by row, through |row|(pixels, source, coverage, count) with the
// three starting at each span's first pixel.
template <typename Row>
void eachSpan(const MaskedBlend& job, Row row) {
  const MaskSpans& mask = job.mask;
  for (int y = 0; y < mask.height; ++y) {
    const int first = mask.firsts[y], last = mask.lasts[y];
    if (first > last) continue;
    auto* pixels = reinterpret_cast<uint32_t*>(job.canvas +
                                               static_cast<size_t>(mask.y + y) * job.canvasStride +
                                               4 * static_cast<size_t>(mask.x + first));
    const uint32_t* source = job.source
                                 ? reinterpret_cast<const uint32_t*>(
                                       job.source + static_cast<size_t>(y) * job.sourceStride) +
                                       first
                                 : nullptr;
    row(pixels, source, mask.bytes + static_cast<size_t>(y) * mask.stride + first,
        last - first + 1);
  }
}

inline void plainBlend(const MaskedBlend& job) {
  eachSpan(job,
           [&job](uint32_t* pixels, const uint32_t* source, const uint8_t* coverage, int count) {
             blendPixels(pixels, source, job.color, coverage, 0, count, job.blend);
           });
}

// The blend over a set of integer lanes, |Pixels::kCount| pixels at a time. A set provides
// (I being its register of bytes or of 16-bit lanes):
//   load(p), store(p, v): kCount pixels;
//   coverage(c): kCount coverage bytes, each repeated for its pixel's four channels;
//   solid(color): |color|'s channels in 16-bit lanes, for the pixels of widenLow() and
//     widenHigh() alike;
//   widenLow(v), widenHigh(v): the bytes of half the pixels in 16-bit lanes, and narrow(low,
//     high) packing them back with unsigned saturation;
//   multiply(x, a): multiplyBytes() per 16-bit lane; alphaOf(v): each pixel's alpha lane in
//     its four lanes; set16(n), subtract(a, b), addSaturated(a, b) on 16-bit lanes;
//   tail<Blend>(pixels, source, color, coverage, count): the last pixels of a row, fewer than
//     kCount (|source| null for the one |color|).

// Pixels' channels (16-bit lanes) blended by their coverage |m| (repeated per channel).
template <typename Pixels, MaskBlend Blend>
inline typename Pixels::I blendChannels(typename Pixels::I pixel, typename Pixels::I source,
                                        typename Pixels::I m) {
  const auto covered = Pixels::multiply(source, m);
  const auto inverse =
      Pixels::subtract(Pixels::set16(255), Blend == MaskBlend::Over ? Pixels::alphaOf(covered) : m);
  return Pixels::addSaturated(covered, Pixels::multiply(pixel, inverse));
}

// kCount pixels |held| blended with the pixels |from| (with the channels |solid| when
// |solidColor|) by their coverage bytes from |coverage|.
template <typename Pixels, MaskBlend Blend>
inline typename Pixels::I blendGroup(typename Pixels::I held, typename Pixels::I from,
                                     bool solidColor, typename Pixels::I solid,
                                     const uint8_t* coverage) {
  const auto m = Pixels::coverage(coverage);
  auto sourceLow = solid, sourceHigh = solid;
  if (!solidColor) {
    sourceLow = Pixels::widenLow(from);
    sourceHigh = Pixels::widenHigh(from);
  }
  return Pixels::narrow(
      blendChannels<Pixels, Blend>(Pixels::widenLow(held), sourceLow, Pixels::widenLow(m)),
      blendChannels<Pixels, Blend>(Pixels::widenHigh(held), sourceHigh, Pixels::widenHigh(m)));
}

template <typename Pixels, MaskBlend Blend>
void blendRow(uint32_t* pixels, const uint32_t* source, uint32_t color, const uint8_t* coverage,
              int count) {
  const auto solid = Pixels::solid(color);
  const bool solidColor = source == nullptr;
  int i = 0;
  for (; i + Pixels::kCount <= count; i += Pixels::kCount) {
    const auto from = solidColor ? solid : Pixels::load(source + i);
    Pixels::store(pixels + i, blendGroup<Pixels, Blend>(Pixels::load(pixels + i), from, solidColor,
                                                        solid, coverage + i));
  }
  if (i < count) {
    Pixels::template tail<Blend>(pixels + i, solidColor ? nullptr : source + i, color, coverage + i,
                                 count - i);
  }
}

template <typename Pixels>
void blendThrough(const MaskedBlend& job) {
  const auto row = job.blend == MaskBlend::Over ? &blendRow<Pixels, MaskBlend::Over>
                                                : &blendRow<Pixels, MaskBlend::Copy>;
  eachSpan(job, [&](uint32_t* pixels, const uint32_t* source, const uint8_t* coverage, int count) {
    row(pixels, source, job.color, coverage, count);
  });
}

}  // namespace
}  // namespace velmo::draw
