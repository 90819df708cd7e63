// The crop and decode arithmetic of a render: how many pixels to decode, quarter turns, the
// crop in pixels, and the part of the stored picture it shows. All in IEEE double precision, in the
// order written, without epsilons: the results are part of the contract.
#pragma once

#include <cstdint>
#include <optional>

#include "draw/geometry.h"
#include "platform/pixel_geometry.h"

namespace velmo::render {

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

// Whether the edges of |crop| (fractions), measured on an image of |width| x |height|, are all
// finite. The request is measured on the full-resolution photo as well as on the decoded one:
// a fraction so large that only the reduced decode keeps it finite still has no place on the
// photo.
bool cropEdgesFinite(double width, double height, const draw::Rect& crop);

// The crop of a width x height image by the fractions of |crop|: the fractional rectangle
// clipped to the image and rounded outward to whole pixels. nullopt when the clipped
// rectangle is empty (touching an edge counts as empty) or any edge is not finite.
std::optional<platform::PixelRect> cropRect(uint32_t width, uint32_t height,
                                            const draw::Rect& crop);

// The rectangle of a stored picture (storedWidth x storedHeight) that shows as |shown| once
// the picture is laid upright for EXIF |orientation| (1 to 8, as applyOrientation lays it)
// and turned clockwise by |turns| (0..3, as platform::turnedOrientation turns it). |shown| lies
// within the turned picture.
platform::PixelRect storedRegion(const platform::PixelRect& shown, uint32_t storedWidth,
                                 uint32_t storedHeight, int orientation, int turns);

}  // namespace velmo::render
