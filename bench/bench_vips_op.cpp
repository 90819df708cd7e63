// bench_op's counterpart for libvips: one job per process, so that the driver reads its time
// and peak memory the same way as ours. Prints "WIDTHxHEIGHT" of the result.
//
//   bench_vips_op noop                                start-up (vips_init) only
//   bench_vips_op header FILE                         vips_image_new_from_file
//   bench_vips_op thumbnail FILE WIDTH                vips_thumbnail, pixels in memory
//   bench_vips_op full FILE OUT                       the render-full job (vips_peer.h)
//   bench_vips_op tile FILE X Y W H SAMPLE sequential|random OUT
//                                                     extract_area [+ resize] + pngsave
#include <cstdlib>
#include <iostream>
#include <string>

#include "bench/vips_peer.h"

namespace velmo::bench {
namespace {

int number(const char* text) {
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (*end != '\0') die(std::string("not an integer: ") + text);
  return static_cast<int>(value);
}

int print(const vips::Size& size) {
  std::cout << size.width << "x" << size.height << "\n";
  return 0;
}

int usage() {
  std::cerr << "usage: bench_vips_op noop | header FILE | thumbnail FILE WIDTH | full FILE OUT |\n"
               "       tile FILE X Y W H SAMPLE sequential|random OUT\n";
  return 64;
}

int run(int argc, char** argv) {
  if (argc < 2) return usage();
  const std::string op = argv[1];
  vips::init(argv[0]);
  if (op == "noop" && argc == 2) return 0;
  if (op == "header" && argc == 3) return print(vips::header(argv[2]));
  if (op == "thumbnail" && argc == 4)
    return print(vips::thumbnailToMemory(argv[2], number(argv[3])));
  if (op == "full" && argc == 4) return print(vips::renderFull(argv[2], argv[3]));
  if (op == "tile" && argc == 10) {
    const std::string access = argv[8];
    if (access != "sequential" && access != "random") return usage();
    return print(vips::tile(argv[2], number(argv[3]), number(argv[4]), number(argv[5]),
                            number(argv[6]), number(argv[7]), access == "sequential", argv[9]));
  }
  return usage();
}

}  // namespace
}  // namespace velmo::bench

int main(int argc, char** argv) {
  return velmo::bench::run(argc, argv);
}
