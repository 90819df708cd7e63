// The names of the channel's contract (methods, argument keys at every level, the keys of the
// maps answered), written out here once and independently of the plug-in's sources, for the
// tests that check a face of the plug-in (the command line's help, the Dart API) against them.
#pragma once

#include <set>
#include <string>

namespace velmo::testing::channel {

using Names = std::set<std::string>;

inline const Names kMethods = {"metadata", "render", "tile"};

inline const Names kMetadataKeys = {"path"};
inline const Names kRenderKeys = {"path",           "destination",     "width",        "height",
                                  "referenceWidth", "referenceHeight", "maxFileBytes", "recipe"};
inline const Names kRecipeKeys = {"crop", "quarterTurns", "strokes", "watermark"};
inline const Names kStrokeKeys = {"shape", "points", "colorARGB", "widthFraction"};
inline const Names kWatermarkKeys = {"enabled", "text",    "style",
                                     "opacity", "density", "gradientColors"};
inline const Names kTileKeys = {"path", "destination", "x", "y", "width", "height", "sample"};

// The keys of "metadata"'s answer and of a file result map.
inline const Names kResultKeys = {"width", "height",   "frames",   "orientation",
                                  "path",  "filename", "mimeType", "byteSize"};

// Every argument key of every method, every map level.
inline Names allArgumentKeys() {
  Names all;
  for (const Names* group :
       {&kMetadataKeys, &kRenderKeys, &kRecipeKeys, &kStrokeKeys, &kWatermarkKeys, &kTileKeys}) {
    all.insert(group->begin(), group->end());
  }
  return all;
}

}  // namespace velmo::testing::channel
