// The brush's pixel loops for AVX2 with FMA, eight pixels at a time. Built with those
// instruction sets enabled (CMakeLists.txt); brush.cpp runs them only on a processor that has
// them.
#include "draw/brush_kernels.h"

#if defined(__AVX2__) && defined(__FMA__)
#include <immintrin.h>
#endif

namespace velmo::draw {

#if defined(__AVX2__) && defined(__FMA__)

namespace {

struct Avx2Lanes {
  using F = __m256;
  static constexpr int kCount = 8;
  static F set(float v) { return _mm256_set1_ps(v); }
  static F iota() { return _mm256_setr_ps(0, 1, 2, 3, 4, 5, 6, 7); }
  static F add(F a, F b) { return _mm256_add_ps(a, b); }
  static F mul(F a, F b) { return _mm256_mul_ps(a, b); }
  static F min(F a, F b) { return _mm256_min_ps(a, b); }
  static F max(F a, F b) { return _mm256_max_ps(a, b); }
  static F mulAdd(F a, F b, F c) { return _mm256_fmadd_ps(a, b, c); }
  static F negMulAdd(F a, F b, F c) { return _mm256_fnmadd_ps(a, b, c); }
  static F length(F squared) { return _mm256_sqrt_ps(squared); }
  static void keepLarger(uint8_t* at, F value) {
    const __m256i whole = _mm256_cvttps_epi32(value);
    __m128i bytes =
        _mm_packs_epi32(_mm256_castsi256_si128(whole), _mm256_extracti128_si256(whole, 1));
    bytes = _mm_packus_epi16(bytes, bytes);
    const __m128i held = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(at));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(at), _mm_max_epu8(bytes, held));
  }
  // Two groups, side by side from |at|: the packs work within each half of the register, and
  // the permute puts the four runs of four bytes in order.
  static void keepLarger2(uint8_t* at, F first, F second) {
    __m256i bytes = _mm256_packs_epi32(_mm256_cvttps_epi32(first), _mm256_cvttps_epi32(second));
    bytes = _mm256_packus_epi16(bytes, bytes);
    bytes = _mm256_permutevar8x32_epi32(bytes, _mm256_setr_epi32(0, 4, 1, 5, 0, 0, 0, 0));
    const __m128i held = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(at),
                     _mm_max_epu8(_mm256_castsi256_si128(bytes), held));
  }
};

// multiply() on sixteen 16-bit lanes.
inline __m256i multiply(__m256i x, __m256i a) {
  return _mm256_mulhi_epu16(_mm256_adds_epu16(_mm256_mullo_epi16(x, a), _mm256_set1_epi16(0x80)),
                            _mm256_set1_epi16(0x0101));
}

template <MaskBlend Blend>
inline __m256i blendFour(__m256i pixel, __m256i source, __m256i m) {
  const __m256i covered = multiply(source, m);
  __m256i inverse;
  if constexpr (Blend == MaskBlend::Over) {
    inverse = _mm256_shufflehi_epi16(_mm256_shufflelo_epi16(covered, 0xFF), 0xFF);
  } else {
    inverse = m;
  }
  inverse = _mm256_sub_epi16(_mm256_set1_epi16(255), inverse);
  return _mm256_adds_epu16(covered, multiply(pixel, inverse));
}

// Eight pixels blended with |source| (ignored for a solid colour, whose channels |solid|
// holds) by the coverage bytes at |coverage|.
template <MaskBlend Blend>
inline __m256i blendEight(__m256i held, __m256i source, __m256i solid, bool solidColor,
                          const uint8_t* coverage) {
  const __m256i zero = _mm256_setzero_si256();
  // Each of eight coverage bytes, repeated for its pixel's four channels.
  const __m256i spread = _mm256_setr_epi8(0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3,  //
                                          4, 4, 4, 4, 5, 5, 5, 5, 6, 6, 6, 6, 7, 7, 7, 7);
  const __m128i eight = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(coverage));
  const __m256i m = _mm256_shuffle_epi8(_mm256_broadcastq_epi64(eight), spread);
  __m256i sourceLow = solid, sourceHigh = solid;
  if (!solidColor) {
    sourceLow = _mm256_unpacklo_epi8(source, zero);
    sourceHigh = _mm256_unpackhi_epi8(source, zero);
  }
  const __m256i low =
      blendFour<Blend>(_mm256_unpacklo_epi8(held, zero), sourceLow, _mm256_unpacklo_epi8(m, zero));
  const __m256i high =
      blendFour<Blend>(_mm256_unpackhi_epi8(held, zero), sourceHigh, _mm256_unpackhi_epi8(m, zero));
  return _mm256_packus_epi16(low, high);
}

// The last pixels of a row, fewer than eight, are loaded and stored under a lane mask; their
// coverage bytes are read eight at a time, which the mask's row padding allows.
template <MaskBlend Blend>
void avx2BlendRow(uint32_t* pixels, const uint32_t* source, uint32_t color, const uint8_t* coverage,
                  int count) {
  const __m256i solid =
      _mm256_unpacklo_epi8(_mm256_set1_epi32(static_cast<int>(color)), _mm256_setzero_si256());
  const bool solidColor = source == nullptr;
  int i = 0;
  for (; i + 8 <= count; i += 8) {
    auto* at = reinterpret_cast<__m256i*>(pixels + i);
    const __m256i from =
        solidColor ? solid : _mm256_loadu_si256(reinterpret_cast<const __m256i*>(source + i));
    _mm256_storeu_si256(
        at, blendEight<Blend>(_mm256_loadu_si256(at), from, solid, solidColor, coverage + i));
  }
  if (i == count) return;
  const __m256i lanes =
      _mm256_cmpgt_epi32(_mm256_set1_epi32(count - i), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
  auto* at = reinterpret_cast<int*>(pixels + i);
  const __m256i from =
      solidColor ? solid : _mm256_maskload_epi32(reinterpret_cast<const int*>(source + i), lanes);
  _mm256_maskstore_epi32(
      at, lanes,
      blendEight<Blend>(_mm256_maskload_epi32(at, lanes), from, solid, solidColor, coverage + i));
}

void avx2Blend(const MaskedBlend& job) {
  const auto row = job.blend == MaskBlend::Over ? &avx2BlendRow<MaskBlend::Over>
                                                : &avx2BlendRow<MaskBlend::Copy>;
  eachSpan(job, [&](uint32_t* pixels, const uint32_t* source, const uint8_t* coverage, int count) {
    row(pixels, source, job.color, coverage, count);
  });
}

const PixelLoopTable kAvx2Loops{&capsuleRows<Avx2Lanes>, &avx2Blend};

}  // namespace

const PixelLoopTable* avx2PixelLoops() {
  return &kAvx2Loops;
}

#else

const PixelLoopTable* avx2PixelLoops() {
  return nullptr;
}

#endif

}  // namespace velmo::draw
