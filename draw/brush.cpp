#include "draw/brush.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>

#include "draw/brush_kernels.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace velmo::draw {

// The AVX2 build of the loops (brush_avx2.cpp); null where it was not built.
const PixelLoopTable* avx2PixelLoops();

namespace {

#if defined(__SSE2__)

struct Sse2Lanes {
  using F = __m128;
  static constexpr int kCount = 4;
  static F set(float v) { return _mm_set1_ps(v); }
  static F iota() { return _mm_setr_ps(0, 1, 2, 3); }
  static F add(F a, F b) { return _mm_add_ps(a, b); }
  static F mul(F a, F b) { return _mm_mul_ps(a, b); }
  static F min(F a, F b) { return _mm_min_ps(a, b); }
  static F max(F a, F b) { return _mm_max_ps(a, b); }
  static F mulAdd(F a, F b, F c) { return _mm_add_ps(_mm_mul_ps(a, b), c); }
  static F negMulAdd(F a, F b, F c) { return _mm_sub_ps(c, _mm_mul_ps(a, b)); }
  // To 12 bits: a few thousandths of a pixel on the widest brush. The floor keeps the
  // reciprocal square root finite at 0.
  static F length(F squared) {
    return _mm_mul_ps(squared, _mm_rsqrt_ps(_mm_max_ps(squared, _mm_set1_ps(1e-20f))));
  }
  // Truncated to whole numbers, the packs keep them within a byte.
  static void keepLarger(uint8_t* at, F value) {
    __m128i bytes = _mm_cvttps_epi32(value);
    bytes = _mm_packs_epi32(bytes, bytes);
    bytes = _mm_packus_epi16(bytes, bytes);
    uint32_t held;
    std::memcpy(&held, at, sizeof held);
    const auto merged = static_cast<uint32_t>(
        _mm_cvtsi128_si32(_mm_max_epu8(bytes, _mm_cvtsi32_si128(static_cast<int>(held)))));
    std::memcpy(at, &merged, sizeof merged);
  }
  // Two groups, side by side from |at|.
  static void keepLarger2(uint8_t* at, F first, F second) {
    __m128i bytes = _mm_packs_epi32(_mm_cvttps_epi32(first), _mm_cvttps_epi32(second));
    bytes = _mm_packus_epi16(bytes, bytes);
    const __m128i held = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(at));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(at), _mm_max_epu8(bytes, held));
  }
};

// multiply() on eight 16-bit lanes.
inline __m128i multiply(__m128i x, __m128i a) {
  return _mm_mulhi_epu16(_mm_adds_epu16(_mm_mullo_epi16(x, a), _mm_set1_epi16(0x80)),
                         _mm_set1_epi16(0x0101));
}

// Two pixels' channels (16-bit lanes) blended by their coverage |m| (repeated per channel).
template <MaskBlend Blend>
inline __m128i blendTwo(__m128i pixel, __m128i source, __m128i m) {
  const __m128i covered = multiply(source, m);
  __m128i inverse;
  if constexpr (Blend == MaskBlend::Over) {
    // The covered source's alpha, in each of its pixel's four lanes.
    inverse = _mm_shufflehi_epi16(_mm_shufflelo_epi16(covered, 0xFF), 0xFF);
  } else {
    inverse = m;
  }
  inverse = _mm_sub_epi16(_mm_set1_epi16(255), inverse);
  return _mm_adds_epu16(covered, multiply(pixel, inverse));
}

template <MaskBlend Blend>
void sse2BlendRow(uint32_t* pixels, const uint32_t* source, uint32_t color, const uint8_t* coverage,
                  int count) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i solid = _mm_unpacklo_epi8(_mm_set1_epi32(static_cast<int>(color)), zero);
  int i = 0;
  for (; i + 4 <= count; i += 4) {
    uint32_t four;
    std::memcpy(&four, coverage + i, sizeof four);
    __m128i m = _mm_cvtsi32_si128(static_cast<int>(four));
    m = _mm_unpacklo_epi8(m, m);
    m = _mm_unpacklo_epi16(m, m);
    const __m128i held = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pixels + i));
    __m128i low = _mm_unpacklo_epi8(held, zero), high = _mm_unpackhi_epi8(held, zero);
    __m128i sourceLow = solid, sourceHigh = solid;
    if (source) {
      const __m128i from = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + i));
      sourceLow = _mm_unpacklo_epi8(from, zero);
      sourceHigh = _mm_unpackhi_epi8(from, zero);
    }
    low = blendTwo<Blend>(low, sourceLow, _mm_unpacklo_epi8(m, zero));
    high = blendTwo<Blend>(high, sourceHigh, _mm_unpackhi_epi8(m, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(pixels + i), _mm_packus_epi16(low, high));
  }
  blendPixels(pixels, source, color, coverage, i, count, Blend);
}

