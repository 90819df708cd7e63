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
#include <memory>
#include <vector>

#include "codec/internal/library_owners.h"
#include "codec/result.h"
#include "platform/input_file.h"
#include "platform/pixel_geometry.h"

namespace velmo::codec {

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

// Shrink on load. DCT scaling makes libjpeg compute each 8 x 8 block directly at N x N
// pixels, so the inverse transform, upsampling and colour conversion shrink with N squared;
// only the entropy decoding costs the same at every scale. The smallest scale that still
// covers the target would be fastest, but its output is coarser than it looks: with 4:2:0
// subsampling the chroma is at half that scale again, and the reduced transforms alias. So
// the decode keeps a margin over the target, and the area average that follows does the
// anti-aliasing. The margin is a ratio: |num| / |den| times the target on each axis.
struct JpegMargin {
  uint32_t num;
  uint32_t den;
};

// Whole pictures (render's thumbnails) keep 1.45 times the target. Measured on 8 and 12 MP
// photos against a full-size decode averaged down: 46 to 51 dB (RMS under 1.3 levels of
// 255) at 1.5 times, where the smallest covering scale gives 33 dB and a margin of 2 gains
// little (47 to 54 dB) for up to 40 % more time. The margin sits just under 1.5 so that the
// middle 80 % of a 4032-pixel photo rendered 1080 across (a decode target of 1350) lands on
// 4/8 (2016, 1.49 times) rather than 5/8: against a full decode box-averaged to 1350, 4/8
// gave 36.3 dB and 5/8 37.2 dB on the 12 MP photo (45.4 and 47.2 dB on an 8 MP one), but
// 4/8 decodes in 54 ms and 5/8 in 88: libjpeg-turbo has the 4/8 transform in SIMD, 5/8 to
// 7/8 only in plain C. The whole photo to 1080 stays on 4/8 (3/8 holds 1.4 times).
inline constexpr JpegMargin kWholePictureMargin{29, 20};

// Windows (tiles) keep twice the target, for their position rather than their quality: a
// window's edges are rounded to the nearest pixel of the scaled decode, which shifts the
// picture by up to half a scaled pixel. At twice the tile's size that is at most a quarter
// of a tile pixel; at 1.5 times it would be a third, visibly off for a window that does not
// start on the JPEG's 8-pixel grid. A whole picture has its edges at 0 and at the full size,
// which every scale keeps, so it needs no such margin.
inline constexpr JpegMargin kWindowMargin{2, 1};

// The shrink-on-load rule: the smallest DCT scale n/8 (n from 1 to 7) at which the decode,
// |sizeAt(n)| pixels, still holds |margin| times |target| on both axes; else 8, full size.
template <typename SizeAt>
uint32_t jpegScaleEighths(platform::PixelSize target, JpegMargin margin, const SizeAt& sizeAt) {
  for (uint32_t n = 1; n < 8; ++n) {
    const platform::PixelSize scaled = sizeAt(n);
    if (uint64_t{scaled.width} * margin.den >= uint64_t{target.width} * margin.num &&
        uint64_t{scaled.height} * margin.den >= uint64_t{target.height} * margin.num) {
      return n;
    }
  }
  return 8;
}

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
  // libjpeg's words for the error or warning that ended the decode.
  char message[JMSG_LENGTH_MAX];
};

// Reads |file| in chunks into |buffer| (kJpegReadChunk bytes, owned by the caller), never
// the whole file at once. A file that ends early hands libjpeg an end marker and a
// premature-end warning, which ends the decode. Must not move while the decompressor lives.
struct JpegFileSource {
  jpeg_source_mgr manager;
  const platform::InputFile* file;
  uint64_t offset;
  JOCTET* buffer;
};

// Before jpeg_create_decompress: routes |cinfo|'s errors and warnings through |errors|.
void useJpegErrors(j_decompress_ptr cinfo, JpegErrors& errors);
// After jpeg_create_decompress: the memory cap, the scan limit and |source| reading |file|.
void useJpegInput(j_decompress_ptr cinfo, JpegErrors& errors, JpegFileSource& source,
                  const platform::InputFile& file, JOCTET* buffer);

// The jump target of |cinfo|'s error handler.
inline std::jmp_buf& jpegJump(j_decompress_ptr cinfo) {
  return reinterpret_cast<JpegErrors*>(cinfo->err)->jump;
}

// Why the decode of |cinfo| ended: libjpeg's message for it, once a guarded step failed.
Failure jpegFailure(j_decompress_ptr cinfo);

// Runs one libjpeg step; false when libjpeg reported an error. Nothing between this frame
// and libjpeg has a destructor (the step must capture only references), so the jump skips
// none.
template <typename Step>
[[gnu::noinline]] bool jpegGuarded(j_decompress_ptr cinfo, const Step& step) {
  if (setjmp(jpegJump(cinfo)) != 0) return false;
  step();
  return true;
}

// One libjpeg decompressor reading a file through the pieces above, its header read: the
// frame within the limits of checked.h, 8-bit samples, the ICC profile (APP2 segments) kept.
// Lives where it was made, since libjpeg holds pointers into it.
class JpegInput {
 public:
  // A Failure when the header cannot be read, the samples are not 8 bits or the frame is over
  // the limits. |file| must outlive the result.
  static Result<std::unique_ptr<JpegInput>> open(const platform::InputFile& file);

  jpeg_decompress_struct& decompressor() { return cinfo_; }
  const jpeg_decompress_struct& decompressor() const { return cinfo_; }
  // The embedded ICC profile, empty when there is none.
  const std::vector<uint8_t>& icc() const { return icc_; }
  // Ink samples (CMYK, or YCCK which libjpeg turns into CMYK).
  bool cmyk() const {
    return cinfo_.jpeg_color_space == JCS_CMYK || cinfo_.jpeg_color_space == JCS_YCCK;
  }
  bool grey() const { return cinfo_.jpeg_color_space == JCS_GRAYSCALE; }

  JpegInput(const JpegInput&) = delete;
  JpegInput& operator=(const JpegInput&) = delete;

 private:
  JpegInput() = default;

  // Declared in this order so that the library state is destroyed first, then the struct it
  // lives in, then the error handler, source and buffer its callbacks use.
  std::vector<JOCTET> buffer_ = std::vector<JOCTET>(kJpegReadChunk);
  JpegErrors errors_{};
  JpegFileSource source_{};
  jpeg_decompress_struct cinfo_{};
  std::vector<uint8_t> icc_;
  JpegDecompressState state_;
};

}  // namespace velmo::codec
