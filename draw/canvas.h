// An offscreen drawing surface of an exact pixel size, origin top-left, y downward.
//
// Opaque canvases are Cairo RGB24, canvases with alpha ARGB32 (premultiplied), both treated
// as sRGB. Their pixels are in the Bitmap layout, so view() hands them to the encoders
// without a copy. Sides are limited to 16380 by the callers (Cairo's own limit is 32767).
// A coverage canvas is Cairo A8: it holds only how much of each pixel a figure covers, and
// can draw into a CoverageMask, through which colours and images are then laid.
//
// Errors: Cairo keeps its first error in the context and ignores everything after it. The
// canvas reports that error instead of hiding it: operations that can fail throw
// std::bad_alloc when Cairo ran out of memory and DrawError for anything else. Transforms that
// Cairo could not invert are refused before they reach the context, so the context stays
// usable. Callers keep coordinates within Cairo's fixed-point range (about +-8 million
// pixels); larger values wrap around.
#pragma once

#include <cairo.h>

#include <cstdint>
#include <stdexcept>
#include <vector>

#include "draw/brush.h"
#include "draw/cairo_owners.h"
#include "draw/color.h"
#include "draw/geometry.h"
#include "platform/bitmap.h"

namespace velmo::draw {

// A Cairo failure other than lack of memory, with Cairo's own status and text.
class DrawError : public std::runtime_error {
 public:
  explicit DrawError(cairo_status_t status);
  cairo_status_t status() const { return status_; }

 private:
  cairo_status_t status_;
};

// Nothing for CAIRO_STATUS_SUCCESS; std::bad_alloc for CAIRO_STATUS_NO_MEMORY; DrawError for
// any other status.
void throwIfFailed(cairo_status_t status);

// A Cairo image surface over pixels the caller owns (Bitmap layout, possibly a sub-rectangle
// of a larger bitmap through its stride). The pixels must outlive the surface.
CairoSurface wrapPixels(const platform::BitmapView& pixels);

class Canvas {
 public:
  enum class Format { Opaque, Alpha, Coverage };

  Canvas(uint32_t width, uint32_t height, bool hasAlpha)
      : Canvas(width, height, hasAlpha ? Format::Alpha : Format::Opaque) {}
  // Starts transparent (black for an opaque canvas, empty for a coverage canvas). Throws
  // std::bad_alloc or DrawError (an unsupported size) when the surface cannot be made.
  Canvas(uint32_t width, uint32_t height, Format format);
  // A canvas over |pixels|, which it keeps: it starts with their picture, with no copy made.
  // Opaque or with alpha as |pixels| is. Throws as the constructor above.
  explicit Canvas(platform::Bitmap pixels);
  // A coverage canvas drawing into |mask|'s bytes, in the coordinates of the canvas the mask
  // lies over. The mask must outlive it; its spans are left to the caller.
  explicit Canvas(CoverageMask& mask);
  Canvas(Canvas&&) = default;
  Canvas& operator=(Canvas&&) = default;

  uint32_t width() const { return width_; }
  uint32_t height() const { return height_; }
  bool hasAlpha() const { return format_ == Format::Alpha; }
  cairo_t* context() { return context_.get(); }
  // The context's status: CAIRO_STATUS_SUCCESS unless Cairo failed.
  cairo_status_t status() const { return cairo_status(context_.get()); }

  // Graphics state: transform, line settings and colours. Every save()
  // needs its restore().
  void save();
  void restore();

  // Coordinate transforms. A transform with a non-finite value, or a scale by 0, would leave
  // Cairo without an inverse: it is refused with DrawError and the context is left as it was.
  void translate(double dx, double dy);
  void scale(double sx, double sy);

  void setLineWidth(double width);
  void setRoundCapsAndJoins();
  // Colours for stroke() and for fill() (and for the coverage of a coverage canvas, where
  // only the alpha counts).
  void setStrokeColor(const Color& color);
  void setFillColor(const Color& color);

  // The current path.
  void moveTo(Point p);
  void lineTo(Point p);
  void closePath();
  // A cubic Bezier segment from the current point.
  void curveTo(Point c1, Point c2, Point end);
  // The closed outline of the rectangle, as explicit lines.
  void addRectangle(double x, double y, double width, double height);
  // The closed ellipse inscribed in the rectangle, as four Bezier curves in canvas space
  // (never by scaling the coordinates, which fails for a box of zero width). Both sides must
  // be above 0.
  void addEllipse(double x, double y, double width, double height);

  // Outline the current path with the line settings in the stroke colour and consume it.
  void stroke();
  // Fill the current path (non-zero winding) in the fill colour and consume it.
  void fill();

  // Draws |image| stretched over the rectangle (0, 0, width, height) of the canvas in device
  // pixels, replacing what is there, with a high-quality filter; edge pixels are repeated
  // outward so the borders do not fade.
  void drawStretched(const platform::BitmapView& image);
  // The same stretched image, blended by copy through |mask|: each pixel becomes
  // image * m + pixel * (1 - m), alpha included, where m is the coverage there. Only the
  // mask's spans are touched, and only they and the mask's rectangle are worked on.
  void drawStretchedThrough(const platform::BitmapView& image, const CoverageMask& mask);

  // |color| laid over the canvas through |mask| (source over), on the mask's spans only.
  void paintThrough(const Color& color, const CoverageMask& mask);

  // The pixels, after flushing pending drawing. Not for a coverage canvas.
  platform::BitmapView view();

 private:
  struct Paint {
    Color stroke;
    Color fill;
  };
  void applyColor(const Color& color);
  void check();
  // The pixels' bytes for writing directly, rows strideBytes() apart; the surface must be
  // marked dirty after the writing, before Cairo draws on it again.
  uint8_t* pixelsForWriting();
  size_t strideBytes() const;

  uint32_t width_;
  uint32_t height_;
  Format format_;
  // The pixels of a canvas made over a bitmap; the surface below draws on them.
  platform::Bitmap pixels_;
  CairoSurface surface_;
  CairoContext context_;
  // Cairo has one source for stroking and filling; the two colours are kept here, saved and
  // restored with the rest of the state.
  Paint paint_;
  std::vector<Paint> savedPaint_;
};

}  // namespace velmo::draw
