// The blur preview: a small, blurred copy of a photo that blur strokes paint through their
// brush area, stretched over the canvas. The preview is coarse on purpose: the photo is
// shrunk to at most 96 pixels on its shorter side (1024 on its longer, 65,536 in all) and
// blurred there with a Gaussian of 3 preview pixels, so its cost is small and bounded
// whatever the photo's size.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "platform/bitmap.h"
#include "platform/pixel_geometry.h"

namespace velmo::draw {

// The preview size for a width x height photo (both at least 1): the photo scaled by the
// smallest of 1, 96 / shorter side, 1024 / longer side and sqrt(65536 / area), each side
// floored and at least 1. So 4000 x 3000 gives 128 x 96 and 960 x 10240 gives 78 x 836.
platform::PixelSize previewSize(uint32_t width, uint32_t height);

// The plug-in's blur engine. Made once with the plug-in and used by one render at a time on
// the worker thread; it holds only its fixed tables, nothing from one call to the next.
class BlurContext {
 public:
  BlurContext();
  BlurContext(const BlurContext&) = delete;
  BlurContext& operator=(const BlurContext&) = delete;

  // The preview of |photo| (of the preview size, with the photo's alpha kind): the photo
  // shrunk by area averaging, then blurred with a Gaussian of sigma 3 preview pixels whose
  // edges repeat the border pixels outward (so no dark or transparent fringe comes in). The
  // blur works on premultiplied colour in linear light. nullopt when it cannot be made.
  std::optional<platform::Bitmap> obscuredPreview(const platform::BitmapView& photo) const;
  // The preview of a |shownWidth| x |shownHeight| photo made from |photo|, which shows the
  // same picture at another resolution, possibly another on each axis (no less than the
  // preview size on either): the preview has the size and the blur of the photo's own.
  std::optional<platform::Bitmap> obscuredPreview(const platform::BitmapView& photo,
                                                  uint32_t shownWidth, uint32_t shownHeight) const;

  // Taps of the Gaussian either side of the centre: 3 sigma.
  static constexpr int kRadius = 9;

 private:
  // Normalised weights of the taps -kRadius..kRadius.
  std::array<float, 2 * kRadius + 1> kernel_;
  // 8-bit sRGB to linear light, and linear light (in fine even steps) back to 8-bit sRGB.
  std::array<float, 256> toLinear_;
  std::vector<uint8_t> fromLinear_;
};

}  // namespace velmo::draw
