// The brush's pixel loops for SSE2, four pixels at a time: the coverage over the float lanes
// below, the blend over the integer ones. SSE2 is part of every x86-64 processor, so these
// need no processor check; elsewhere sse2PixelLoops() is null.
#include "draw/brush_kernels.h"

#if defined(__SSE2__)
#include <emmintrin.h>

#include <cstring>
#endif

namespace velmo::draw {

#if defined(__SSE2__)

namespace {

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

struct Sse2Pixels {
  using I = __m128i;
  static constexpr int kCount = 4;
  static I load(const uint32_t* p) { return _mm_loadu_si128(reinterpret_cast<const I*>(p)); }
  static void store(uint32_t* p, I v) { _mm_storeu_si128(reinterpret_cast<I*>(p), v); }
  static I coverage(const uint8_t* c) {
    uint32_t four;
    std::memcpy(&four, c, sizeof four);
    I m = _mm_cvtsi32_si128(static_cast<int>(four));
    m = _mm_unpacklo_epi8(m, m);
    return _mm_unpacklo_epi16(m, m);
  }
  static I solid(uint32_t color) {
    return _mm_unpacklo_epi8(_mm_set1_epi32(static_cast<int>(color)), _mm_setzero_si128());
  }
  static I widenLow(I v) { return _mm_unpacklo_epi8(v, _mm_setzero_si128()); }
  static I widenHigh(I v) { return _mm_unpackhi_epi8(v, _mm_setzero_si128()); }
  static I narrow(I low, I high) { return _mm_packus_epi16(low, high); }
  static I multiply(I x, I a) {
    return _mm_mulhi_epu16(_mm_adds_epu16(_mm_mullo_epi16(x, a), _mm_set1_epi16(0x80)),
                           _mm_set1_epi16(0x0101));
  }
  static I alphaOf(I v) { return _mm_shufflehi_epi16(_mm_shufflelo_epi16(v, 0xFF), 0xFF); }
  static I set16(short n) { return _mm_set1_epi16(n); }
  static I subtract(I a, I b) { return _mm_sub_epi16(a, b); }
  static I addSaturated(I a, I b) { return _mm_adds_epu16(a, b); }
  // One pixel at a time.
  template <MaskBlend Blend>
  static void tail(uint32_t* pixels, const uint32_t* source, uint32_t color,
                   const uint8_t* coverage, int count) {
    blendPixels(pixels, source, color, coverage, 0, count, Blend);
  }
};

const PixelLoopTable kSse2Loops{&capsuleRows<Sse2Lanes>, &blendThrough<Sse2Pixels>};

}  // namespace

const PixelLoopTable* sse2PixelLoops() {
  return &kSse2Loops;
}

#else

const PixelLoopTable* sse2PixelLoops() {
  return nullptr;
}

#endif

}  // namespace velmo::draw
