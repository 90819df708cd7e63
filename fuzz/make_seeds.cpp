// Writes the hand-made seeds of the call fuzz targets: argument maps of "render" and "tile"
// that reach every step, each as the photo-choice byte followed by one standard-codec
// message. Usage: velmo_fuzz_seeds render|tile DIRECTORY
#include <cstdio>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "host/standard_codec.h"

namespace {

using velmo::host::EncodableList;
using velmo::host::EncodableMap;
using velmo::host::EncodableValue;

EncodableList point(double x, double y) {
  return {x, y};
}

EncodableMap stroke(const char* shape, EncodableList points, EncodableValue color,
                    EncodableValue width) {
  return {{"shape", shape},
          {"points", std::move(points)},
          {"colorARGB", std::move(color)},
          {"widthFraction", std::move(width)}};
}

std::vector<EncodableMap> renderSeeds() {
  const EncodableList strokes{
      stroke("freehand", {point(0.1, 0.1), point(0.5, 0.4), point(0.9, 0.2)}, int64_t{4294901760},
             0.01),
      stroke("rectangle", {point(0.2, 0.2), point(0.6, 0.7)}, int32_t{-16711936}, 0.006),
      stroke("oval", {point(0.7, 0.7), point(0.3, 0.2)}, 0xFF0000FF, 0.02),
      stroke("arrow", {point(0.1, 0.9), point(0.8, 0.3)}, int64_t{0x80FFFF00}, 0.01),
      stroke("line", {point(0.5, 0.5)}, EncodableValue(), EncodableValue()),
      stroke("blur", {point(0.4, 0.4), point(0.6, 0.6)}, int32_t{0}, 0.1),
      stroke("blur", {point(0.5, 0.5)}, int32_t{0}, 0.2),
  };
  const auto watermark = [](const char* style) {
    return EncodableMap{
        {"enabled", true},
        {"text", "© Velmo 2026 維爾莫"},
        {"style", style},
        {"opacity", 0.2},
        {"density", 1.2},
        {"gradientColors", EncodableList{int64_t{0xFFFF0000}, int64_t{0xFF0000FF}}}};
  };
  std::vector<EncodableMap> seeds;
  for (const char* style : {"diagonalRepeat", "cornerStamp", "minimalSignature"}) {
    seeds.push_back({{"width", 200},
                     {"height", 150},
                     {"referenceWidth", 400.0},
                     {"referenceHeight", 300.0},
                     {"maxFileBytes", 100000},
                     {"recipe", EncodableMap{{"crop", EncodableList{0.1, 0.1, 0.8, 0.8}},
                                             {"quarterTurns", 1},
                                             {"strokes", strokes},
                                             {"watermark", watermark(style)}}}});
  }
  seeds.push_back({{"width", 64.9}, {"height", int64_t{48}}});
  seeds.push_back({{"width", 16381}, {"height", 1}});
  seeds.push_back({{"width", 32}, {"height", 32}, {"recipe", EncodableMap{{"crop", "x"}}}});
  seeds.push_back({{"width", 32}, {"height", 32}, {"referenceWidth", 1e-9}});
  seeds.push_back(
      {{"width", 32},
       {"height", 32},
       {"recipe",
        EncodableMap{{"crop", EncodableList{0.5, 0.5, 1e-9, 1e-9}},
                     {"strokes", EncodableList{stroke("circle", {point(1e9, 0.5), point(1e9, 0.6)},
                                                      1.5, 1e9)}}}}});
  return seeds;
}

std::vector<EncodableMap> tileSeeds() {
  return {
      {{"x", 0}, {"y", 0}, {"width", 64}, {"height", 64}, {"sample", 1}},
      {{"x", 10.5}, {"y", 3}, {"width", 100}, {"height", 300}, {"sample", 2.5}},
      {{"x", -5}, {"y", -5}, {"width", 1e308}, {"height", 40}, {"sample", 4}},
      {{"y", 20}, {"width", -30}, {"height", -10}},
      {{"width", std::numeric_limits<double>::infinity()}, {"height", 8}, {"sample", "2"}},
  };
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: velmo_fuzz_seeds render|tile DIRECTORY\n");
    return 2;
  }
  const std::string kind = argv[1];
  const std::vector<EncodableMap> seeds = kind == "tile" ? tileSeeds() : renderSeeds();
  int n = 0;
  for (const EncodableMap& seed : seeds) {
    const auto bytes = velmo::host::encodeMessage(seed);
    for (char photo = 0; photo < 4; ++photo) {
      std::ofstream out(std::string(argv[2]) + "/" + kind + "_" + std::to_string(n++),
                        std::ios::binary);
      out.put(photo);
      out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<long>(bytes.size()));
    }
  }
  std::printf("wrote %d seeds\n", n);
  return 0;
}
