#include "draw/brush.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace velmo::draw {
namespace {

// Whole pixels of a row, or rows of a column: from |first| to |last|, empty when first > last.
struct Span {
  int first = 0;
  int last = -1;
};

// The pixels i with from <= i <= to, in coordinates where pixel i's centre lies at i, cut to
// [0, size). The bounds are finite and within a few million.
Span centresWithin(double from, double to, int size) {
  const double low = std::max(from, 0.0);
  const double high = std::min(to, size - 1.0);
  if (!(low <= high)) return {};
  // Both are now within [0, size): truncation is floor, and ceil is one more unless exact.
  int first = static_cast<int>(low);
  first += static_cast<double>(first) < low ? 1 : 0;
  return {first, static_cast<int>(high)};
}

// The pixel loops. A disc's pixel x on a row |dy| from its centre lies (x + offset, dy) from
// it; a body's lies nx * (x + offset) + across from the line through the segment and
// dx * (x + offset) + along along it (from 0 to the length squared within the body), with
// (across, along) set per row. Each pixel keeps the larger of what it holds and its coverage.
//
// Pixels are worked in groups from a multiple of the group's size (with SSE2), so pixels either
// side of a span are worked too: they get their true coverage, which is what they would get
// anyway, and they stay within the row because rows are a multiple of 16 bytes long.
#if defined(__SSE2__)

inline __m128 clampCoverage(__m128 value) {
  return _mm_min_ps(_mm_max_ps(value, _mm_setzero_ps()), _mm_set1_ps(1));
}

// Four pixels' coverage (0 to 1) into bytes, each keeping the larger of the two.
inline void keepLarger(uint8_t* at, __m128 coverage) {
  __m128i value =
      _mm_cvttps_epi32(_mm_add_ps(_mm_mul_ps(coverage, _mm_set1_ps(255)), _mm_set1_ps(0.5f)));
  value = _mm_packs_epi32(value, value);
  value = _mm_packus_epi16(value, value);
  uint32_t held;
  std::memcpy(&held, at, sizeof held);
  const __m128i larger = _mm_max_epu8(value, _mm_cvtsi32_si128(static_cast<int>(held)));
  const auto merged = static_cast<uint32_t>(_mm_cvtsi128_si32(larger));
  std::memcpy(at, &merged, sizeof merged);
}

class DiscPixels {
 public:
  DiscPixels(float offset, float radius)
      : offset_(offset), radius_(_mm_set1_ps(radius)), lanes_(_mm_setr_ps(0, 1, 2, 3)) {}

  void row(uint8_t* row, Span span, float dy) const {
    const __m128 dy2 = _mm_set1_ps(dy * dy);
    // Keeps the reciprocal square root finite at the centre itself.
    const __m128 tiny = _mm_set1_ps(1e-20f);
    const int first = span.first & ~3;
    __m128 dx = _mm_add_ps(_mm_set1_ps(static_cast<float>(first) + offset_), lanes_);
    for (int x = first; x <= span.last; x += 4) {
      const __m128 d2 = _mm_add_ps(_mm_mul_ps(dx, dx), dy2);
      // d = d2 / sqrt(d2), to 12 bits: a few thousandths of a pixel on the widest brush.
      const __m128 d = _mm_mul_ps(d2, _mm_rsqrt_ps(_mm_max_ps(d2, tiny)));
      keepLarger(row + x, clampCoverage(_mm_sub_ps(radius_, d)));
      dx = _mm_add_ps(dx, _mm_set1_ps(4));
    }
  }

 private:
  float offset_;
  __m128 radius_;
  __m128 lanes_;
};

class BodyPixels {
 public:
  BodyPixels(float offset, float nx, float dx, float lengthSquared, float radius)
      : offset_(offset),
        nx_(_mm_set1_ps(nx)),
        dx_(_mm_set1_ps(dx)),
        lengthSquared_(_mm_set1_ps(lengthSquared)),
        radius_(_mm_set1_ps(radius)),
        lanes_(_mm_setr_ps(0, 1, 2, 3)) {}

