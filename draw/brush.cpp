#include "draw/brush.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>

#include "draw/brush_kernels.h"

namespace velmo::draw {

// The SSE2 and AVX2 builds of the loops (brush_sse2.cpp, brush_avx2.cpp); null where they
// were not built.
const PixelLoopTable* sse2PixelLoops();
const PixelLoopTable* avx2PixelLoops();

namespace {

const PixelLoopTable kPlainLoops{&capsuleRows<PlainLanes>, &plainBlend};

const PixelLoopTable* loopTable(PixelLoops loops) {
  switch (loops) {
    case PixelLoops::Plain:
      return &kPlainLoops;
    case PixelLoops::Sse2:
      return sse2PixelLoops();
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

// The mask as the loops take it: MaskRows to draw into, MaskSpans (of a const mask) to read.
template <typename Rows, typename Mask>
Rows rowsOf(Mask& mask) {
  return {mask.row(0),  mask.stride(), mask.x(),      mask.y(),
          mask.width(), mask.height(), mask.firsts(), mask.lasts()};
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
  pixelLoops().capsule(rowsOf<MaskRows>(mask_), capsule);
}

void blendColorThrough(uint8_t* canvas, size_t canvasStride, const CoverageMask& mask,
                       PremultipliedPixel color, MaskBlend blend) {
  pixelLoops().blend({canvas, canvasStride, rowsOf<MaskSpans>(mask), color, nullptr, 0, blend});
}

void blendImageThrough(uint8_t* canvas, size_t canvasStride, const CoverageMask& mask,
                       const uint8_t* source, size_t sourceStride, MaskBlend blend) {
  pixelLoops().blend(
      {canvas, canvasStride, rowsOf<MaskSpans>(mask), 0, source, sourceStride, blend});
}

}  // namespace velmo::draw
