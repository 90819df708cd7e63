// What the canvas reports when Cairo cannot do what is asked, and the blur preview's shape.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "draw/blur.h"
#include "draw/canvas.h"

namespace velmo::draw {
namespace {

TEST(Canvas, ReportsCairosOwnStatus) {
  // Too large for Cairo is not a lack of memory.
  try {
    Canvas tooWide(40000, 1, false);
    FAIL() << "made a 40000 px wide canvas";
  } catch (const DrawError& error) {
    EXPECT_EQ(error.status(), CAIRO_STATUS_INVALID_SIZE);
  }
  // Transforms without an inverse are refused, and the context stays usable.
  Canvas canvas(4, 4, true);
  for (auto [sx, sy] : {std::pair{0.0, 1.0}, {1.0, std::numeric_limits<double>::quiet_NaN()}}) {
    EXPECT_THROW(canvas.scale(sx, sy), DrawError);
  }
  EXPECT_THROW(canvas.translate(std::numeric_limits<double>::infinity(), 0), DrawError);
  EXPECT_EQ(canvas.status(), CAIRO_STATUS_SUCCESS);
  canvas.setFillColor(colorFromArgb(0xFF00FF00));
  canvas.addRectangle(0, 0, 4, 4);
  canvas.fill();
  EXPECT_EQ(canvas.view().row(3)[3], 0xFF00FF00u);
}

TEST(BlurPreview, HasThePreviewSizeAndThePhotosAlphaKind) {
  const BlurContext blur;
  for (bool alpha : {false, true}) {
    platform::Bitmap photo(400, 300, alpha);
    std::fill(photo.data(), photo.data() + 400 * 300, 0xFF204060u);
    const auto preview = blur.obscuredPreview(photo.view());
    ASSERT_TRUE(preview);
    EXPECT_EQ(preview->width(), 128u);
    EXPECT_EQ(preview->height(), 96u);
    EXPECT_EQ(preview->hasAlpha(), alpha);
    // A uniform photo gives a uniform preview, corners included.
    EXPECT_EQ(preview->row(0)[0], 0xFF204060u);
    EXPECT_EQ(preview->row(95)[127], 0xFF204060u);
  }
}

TEST(BlurPreview, OneSideShrinksAloneAndTheEdgeBlursByTheGaussian) {
  // A photo of 1 x 5000, black above row 2500 and white below: the preview is 1 x 1024 with
  // the edge at row 512, blurred by a Gaussian of sigma 3 rows (taps to 3 sigma, the border
  // repeated) in linear light. Within 0.005 in linear light: half an 8-bit step near white,
  // and what a kernel cut a little further out gives.
  platform::Bitmap photo(1, 5000, false);
  for (uint32_t y = 0; y < 5000; ++y) photo.row(y)[0] = y < 2500 ? 0xFF000000u : 0xFFFFFFFFu;
  const auto preview = BlurContext().obscuredPreview(photo.view());
  ASSERT_TRUE(preview);
  ASSERT_EQ(preview->width(), 1u);
  ASSERT_EQ(preview->height(), 1024u);
  double weights[19], total = 0;
  for (int k = -9; k <= 9; ++k) total += weights[k + 9] = std::exp(-k * k / 18.0);
  for (int y = 0; y < 1024; ++y) {
    double expected = 0;
    for (int k = -9; k <= 9; ++k)
      expected += std::clamp(y + k, 0, 1023) >= 512 ? weights[k + 9] : 0;
    expected /= total;
    const uint32_t pixel = preview->row(static_cast<uint32_t>(y))[0];
    for (int shift : {0, 8, 16}) {
      const double srgb = ((pixel >> shift) & 0xFF) / 255.0;
      const double linear = srgb <= 0.04045 ? srgb / 12.92 : std::pow((srgb + 0.055) / 1.055, 2.4);
      EXPECT_NEAR(linear, expected, 0.005) << y;
    }
  }
}

}  // namespace
}  // namespace velmo::draw