  void row(uint8_t* row, Span span, float across, float along) const {
    const __m128 vacross = _mm_set1_ps(across), valong = _mm_set1_ps(along);
    const __m128 sign = _mm_set1_ps(-0.0f);
    const int first = span.first & ~3;
    __m128 cx = _mm_add_ps(_mm_set1_ps(static_cast<float>(first) + offset_), lanes_);
    for (int x = first; x <= span.last; x += 4) {
      const __m128 distance = _mm_andnot_ps(sign, _mm_add_ps(_mm_mul_ps(nx_, cx), vacross));
      const __m128 t = _mm_add_ps(_mm_mul_ps(dx_, cx), valong);
      const __m128 inside =
          _mm_and_ps(_mm_cmpge_ps(t, _mm_setzero_ps()), _mm_cmple_ps(t, lengthSquared_));
      keepLarger(row + x, _mm_and_ps(inside, clampCoverage(_mm_sub_ps(radius_, distance))));
      cx = _mm_add_ps(cx, _mm_set1_ps(4));
    }
  }

 private:
  float offset_;
  __m128 nx_, dx_, lengthSquared_, radius_, lanes_;
};

#else

inline void keepLarger(uint8_t* at, float coverage) {
  const auto value =
      static_cast<uint8_t>(static_cast<int>(std::clamp(coverage, 0.0f, 1.0f) * 255.0f + 0.5f));
  *at = std::max(*at, value);
}

class DiscPixels {
 public:
  DiscPixels(float offset, float radius) : offset_(offset), radius_(radius) {}

  void row(uint8_t* row, Span span, float dy) const {
    for (int x = span.first; x <= span.last; ++x) {
      const float dx = static_cast<float>(x) + offset_;
      keepLarger(row + x, radius_ - std::sqrt(dx * dx + dy * dy));
    }
  }

 private:
  float offset_, radius_;
};

class BodyPixels {
 public:
  BodyPixels(float offset, float nx, float dx, float lengthSquared, float radius)
      : offset_(offset), nx_(nx), dx_(dx), lengthSquared_(lengthSquared), radius_(radius) {}

  void row(uint8_t* row, Span span, float across, float along) const {
    for (int x = span.first; x <= span.last; ++x) {
      const float cx = static_cast<float>(x) + offset_;
      const float t = dx_ * cx + along;
      if (t >= 0 && t <= lengthSquared_) {
        keepLarger(row + x, radius_ - std::abs(nx_ * cx + across));
      }
    }
  }

 private:
  float offset_, nx_, dx_, lengthSquared_, radius_;
};

#endif

// Works the pixels of |span| on a row, where those of |inner| (within |span|) are known to be
// fully covered: they are set outright and only the two ends go through the pixel loop.
template <typename Pixels, typename... Row>
void fillRow(uint8_t* row, Span span, Span inner, const Pixels& pixels, Row... place) {
  if (inner.first > inner.last) {
    pixels.row(row, span, place...);
    return;
  }
  if (span.first < inner.first) pixels.row(row, {span.first, inner.first - 1}, place...);
  std::memset(row + inner.first, 255, static_cast<size_t>(inner.last - inner.first + 1));
  if (inner.last < span.last) pixels.row(row, {inner.last + 1, span.last}, place...);
}

// Brushes at least this wide (in pixels of radius) have their fully covered middles set
// outright; on narrower ones the middle is a group or two, and finding it costs more.
constexpr float kSolidRadius = 6;

// A bound that no pixel reaches, for a direction in which a body has none.
constexpr double kBeyond = 1e9;
// Below this, a unit vector's component counts as 0: over the few tens of thousands of pixels
// a brush can reach, it moves nothing by a thousandth of a pixel.
constexpr double kFlat = 1e-9;

// A disc of radius r centred at (cx, cy), in the rows' own pixel coordinates.
template <bool Wide>
void discRows(const CoverageRows& rows, Span box, double cx, double cy, double r) {
  const Span lines = centresWithin(cy - r, cy + r, rows.height);
  const DiscPixels pixels(static_cast<float>(-cx), static_cast<float>(r));
  const double solid = r - 1;
  for (int y = lines.first; y <= lines.last; ++y) {
    const double dy = y - cy;
    Span span = box, inner;
    if constexpr (Wide) {
      // The chord of the disc on this row, and of the part of it that is fully covered.
      const double reach = std::sqrt(std::max(r * r - dy * dy, 0.0));
      span = centresWithin(cx - reach, cx + reach, rows.width);
      if (std::abs(dy) < solid) {
        const double full = std::sqrt(solid * solid - dy * dy);
        inner = centresWithin(cx - full, cx + full, rows.width);
      }
      if (span.first > span.last) continue;
    }
    fillRow(rows.bytes + static_cast<size_t>(y) * rows.stride, span, inner, pixels,
            static_cast<float>(dy));
  }
}

// A segment body's rows. On row y its pixels lie within two intervals, each of a fixed width
// and starting at a column linear in y: within r of the line (near), and with the foot of the
// perpendicular on the segment (foot). Its fully covered pixels are those within r - 1 of the
// line (solid) with the foot on the segment.
struct BodyLines {
  Span rows;
  double nearStart, nearSlope, nearWidth;
  double footStart, footSlope, footWidth;
  double solidStart, solidWidth;
  // For a level segment, the near interval is all or nothing: the row's own distance decides.
  bool level;
  double ay, r;
};

template <bool Wide>
void bodyRows(const CoverageRows& rows, const BodyLines& lines, const BodyPixels& pixels, double ny,
              double dy) {
  for (int y = lines.rows.first; y <= lines.rows.last; ++y) {
    const double near = lines.nearStart + lines.nearSlope * y;
    const double foot = lines.footStart + lines.footSlope * y;
    const Span span = centresWithin(
        std::max(near, foot), std::min(near + lines.nearWidth, foot + lines.footWidth), rows.width);
    if (span.first > span.last) continue;
    Span inner;
    if constexpr (Wide) {
      if (!lines.level || std::abs(y - lines.ay) <= lines.r - 1) {
        const double solid = lines.solidStart + lines.nearSlope * y;
        inner =
            centresWithin(std::max(solid, foot),
                          std::min(solid + lines.solidWidth, foot + lines.footWidth), rows.width);
      }
    }
    const double cy = y - lines.ay;
    fillRow(rows.bytes + static_cast<size_t>(y) * rows.stride, span, inner, pixels,
            static_cast<float>(ny * cy), static_cast<float>(dy * cy));
  }
}

}  // namespace

