// The text watermark: its layout as plain arithmetic on the measured text size, and its
// drawing on a Cairo context whose user space is the reference space (refW x refH units
// covering the canvas).
//
// Three styles: the text repeated diagonally over the whole picture, or set in a rounded box
// at the bottom-right corner, filled with a gradient ("cornerStamp") or translucent black.
#pragma once

#include <cairo.h>

#include <optional>
#include <string>
#include <vector>

#include "draw/color.h"
#include "draw/geometry.h"
#include "draw/text.h"

namespace velmo::draw {

enum class WatermarkStyle {
  DiagonalRepeat,    // "diagonalRepeat"
  CornerStamp,       // "cornerStamp"
  MinimalSignature,  // "minimalSignature" and every other name
};

// A watermark that is on: the settings as the recipe gave them, before the layout's limits.
struct Watermark {
  std::string text;  // UTF-8, never empty
  WatermarkStyle style = WatermarkStyle::MinimalSignature;
  std::optional<double> opacity;  // read by the diagonal style only
  std::optional<double> density;  // read by the diagonal style only
  // The box fill of "cornerStamp", evenly spread from the box's top-left corner to its
  // bottom-right corner; fewer than two colours mean the black box.
  std::vector<Color> gradientColors;
};

inline constexpr double kBoxTextAlpha = 0.94;
inline constexpr double kBoxFillAlpha = 0.48;
// Copies of the diagonal style turn by -30 degrees: on a y-down canvas the text rises to the
// right.
inline constexpr double kDiagonalAngle = -0.5235987755982988;

// The em in reference units: 5 % (diagonal) or 3.5 % (box) of the shorter reference side,
// kept within 8 to 64.
double watermarkFontSize(double minRef, bool diagonal);
// The diagonal text's alpha: 0.12 by default, at most 0.3 (NaN too), at least 0.04.
double diagonalAlpha(std::optional<double> opacity);
// The diagonal tiling density: 1 by default, 1.8 for 1.8 or more (NaN too), at least 0.6.
double diagonalDensity(std::optional<double> density);

// The staggered rows of diagonal copies: each copy's top-left corner before its turn. The
// grid reaches one text width beyond every edge of the reference space.
struct DiagonalGrid {
  double referenceWidth = 0;
  double referenceHeight = 0;
  double margin = 0;  // the text width
  double stepX = 0;
  double stepY = 0;

  // Calls |visit|(Point) for each copy, rows top to bottom, copies left to right.
  template <typename Visit>
  void forEach(Visit&& visit) const {
    int row = 0;
    for (double y = -margin; y < referenceHeight + margin; y += stepY, ++row) {
      for (double x = row % 2 == 0 ? -margin : stepX * 0.5 - margin; x < referenceWidth + margin;
           x += stepX) {
        visit(Point{x, y});
      }
    }
  }
};

DiagonalGrid diagonalGrid(Size text, double fontSize, double density, double referenceWidth,
                          double referenceHeight);

// Whether a copy at |origin| (its text |text| big, widened by |em| for ink beyond the
// advance) can put any ink inside the reference rectangle once turned.
bool diagonalCopyReaches(Point origin, Size text, double em, double referenceWidth,
                         double referenceHeight);

struct BoxLayout {
  double pad = 0;
  Rect box;  // may have a negative width when the reference space is narrower than 2 pads
  double radius = 0;
  Rect textRect;
};

BoxLayout boxLayout(Size text, double fontSize, double referenceWidth, double referenceHeight);

// Sets |cr|'s path to the rounded rectangle |box| (a negative size is flipped; the radius is
// kept within half the shorter side). The path is built in device space, with edges far
// outside the canvas pulled in to 2^21 pixels beyond it, so that huge boxes stay within what
// Cairo can represent without changing what is visible.
void roundedBoxPath(cairo_t* cr, Rect box, double radius);

// Draws |watermark| on |cr|, whose user space is the reference space. Measures the text once.
// Leaves the graphics state as it found it.
void drawWatermark(cairo_t* cr, const Watermark& watermark, double referenceWidth,
                   double referenceHeight, TextEngine& engine);

}  // namespace velmo::draw
