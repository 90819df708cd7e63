// JPEG encoding with libjpeg-turbo into a growing std::vector.
//
// libjpeg reports errors through error_exit, which must not return. It longjmps back to the
// setjmp in runCompression, a function that holds only trivially destructible objects, and
// the callbacks it can jump out of hold none at that moment either; the owner that destroys
// the compressor lives in encodeJpeg, outside the jump.
#include <algorithm>
#include <bit>
#include <csetjmp>
#include <cstdio>
#include <new>

// jpeglib.h needs size_t and FILE declared first.
#include <jpeglib.h>
// After jpeglib.h: the error codes and ERREXIT.
#include <jerror.h>

#include "codec/image_encoder.h"
#include "codec/internal/library_owners.h"

namespace velmo::codec {
namespace {

struct JpegErrorTrap {
  jpeg_error_mgr manager;  // first, so the library's pointer converts back to the trap
  std::jmp_buf jump;
  char message[JMSG_LENGTH_MAX];  // libjpeg's words for the error
};

[[noreturn]] void onJpegError(j_common_ptr cinfo) {
  auto* trap = reinterpret_cast<JpegErrorTrap*>(cinfo->err);
  cinfo->err->format_message(cinfo, trap->message);
  std::longjmp(trap->jump, 1);
}

// Warnings and traces are not logged.
void onJpegMessage(j_common_ptr) {}

struct JpegSink {
  jpeg_destination_mgr manager;  // first, so cinfo->dest converts back to the sink
  std::vector<uint8_t>* bytes;
};

JpegSink* sinkOf(j_compress_ptr cinfo) {
  return reinterpret_cast<JpegSink*>(cinfo->dest);
}

bool resizeBytes(std::vector<uint8_t>& bytes, size_t size) noexcept {
  try {
    bytes.resize(size);
    return true;
  } catch (...) {
    return false;
  }
}

// The whole vector is the output buffer; libjpeg fills it from the start.
void initDestination(j_compress_ptr cinfo) {
  JpegSink* sink = sinkOf(cinfo);
  sink->manager.next_output_byte = sink->bytes->data();
  sink->manager.free_in_buffer = sink->bytes->size();
}

// Called when the buffer is full: double it and hand libjpeg the new half.
boolean growDestination(j_compress_ptr cinfo) {
  JpegSink* sink = sinkOf(cinfo);
  const size_t used = sink->bytes->size();
  if (used > sink->bytes->max_size() / 2 || !resizeBytes(*sink->bytes, used * 2)) {
    ERREXIT(cinfo, JERR_OUT_OF_MEMORY);
  }
  sink->manager.next_output_byte = sink->bytes->data() + used;
  sink->manager.free_in_buffer = sink->bytes->size() - used;
  return TRUE;
}

void termDestination(j_compress_ptr cinfo) {
  JpegSink* sink = sinkOf(cinfo);
  sink->bytes->resize(sink->bytes->size() - sink->manager.free_in_buffer);
}

// Everything libjpeg touches, trivially destructible so that a longjmp may cross it.
struct JpegJob {
  jpeg_compress_struct cinfo;
  JpegErrorTrap error;
  JpegSink sink;
};

// Routes |job|'s errors and output through its trap and sink, writing into |bytes|.
void prepareJob(JpegJob& job, std::vector<uint8_t>* bytes) {
  job.cinfo.err = jpeg_std_error(&job.error.manager);
  job.error.manager.error_exit = onJpegError;
  job.error.manager.output_message = onJpegMessage;
  job.sink.manager.init_destination = initDestination;
  job.sink.manager.empty_output_buffer = growDestination;
  job.sink.manager.term_destination = termDestination;
  job.sink.bytes = bytes;
}

// The bitmap's 32-bit pixels read as bytes: B, G, R, A in memory on a little-endian machine.
constexpr J_COLOR_SPACE kBitmapColorSpace =
    std::endian::native == std::endian::little ? JCS_EXT_BGRX : JCS_EXT_XRGB;

// Runs the whole compression; false when libjpeg reported an error. Holds no object with a
// destructor (see the file comment).
bool runCompression(JpegJob* job, const platform::BitmapView* image, int quality) {
  if (setjmp(job->error.jump)) return false;
  jpeg_compress_struct* cinfo = &job->cinfo;
  jpeg_create_compress(cinfo);
  cinfo->dest = &job->sink.manager;
  cinfo->image_width = image->width;
  cinfo->image_height = image->height;
  cinfo->input_components = 4;
  cinfo->in_color_space = kBitmapColorSpace;
  jpeg_set_defaults(cinfo);
  jpeg_set_quality(cinfo, quality, TRUE);
  // The defaults already give these; they are the output's contract, so they are stated.
  // The integer DCT gives the same bytes with and without SIMD.
  cinfo->dct_method = JDCT_ISLOW;
  // Standard Huffman tables: optimised ones save 1-2 % of the bytes but cost an extra pass
  // and libjpeg-turbo's SIMD entropy coder, nearly tripling the encode time.
  cinfo->optimize_coding = FALSE;
  cinfo->write_JFIF_header = TRUE;
  cinfo->write_Adobe_marker = FALSE;
  cinfo->comp_info[0].h_samp_factor = 2;
  cinfo->comp_info[0].v_samp_factor = 2;
  for (int c = 1; c < 3; ++c) {
    cinfo->comp_info[c].h_samp_factor = 1;
    cinfo->comp_info[c].v_samp_factor = 1;
  }
  jpeg_start_compress(cinfo, TRUE);
  constexpr JDIMENSION kBatch = 16;
  JSAMPROW rows[kBatch];
  while (cinfo->next_scanline < cinfo->image_height) {
    const JDIMENSION count = std::min(kBatch, cinfo->image_height - cinfo->next_scanline);
    for (JDIMENSION i = 0; i < count; ++i) {
      // libjpeg does not write through input rows; its API just lacks const.
      rows[i] = const_cast<JSAMPROW>(
          reinterpret_cast<const JSAMPLE*>(image->row(cinfo->next_scanline + i)));
    }
    jpeg_write_scanlines(cinfo, rows, count);
  }
  jpeg_finish_compress(cinfo);
  return true;
}

}  // namespace

Result<std::vector<uint8_t>> encodeJpeg(const platform::BitmapView& image, int quality) {
  if (image.pixels == nullptr || image.width == 0 || image.height == 0) {
    return unreadable("no pixels to encode");
  }
  quality = std::clamp(quality, 0, 100);

  // A first guess near the size of a photo at high quality; the buffer doubles as needed.
  const uint64_t pixels = uint64_t{image.width} * image.height;
  const size_t initial =
      static_cast<size_t>(std::clamp<uint64_t>(pixels / 2, uint64_t{64} << 10, uint64_t{8} << 20));
  std::vector<uint8_t> bytes;
  if (!resizeBytes(bytes, initial)) return outOfMemory();

  JpegJob job{};
  prepareJob(job, &bytes);
  // Destroys the compressor on every path, before the job it lives in. A zeroed compressor
  // (one that jpeg_create_compress never reached) is safe to destroy.
  const JpegCompressState state(&job.cinfo);
  if (!runCompression(&job, &image, quality)) return unreadable(job.error.message);
  return bytes;
}

}  // namespace velmo::codec
