#include "cli/method_help.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <numeric>
#include <vector>

namespace velmo::cli {
namespace {

constexpr std::string_view kMetadata = R"(usage: velmo-image-tools call metadata ARGS
The displayed size, image count and orientation of a photo; no pixel is decoded.
ARGS, a JSON object:
  path            string   the image file (JPEG, PNG, GIF, WebP, HEIF/HEIC/AVIF, known by content)
answer: {"width", "height", "frames", "orientation"}; width and height as displayed (exchanged
for EXIF orientations 5 to 8), orientation as stored (1 when absent)
)";

constexpr std::string_view kRender = R"(usage: velmo-image-tools call render ARGS
A photo cropped, turned, drawn on and watermarked, written as JPEG or PNG.
ARGS, a JSON object:
  path            string   the photo; one image only (not an animation)
  destination     string   output path without extension: ".jpg" (photo without alpha, JPEG
                           quality 92, 88 or 84) or ".png" (photo with alpha) is appended
  width, height   integer  output size in pixels: 1 to 16380 each, 16,000,000 pixels in all
  referenceWidth, number   the space the watermark is laid out in, above 0 and at most 16380
  referenceHeight          (default: width and height); scaled onto the output
  maxFileBytes    integer  largest file in bytes (default 8388608)
  recipe          map
    crop          [x, y, width, height]  fractions of the upright, turned photo (default
                           [0, 0, 1, 1]); width and height above 0
    quarterTurns  integer  clockwise quarter turns, 0 to 3 (others taken modulo 4; default 0)
    strokes       list of maps, drawn in order:
      shape         "freehand" (default), "line", "arrow", "rectangle" ("rect"), "circle"
                    ("oval"), "blur"
      points        [[x, y], ...]  fractions of the whole upright, turned photo (before the
                    crop); line, arrow, rectangle and circle use the first and the last
      colorARGB     integer 0xAARRGGBB (default 0xFFFFFFFF, opaque white)
      widthFraction number   brush width as a fraction of the photo's shorter side (default
                    0.006)
    watermark     map
      enabled       boolean  true draws it
      text          string   not empty
      style         "minimalSignature" (default), "cornerStamp", "diagonalRepeat"
      opacity       number   0.04 to 0.3 (default 0.12); diagonalRepeat only
      density       number   0.6 to 1.8 (default 1); diagonalRepeat only
      gradientColors [0xAARRGGBB, ...]  two or more; cornerStamp only
answer: {"path", "filename", "mimeType", "width", "height", "byteSize"} of the file written
)";

constexpr std::string_view kTile = R"(usage: velmo-image-tools call tile ARGS
A window of a long image, shrunk by a sample factor, written as a PNG preview.
ARGS, a JSON object:
  destination     string   output path without extension; ".png" is appended. A file already
                           there is the answer as it is (the cache key)
  path            string   the image; not read when the file exists
  x, y            number   the window's top-left corner in pixels of the stored image (its
                           orientation not applied; default 0)
  width, height   number   the window's size in pixels; widened to whole pixels and clipped
                           to the image
  sample          number   image pixels per preview pixel, 1 or more (default 1); the
                           window divided by it is at most 2048 on each side
answer: {"path", "filename", "mimeType": "image/png", "width", "height", "byteSize"}
)";

constexpr std::array<MethodHelp, 3> kMethods{{
    {"metadata", kMetadata},
    {"render", kRender},
    {"tile", kTile},
}};

unsigned char lower(char c) {
  return static_cast<unsigned char>(std::tolower(static_cast<unsigned char>(c)));
}

}  // namespace

std::span<const MethodHelp> channelMethods() {
  return kMethods;
}

const MethodHelp* findMethod(std::string_view name) {
  for (const MethodHelp& method : kMethods) {
    if (method.name == name) return &method;
  }
  return nullptr;
}

size_t editDistance(std::string_view a, std::string_view b) {
  // One row of the Levenshtein table at a time.
  std::vector<size_t> row(b.size() + 1);
  std::iota(row.begin(), row.end(), size_t{0});
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      const size_t substitution = diagonal + (lower(a[i - 1]) == lower(b[j - 1]) ? 0 : 1);
      row[j] = std::min({above + 1, row[j - 1] + 1, substitution});
      diagonal = above;
    }
  }
  return row[b.size()];
}

std::optional<std::string_view> nearestMethod(std::string_view name) {
  if (findMethod(name) != nullptr) return std::nullopt;
  std::optional<std::string_view> nearest;
  size_t best = 0;
  for (const MethodHelp& method : kMethods) {
    const size_t distance = editDistance(name, method.name);
    if (distance > std::max<size_t>(1, method.name.size() / 2)) continue;
    if (!nearest || distance < best) {
      nearest = method.name;
      best = distance;
    }
  }
  return nearest;
}

}  // namespace velmo::cli