// Sixteenths of a pixel: where a stamped disc's centre may lie.
constexpr int kSteps = 16;
static_assert(kSteps == 16, "stampDisc splits sixteenths with shifts and masks");
// Discs of one radius drawn before stamps are made for it: about what making them costs.
constexpr int kDiscsBeforeStamps = 256;

DiscStamps::DiscStamps(float radius, int reach, int side)
    : radius_(radius),
      reach_(reach),
      side_(side),
      bytes_(static_cast<size_t>(kSteps) * kSteps * side * side) {
  for (int qy = 0; qy < kSteps; ++qy) {
    for (int qx = 0; qx < kSteps; ++qx) {
      uint8_t* out = bytes_.data() + (static_cast<size_t>(qy) * kSteps + qx) * side * side;
      const float fx = static_cast<float>(qx) / kSteps, fy = static_cast<float>(qy) / kSteps;
      // The same pixel loop as a disc drawn in place; rows are a multiple of 4 bytes.
      const DiscPixels pixels(-static_cast<float>(reach) - fx, radius);
      for (int j = 0; j < side; ++j) {
        pixels.row(out + static_cast<size_t>(j) * side, {0, side - 1},
                   static_cast<float>(j - reach) - fy);
      }
    }
  }
}

std::unique_ptr<DiscStamps> DiscStamps::make(float radius) {
  // Pixels reach - radius - 1 to reach + radius + 1 from the origin can be covered.
  const int reach = static_cast<int>(std::ceil(radius));
  const int side = 2 * reach + 2;
  if (side > 16) return nullptr;
  return std::unique_ptr<DiscStamps>(new DiscStamps(radius, reach, side <= 8 ? 8 : 16));
}

const DiscStamps* DiscCache::stampsFor(float radius) {
  if (radius != radius_) {
    radius_ = radius;
    asked_ = 0;
    stamps_.reset();
  }
  if (stamps_) return stamps_.get();
  if (++asked_ == kDiscsBeforeStamps) stamps_ = DiscStamps::make(radius);
  return stamps_.get();
}

RoundBrush::RoundBrush(CoverageRows rows, double lineWidth, double originX, double originY,
                       DiscCache* discs)
    : rows_(rows),
      radius_(static_cast<float>(lineWidth / 2 + 0.5)),
      originX_(originX),
      originY_(originY),
      discs_(discs) {}