void sse2Blend(const MaskedBlend& job) {
  const auto row = job.blend == MaskBlend::Over ? &sse2BlendRow<MaskBlend::Over>
                                                : &sse2BlendRow<MaskBlend::Copy>;
  eachSpan(job, [&](uint32_t* pixels, const uint32_t* source, const uint8_t* coverage, int count) {
    row(pixels, source, job.color, coverage, count);
  });
}

const PixelLoopTable kSse2Loops{&capsuleRows<Sse2Lanes>, &sse2Blend};

#endif

const PixelLoopTable kPlainLoops{&capsuleRows<PlainLanes>, &plainBlend};

const PixelLoopTable* loopTable(PixelLoops loops) {
  switch (loops) {
    case PixelLoops::Plain:
      return &kPlainLoops;
    case PixelLoops::Sse2:
#if defined(__SSE2__)
      return &kSse2Loops;
#else
      return nullptr;
#endif
    case PixelLoops::Avx2:
#if defined(__x86_64__) || defined(__i386__)
      if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) return avx2PixelLoops();
#endif
      return nullptr;
  }
  return nullptr;
}

std::atomic<const PixelLoopTable*> chosenLoops{nullptr};

const PixelLoopTable& pixelLoops() {
  const PixelLoopTable* loops = chosenLoops.load(std::memory_order_relaxed);
  if (loops == nullptr) {
    loops = loopTable(fastestPixelLoops());
    chosenLoops.store(loops, std::memory_order_relaxed);
  }
  return *loops;
}

MaskRows rowsOf(const CoverageMask& mask) {
  auto& rows = const_cast<CoverageMask&>(mask);
  return {rows.row(0),  mask.stride(), mask.x(),      mask.y(),
          mask.width(), mask.height(), rows.firsts(), rows.lasts()};
}

}  // namespace

PixelLoops fastestPixelLoops() {
  for (PixelLoops loops : {PixelLoops::Avx2, PixelLoops::Sse2}) {
    if (loopTable(loops) != nullptr) return loops;
  }
  return PixelLoops::Plain;
}

bool usePixelLoops(PixelLoops loops) {
  const PixelLoopTable* table = loopTable(loops);
  if (table == nullptr) return false;
  chosenLoops.store(table, std::memory_order_relaxed);
  return true;
}

void CoverageMask::reset(int x, int y, int width, int height) {
  x_ = x;
  y_ = y;
  width_ = width;
  height_ = height;
  stride_ = (static_cast<size_t>(width) + 31 + 31) & ~size_t{31};
  const size_t size = stride_ * static_cast<size_t>(height);
  if (bytes_.size() < size) bytes_.resize(size);
  std::memset(bytes_.data(), 0, size);
  first_.assign(static_cast<size_t>(height), INT_MAX);
  last_.assign(static_cast<size_t>(height), -1);
}

void CoverageMask::widen(int y, int first, int last) {
  first_[static_cast<size_t>(y)] = std::min(first_[static_cast<size_t>(y)], first);
  last_[static_cast<size_t>(y)] = std::max(last_[static_cast<size_t>(y)], last);
}

void CoverageMask::widenAll() {
  for (int y = 0; y < height_; ++y) widen(y, 0, width_ - 1);
}

RoundBrush::RoundBrush(CoverageMask& mask, double lineWidth)
    : mask_(mask), radius_(static_cast<float>(lineWidth / 2 + 0.5)) {}

void RoundBrush::segment(Point from, Point to) {
  // Relative to the mask's pixel centres.
  const Capsule capsule{
      static_cast<float>(from.x - mask_.x() - 0.5), static_cast<float>(from.y - mask_.y() - 0.5),
      static_cast<float>(to.x - from.x), static_cast<float>(to.y - from.y), radius_};
  pixelLoops().capsule(rowsOf(mask_), capsule);
}

PremultipliedPixel premultiplied(uint32_t argb) {
  const uint32_t alpha = argb >> 24;
  return alpha << 24 | multiply((argb >> 16) & 0xFF, alpha) << 16 |
         multiply((argb >> 8) & 0xFF, alpha) << 8 | multiply(argb & 0xFF, alpha);
}

void blendColorThrough(uint8_t* canvas, size_t canvasStride, const CoverageMask& mask,
                       PremultipliedPixel color, MaskBlend blend) {
  pixelLoops().blend({canvas, canvasStride, rowsOf(mask), color, nullptr, 0, blend});
}

void blendImageThrough(uint8_t* canvas, size_t canvasStride, const CoverageMask& mask,
                       const uint8_t* source, size_t sourceStride, MaskBlend blend) {
  pixelLoops().blend({canvas, canvasStride, rowsOf(mask), 0, source, sourceStride, blend});
}

}  // namespace velmo::draw
