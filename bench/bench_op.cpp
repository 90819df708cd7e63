// Runs exactly one operation and exits, so that the bench driver can read the peak memory of
// that one operation from the process's resource usage (and time it with process start-up
// included, like the command-line peers). Prints "WIDTHxHEIGHT" of the result.
//
//   bench_op noop                                        start-up only: the baseline
//   bench_op metadata FILE
//   bench_op thumbnail FILE LIMIT                        codec::decodeThumbnail
//   bench_op render FILE WIDTH HEIGHT CX CY CW CH DEST   the "render" method, no annotations
//   bench_op tile FILE DEST X Y WIDTH HEIGHT SAMPLE      the "tile" method (DEST.png removed
//                                                        first, so the cache never answers)
//   bench_op scroll FILE DEST HEIGHT SAMPLE              every window from the top down in
//                                                        one caller that keeps checkpoints
// bench_vips_op does the same jobs with libvips; this program links no peer, so the memory
// it reports is ours alone.
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <system_error>

#include "bench/bench_channel.h"
#include "bench/bench_support.h"
#include "codec/image_decoder.h"
#include "codec/image_probe.h"
#include "codec/window_decoder.h"
#include "method/error.h"
#include "platform/input_file.h"
#include "render/blur_engine.h"
#include "render/render.h"
#include "source/image_source.h"
#include "tile/tile.h"

namespace velmo::bench {
namespace {

double number(const char* text) {
  char* end = nullptr;
  const double value = std::strtod(text, &end);
  if (*end != '\0') die(std::string("not a number: ") + text);
  return value;
}

int printSize(int64_t width, int64_t height) {
  std::cout << width << "x" << height << "\n";
  return 0;
}

int printResult(const host::EncodableMap& result) {
  return printSize(intEntry(result, "width"), intEntry(result, "height"));
}

int usage() {
  std::cerr << "usage: bench_op noop | metadata FILE | thumbnail FILE LIMIT |\n"
               "       render FILE W H CX CY CW CH DEST | tile FILE DEST X Y W H SAMPLE |\n"
               "       scroll FILE DEST HEIGHT SAMPLE\n";
  return 64;
}

int run(int argc, char** argv) {
  if (argc < 2) return usage();
  const std::string op = argv[1];
  if (op == "noop" && argc == 2) return 0;
  if (op == "metadata" && argc == 3) {
    return printResult(source::metadata({{"path", std::string(argv[2])}}));
  }
  if (op == "thumbnail" && argc == 4) {
    auto file = platform::InputFile::open(argv[2]);
    if (!file) die(std::string("cannot open ") + argv[2]);
    auto info = codec::probeImage(*file);
    if (!info) die("not an image");
    auto bitmap = codec::decodeThumbnail(*file, *info, static_cast<uint32_t>(number(argv[3])));
    if (!bitmap) die("decodeThumbnail gave no image");
    return printSize(bitmap->width(), bitmap->height());
  }
  if (op == "render" && argc == 10) {
    const host::EncodableList crop{number(argv[5]), number(argv[6]), number(argv[7]),
                                   number(argv[8])};
    const host::EncodableMap arguments{
        {"path", std::string(argv[2])},
        {"destination", std::string(argv[9])},
        {"width", static_cast<int64_t>(number(argv[3]))},
        {"height", static_cast<int64_t>(number(argv[4]))},
        {"recipe", host::EncodableMap{{"crop", crop}}},
    };
    render::BlurEngine blur;
    Diagnostics diagnostics;
    return printResult(render::render(arguments, blur, diagnostics));
  }
  if (op == "tile" && argc == 9) {
    const std::string destination = argv[3];
    std::remove((destination + ".png").c_str());
    const host::EncodableMap arguments{
        {"path", std::string(argv[2])}, {"destination", destination}, {"x", number(argv[4])},
        {"y", number(argv[5])},         {"width", number(argv[6])},   {"height", number(argv[7])},
        {"sample", number(argv[8])},
    };
    return printResult(tile::tile(arguments));
  }
  if (op == "scroll" && argc == 6) {
    // Every window of HEIGHT rows from the top down, in one caller that keeps the
    // checkpoints as the plug-in does; prints the bytes they take at the end.
    const std::string path = argv[2];
    const std::string destination = argv[3];
    const double height = number(argv[4]);
    const int64_t imageHeight = intEntry(source::metadata({{"path", path}}), "height");
    codec::DecodeCheckpoints checkpoints;
    for (double y = 0; y < static_cast<double>(imageHeight); y += height) {
      std::remove((destination + ".png").c_str());
      tile::tile({{"path", path},
                  {"destination", destination},
                  {"x", 0.0},
                  {"y", y},
                  {"width", 1e9},
                  {"height", height},
                  {"sample", number(argv[5])}},
                 &checkpoints);
    }
    std::cout << "checkpoint bytes " << checkpoints.bytes() << "\n";
    return 0;
  }
  return usage();
}

}  // namespace
}  // namespace velmo::bench

int main(int argc, char** argv) {
  // The operation's own errors end the process with a message and status 1; the driver
  // reports the operation as failed.
  try {
    return velmo::bench::run(argc, argv);
  } catch (const velmo::method::PluginError& error) {
    std::cerr << "bench_op: " << error.message() << std::endl;
  } catch (const std::system_error& error) {
    std::cerr << "bench_op: " << error.what() << std::endl;
  }
  return 1;
}
