// The brush's pixel loops for AVX2 with FMA, eight pixels at a time: the coverage over the
// float lanes below, the blend over the integer ones. Built with those instruction sets
// enabled (CMakeLists.txt); brush.cpp runs them only on a processor that has them.
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

struct Avx2Pixels {
  using I = __m256i;
  static constexpr int kCount = 8;
  static I load(const uint32_t* p) { return _mm256_loadu_si256(reinterpret_cast<const I*>(p)); }
  static void store(uint32_t* p, I v) { _mm256_storeu_si256(reinterpret_cast<I*>(p), v); }
  // Eight coverage bytes, read eight at a time even at a row's end: the mask's row padding
  // allows it.
  static I coverage(const uint8_t* c) {
    const I spread = _mm256_setr_epi8(0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3,  //
                                      4, 4, 4, 4, 5, 5, 5, 5, 6, 6, 6, 6, 7, 7, 7, 7);
    const __m128i eight = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(c));
    return _mm256_shuffle_epi8(_mm256_broadcastq_epi64(eight), spread);
  }
  static I solid(uint32_t color) {
    return _mm256_unpacklo_epi8(_mm256_set1_epi32(static_cast<int>(color)), _mm256_setzero_si256());
  }
  static I widenLow(I v) { return _mm256_unpacklo_epi8(v, _mm256_setzero_si256()); }
  static I widenHigh(I v) { return _mm256_unpackhi_epi8(v, _mm256_setzero_si256()); }
  static I narrow(I low, I high) { return _mm256_packus_epi16(low, high); }
  static I multiply(I x, I a) {
    return _mm256_mulhi_epu16(_mm256_adds_epu16(_mm256_mullo_epi16(x, a), _mm256_set1_epi16(0x80)),
                              _mm256_set1_epi16(0x0101));
  }
  static I alphaOf(I v) { return _mm256_shufflehi_epi16(_mm256_shufflelo_epi16(v, 0xFF), 0xFF); }
  static I set16(short n) { return _mm256_set1_epi16(n); }
  static I subtract(I a, I b) { return _mm256_sub_epi16(a, b); }
  static I addSaturated(I a, I b) { return _mm256_adds_epu16(a, b); }
  // The last pixels, fewer than eight, loaded and stored under a lane mask.
  template <MaskBlend Blend>
  static void tail(uint32_t* pixels, const uint32_t* source, uint32_t color,
                   const uint8_t* coverage, int count) {
    const I lanes =
        _mm256_cmpgt_epi32(_mm256_set1_epi32(count), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
    auto* at = reinterpret_cast<int*>(pixels);
    const I filled = solid(color);
    const I from = source == nullptr
                       ? filled
                       : _mm256_maskload_epi32(reinterpret_cast<const int*>(source), lanes);
    _mm256_maskstore_epi32(at, lanes,
                           blendGroup<Avx2Pixels, Blend>(_mm256_maskload_epi32(at, lanes), from,
                                                         source == nullptr, filled, coverage));
  }
};

const PixelLoopTable kAvx2Loops{&capsuleRows<Avx2Lanes>, &blendThrough<Avx2Pixels>};

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
