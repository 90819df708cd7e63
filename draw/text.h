// Text for the watermark: laid out once, measured on one line, drawn at a point or into a
// rectangle on a Cairo context.
//
// The real engine is Pango with fontconfig: Noto Sans (SemiBold) for Latin text and Noto Sans
// CJK TC for Han text, sized in the units of the context it is drawn on. Metrics are not
// hinted and glyph positions not rounded, so a text measures the same under any transform and
// scales with the drawing. Layout code takes a TextEngine, so tests can inject exact measures.
#pragma once

#include <cairo.h>

#include <memory>
#include <string_view>

#include "draw/color.h"
#include "draw/geometry.h"

namespace velmo::draw {

// A text laid out in one font size. Drawing uses the context's current transform and clip;
// glyphs that cannot reach the clip are not drawn, and neither are glyphs whose em would be
// larger than 2^15 device pixels (Cairo cannot place those).
class Text {
 public:
  virtual ~Text() = default;
  // The size of the text on one line: explicit line breaks still start new lines.
  virtual Size size() const = 0;
  // Draws the text on one line with its top-left corner at (x, y).
  virtual void drawAt(cairo_t* cr, double x, double y, const Color& color) const = 0;
  // Draws the text wrapped at word boundaries (and inside words too long for a line) to the
  // rectangle's width, from its top; only the lines whose bottom fits in the rectangle are
  // drawn, and always the first.
  virtual void drawIn(cairo_t* cr, const Rect& rect, const Color& color) const = 0;
};

class TextEngine {
 public:
  virtual ~TextEngine() = default;
  // |text| is UTF-8; |fontSize| is the em in the units the text will be drawn in.
  virtual std::unique_ptr<Text> layOut(std::string_view text, double fontSize) = 0;
};

// The process's Pango engine. Its fonts are loaded on the first call, so a process that
// never draws text never reads the font configuration. Safe to use from any thread (calls
// are serialised).
TextEngine& systemTextEngine();

// The font em, in device pixels, of text drawn at |fontSize| user units under |cr|'s
// transform (the longer of the transformed unit axes).
double deviceEm(cairo_t* cr, double fontSize);

inline constexpr double kMaxDeviceEm = 32768;

}  // namespace velmo::draw
