// What every libjpeg decode in this system shares: the limits it accepts, errors that jump
// back to the caller, warnings that mean lost pixels, and a source that reads the file in
// chunks. The full-image decoder and the window decoder both read through this.
//
// libjpeg reports errors by calling error_exit, which longjmps to JpegErrors::jump. Every
// libjpeg call is therefore made from a small function that sets the jump target and holds
// no C++ object with a destructor (see jpegGuarded), and the C++ code acts on its result
// after it has returned.
#pragma once

// jpeglib.h uses FILE and size_t without including their headers.
#include <cstdio>

#include <jerror.h>
#include <jpeglib.h>

#include <csetjmp>
#include <cstddef>
#include <cstdint>

#include "platform/input_file.h"

namespace velmo::platform {

// libjpeg's own allocations for one decode. Baseline files need only a few rows at the
// scaled size; progressive and multi-scan files keep every DCT coefficient of the full frame
// (2 bytes a sample, ~600 MB for a 200 MP 4:2:0 photo, the frame-size cap). Beyond this
// libjpeg asks for a backing store, which this build does not have, and fails cleanly.
inline constexpr long kMaxLibjpegMemory = 1L << 30;

// A legitimate progressive file has about 10 scans; thousands of tiny scans make every
// coefficient be revisited thousands of times (a CPU bomb).
inline constexpr int kMaxJpegScans = 1000;

// How much of the file the source reads at a time.
inline constexpr size_t kJpegReadChunk = 64 * 1024;

// Which warnings mean pixels were lost. libjpeg "recovers" from damaged data by filling
// the missing part of the picture (grey or smeared blocks) and carries on; answering that as
// a decoded photo would report lost data as success, so those end the decode:
//   - premature end of the file, or of an entropy-coded segment;
//   - bad Huffman or arithmetic codes, a missing restart marker (resynchronisation);
//   - an inconsistent progression (coefficients refined that were never sent);
//   - garbage before a restart marker: the segment before it did not decode to its end,
//     so its blocks were misread;
//   - any warning not named below.
// Tolerated, because the pixels are intact: garbage between header segments (a truncated
// APP segment, say), unknown Adobe transform codes or JFIF revisions (libjpeg falls back
// to the usual meaning), a malformed ICC profile (it is ignored, the pixels are taken as
// sRGB), and sequential-scan parameters that libjpeg ignores anyway.
bool jpegWarningLosesPixels(const jpeg_error_mgr& errors);

// Error handling and the scan limit of one decompressor. |manager| comes first, so that
// cinfo->err points at the whole struct. Must not move while the decompressor lives.
struct JpegErrors {
  jpeg_error_mgr manager;
  std::jmp_buf jump;
  jpeg_progress_mgr progress;
};

// Reads |file| in chunks into |buffer| (kJpegReadChunk bytes, owned by the caller), never
// the whole file at once. A file that ends early hands libjpeg an end marker and a
// premature-end warning, which ends the decode. Must not move while the decompressor lives.
struct JpegFileSource {
  jpeg_source_mgr manager;
  const InputFile* file;
  uint64_t offset;
  JOCTET* buffer;
};

// Before jpeg_create_decompress: routes |cinfo|'s errors and warnings through |errors|.
void useJpegErrors(j_decompress_ptr cinfo, JpegErrors& errors);
// After jpeg_create_decompress: the memory cap, the scan limit and |source| reading |file|.
void useJpegInput(j_decompress_ptr cinfo, JpegErrors& errors, JpegFileSource& source,
                  const InputFile& file, JOCTET* buffer);

// The jump target of |cinfo|'s error handler.
inline std::jmp_buf& jpegJump(j_decompress_ptr cinfo) {
  return reinterpret_cast<JpegErrors*>(cinfo->err)->jump;
}

// Runs one libjpeg step; false when libjpeg reported an error. Nothing between this frame
// and libjpeg has a destructor (the step must capture only references), so the jump skips
// none.
template <typename Step>
[[gnu::noinline]] bool jpegGuarded(j_decompress_ptr cinfo, const Step& step) {
  if (setjmp(jpegJump(cinfo)) != 0) return false;
  step();
  return true;
}

}  // namespace velmo::platform
