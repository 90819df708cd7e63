// The arithmetic that takes a decoded photo to the region the canvas shows: how many pixels
// to decode, quarter turns, and the crop in pixels. All in IEEE double precision, in the
// order written, without epsilons: the results are part of the contract.
#pragma once

#include <cstdint>
#include <optional>

#include "platform/bitmap.h"
#include "platform/pixel_geometry.h"

namespace velmo {

// Largest side of an output, a decode or the watermark reference space.
inline constexpr int64_t kMaxSide = 16380;
// Largest output area, and the decode budget.
inline constexpr int64_t kMaxArea = 16'000'000;

// The longer side the decoder may produce: enough for the crop to cover the output, never
// more than about 16,000,000 pixels of the source or 16380 pixels on a side; at least 1.
// sourceWidth and sourceHeight are at least 1; cropWidth and cropHeight above 0.
int64_t decodeLimit(double sourceWidth, double sourceHeight, int64_t outputWidth,
                    int64_t outputHeight, double cropWidth, double cropHeight);

// Clockwise quarter turns taken into 0..3 (the two lowest bits: -1 gives 3).
int normalizeTurns(int64_t quarterTurns);

// |image| turned clockwise by |turns| (1..3) quarter turns: an exact pixel permutation.
// Source pixel (x, y) of a w x h image lands at (h-1-y, x) for 1 turn, (w-1-x, h-1-y) for 2
// and (y, w-1-x) for 3.
platform::Bitmap rotate(const platform::Bitmap& image, int turns);

using platform::PixelRect;

// Whether the crop's edges, measured on an image of |width| x |height|, are all finite. The
// request is measured on the full-resolution photo as well as on the decoded one: a fraction
// so large that only the reduced decode keeps it finite still has no place on the photo.
bool cropEdgesFinite(double width, double height, double x, double y, double w, double h);

// The crop of a width x height image by fractions (x, y, w, h): the fractional rectangle
// clipped to the image and rounded outward to whole pixels. nullopt when the clipped
// rectangle is empty (touching an edge counts as empty) or any edge is not finite.
std::optional<PixelRect> cropRect(uint32_t width, uint32_t height, double x, double y, double w,
                                  double h);

// The rectangle of a stored picture (storedWidth x storedHeight) that shows as |shown| once
// the picture is laid upright for EXIF |orientation| (1 to 8, as applyOrientation lays it)
// and turned clockwise by |turns| (0..3, as rotate() turns it). |shown| lies within the
// turned picture.
PixelRect storedRegion(const PixelRect& shown, uint32_t storedWidth, uint32_t storedHeight,
                       int orientation, int turns);

}  // namespace velmo
