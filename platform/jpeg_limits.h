// What every libjpeg decode in this system accepts: memory, scans, and which warnings mean
// lost pixels. The full-image decoder and the window decoder apply the same rules.
#pragma once

// jpeglib.h uses FILE and size_t without including their headers.
#include <cstdio>

#include <jerror.h>
#include <jpeglib.h>

namespace velmo::platform {

// libjpeg's own allocations for one decode. Baseline files need only a few rows at the
// scaled size; progressive and multi-scan files keep every DCT coefficient of the full frame
// (2 bytes a sample, ~600 MB for a 200 MP 4:2:0 photo, the frame-size cap). Beyond this
// libjpeg asks for a backing store, which this build does not have, and fails cleanly.
inline constexpr long kMaxLibjpegMemory = 1L << 30;

// A legitimate progressive file has about 10 scans; thousands of tiny scans make every
// coefficient be revisited thousands of times (a CPU bomb).
inline constexpr int kMaxJpegScans = 1000;

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
inline bool jpegWarningLosesPixels(const jpeg_error_mgr& errors) {
  switch (errors.msg_code) {
    case JWRN_EXTRANEOUS_DATA: {
      const int marker = errors.msg_parm.i[1];
      return marker >= JPEG_RST0 && marker <= JPEG_RST0 + 7;
    }
    case JWRN_ADOBE_XFORM:
    case JWRN_JFIF_MAJOR:
    case JWRN_BOGUS_ICC:
    case JWRN_NOT_SEQUENTIAL:
      return false;
    default:
      return true;
  }
}

}  // namespace velmo::platform
