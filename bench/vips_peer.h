// libvips doing, in-process, the same jobs as our operations, so that the two are compared
// without process start-up on either side. Built only when libvips' development files are
// installed (VELMO_HAVE_VIPS); the bench driver falls back to the vips command-line tools
// otherwise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "bench/bench_support.h"

namespace velmo::bench::vips {

// vips_init once per process; |argv0| names the program in vips' messages.
void init(const char* argv0);

struct Size {
  int width = 0;
  int height = 0;
};

// vips_image_new_from_file: opens the file and reads its header, decoding nothing.
Size header(const std::string& path);

// vips_thumbnail to |width| pixels across, the pixels made in memory; returns their size.
Size thumbnailToMemory(const std::string& path, int width);

// vips_thumbnail to |width| and jpegsave at |quality| to |out| (what vipsthumbnail does).
Size thumbnailToJpeg(const std::string& path, int width, int quality, const std::string& out);

// pngsave_buffer with vips' defaults of 8-bit pixels already in memory.
std::vector<uint8_t> pngSaveBuffer(const Pixels& image);

// A "tile": extract_area of the window, resize by 1 / |sample| when |sample| > 1, pngsave to
// |out|. |sequential| opens the file with sequential access (top to bottom, streaming);
// otherwise random access, which decodes the whole image first.
Size tile(const std::string& path, int x, int y, int width, int height, int sample, bool sequential,
          const std::string& out);

// The render-full job (see bench_support.h) with libvips: vips_thumbnail (shrink-on-load) to
// 1350 across, extract_area of the middle 80 %, the pens as 5-pixel bands of draw_line with
// round discs at the points (vips draws without anti-aliasing), a gaussblur of the brush's
// box pasted through a mask of 20-pixel discs, vips_text drawn through draw_mask, jpegsave at
// Q 92 to |out|.
Size renderFull(const std::string& path, const std::string& out);

}  // namespace velmo::bench::vips