bool RoundBrush::stampDisc(const DiscStamps& stamps, double cx, double cy) {
  if (!(cx > -1e6 && cx < 1e6 && cy > -1e6 && cy < 1e6)) return false;
  // The centre in sixteenths of a pixel, rounded (floor of v + 1/2, for either sign), then
  // split into its whole pixel and the sixteenths past that pixel's centre.
  auto sixteenths = [](double v) {
    const double scaled = v * kSteps + 0.5;
    int n = static_cast<int>(scaled);
    return n - (static_cast<double>(n) > scaled ? 1 : 0);
  };
  const int nx = sixteenths(cx), ny = sixteenths(cy);
  const int x = nx >> 4, y = ny >> 4, qx = nx & (kSteps - 1), qy = ny & (kSteps - 1);
  const int side = stamps.side();
  const int left = x - stamps.reach(), top = y - stamps.reach();
  // Within the rows, and the stamp's width within the row's bytes (padding included).
  if (left < 0 || top < 0 || top + stamps.rows() > rows_.height ||
      static_cast<size_t>(left) + static_cast<size_t>(side) > rows_.stride) {
    return false;
  }
  const uint8_t* stamp = stamps.stamp(qx, qy);
  for (int j = 0; j < stamps.rows(); ++j) {
    uint8_t* row = rows_.bytes + static_cast<size_t>(top + j) * rows_.stride + left;
    const uint8_t* from = stamp + static_cast<size_t>(j) * side;
#if defined(__SSE2__)
    if (side == 8) {
      const __m128i held = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(row));
      const __m128i disc = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(from));
      _mm_storel_epi64(reinterpret_cast<__m128i*>(row), _mm_max_epu8(held, disc));
    } else {
      const __m128i held = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row));
      const __m128i disc = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(row), _mm_max_epu8(held, disc));
    }
#else
    for (int i = 0; i < side; ++i) row[i] = std::max(row[i], from[i]);
#endif
  }
  return true;
}

void RoundBrush::disc(Point centre) {
  // Pixel centres relative to the coverage rows' own pixel centres.
  const double cx = centre.x - originX_ - 0.5, cy = centre.y - originY_ - 0.5;
  const Span box = centresWithin(cx - radius_, cx + radius_, rows_.width);
  if (box.first > box.last) return;
  if (discs_ != nullptr) {
    if (const DiscStamps* stamps = discs_->stampsFor(radius_)) {
      if (stampDisc(*stamps, cx, cy)) return;
    }
  }
  if (radius_ >= kSolidRadius) {
    discRows<true>(rows_, box, cx, cy, radius_);
  } else {
    discRows<false>(rows_, box, cx, cy, radius_);
  }
}

void RoundBrush::body(Point from, Point to) {
  // The start relative to the coverage rows' pixel centres.
  const double ax = from.x - originX_ - 0.5, ay = from.y - originY_ - 0.5;
  const double dx = to.x - from.x, dy = to.y - from.y;
  const double lengthSquared = dx * dx + dy * dy;
  if (!(lengthSquared > 0)) return;
  const double length = std::sqrt(lengthSquared);
  // The unit normal: pixel centre (x, y) lies nx (x - ax) + ny (y - ay) from the line.
  const double nx = -dy / length, ny = dx / length;
  const double r = radius_;

  BodyLines lines{};
  // The body is the parallelogram a +- r n, b +- r n: its rows reach r |ny| beyond the ends.
  const double rise = r * std::abs(ny);
  lines.rows =
      centresWithin(std::min(ay, ay + dy) - rise, std::max(ay, ay + dy) + rise, rows_.height);
  lines.ay = ay;
  lines.r = r;
  // A direction in which the segment does not lean bounds nothing; the pixel loop's own test
  // then decides.
  lines.level = !(std::abs(nx) >= kFlat);
  lines.nearStart = -kBeyond;
  lines.nearWidth = 2 * kBeyond;
  if (!lines.level) {
    lines.nearSlope = -ny / nx;
    lines.nearWidth = 2 * r / std::abs(nx);
    lines.nearStart = ax - ay * lines.nearSlope - lines.nearWidth / 2;
  }
  lines.footStart = -kBeyond;
  lines.footWidth = 2 * kBeyond;
  if (std::abs(dx) >= kFlat * length) {
    lines.footSlope = -dy / dx;
    lines.footWidth = lengthSquared / std::abs(dx);
    lines.footStart = ax - ay * lines.footSlope + (dx > 0 ? 0 : lengthSquared / dx);
  }
  lines.solidStart = lines.nearStart + (lines.nearWidth / 2) / r;
  lines.solidWidth = lines.nearWidth * ((r - 1) / r);

  const BodyPixels pixels(static_cast<float>(-ax), static_cast<float>(nx), static_cast<float>(dx),
                          static_cast<float>(lengthSquared), radius_);
  if (radius_ >= kSolidRadius) {
    bodyRows<true>(rows_, lines, pixels, ny, dy);
  } else {
    bodyRows<false>(rows_, lines, pixels, ny, dy);
  }
}

}  // namespace velmo::draw
