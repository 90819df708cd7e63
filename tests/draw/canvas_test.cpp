// What the canvas reports when Cairo cannot do what is asked, and the blur preview's shape.
#include <gtest/gtest.h>

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

}  // namespace
}  // namespace velmo::draw
