// JPEG through libjpeg(-turbo): DCT-scaled decode, rows streamed into the area shrinker.
#include <csetjmp>
#include <memory>
#include <vector>

#include <jerror.h>

#include "platform/checked.h"
#include "platform/color_profile.h"
#include "platform/decoders.h"
#include "platform/jpeg_limits.h"
#include "platform/library_owners.h"
#include "platform/resample.h"

namespace velmo::platform::detail {
namespace {

constexpr size_t kReadChunk = 64 * 1024;

// Everything libjpeg's callbacks reach through client_data.
struct JpegSession {
  jpeg_error_mgr errors{};
  jpeg_source_mgr source{};
  jpeg_progress_mgr progress{};
  std::jmp_buf jump{};
  const InputFile* file = nullptr;
  uint64_t offset = 0;
  std::unique_ptr<JOCTET[]> buffer;
};

JpegSession& sessionOf(j_common_ptr cinfo) {
  return *static_cast<JpegSession*>(cinfo->client_data);
}
JpegSession& sessionOf(j_decompress_ptr cinfo) {
  return *static_cast<JpegSession*>(cinfo->client_data);
}

// Runs one libjpeg call. libjpeg reports a fatal error through error_exit, which jumps back
// here; nothing between this frame and libjpeg has a destructor, so the jump skips none.
// Returns false after such an error.
template <typename Step>
[[gnu::noinline]] bool guarded(JpegSession& session, const Step& step) {
  if (setjmp(session.jump) != 0) return false;
  step();
  return true;
}

[[noreturn]] void abortDecode(j_common_ptr cinfo) {
  std::longjmp(sessionOf(cinfo).jump, 1);
}

void emitMessage(j_common_ptr cinfo, int level) {
  // Level -1 is a warning; higher levels are trace messages.
  if (level < 0 && jpegWarningLosesPixels(*cinfo->err)) abortDecode(cinfo);
}

void outputMessage(j_common_ptr) {}

void watchScans(j_common_ptr cinfo) {
  if (!cinfo->is_decompressor) return;
  if (reinterpret_cast<j_decompress_ptr>(cinfo)->input_scan_number > kMaxJpegScans) {
    abortDecode(cinfo);
  }
}

const JOCTET kEndOfImage[2] = {0xFF, JPEG_EOI};

void initSource(j_decompress_ptr) {}
void termSource(j_decompress_ptr) {}

boolean fillInputBuffer(j_decompress_ptr cinfo) {
  JpegSession& session = sessionOf(cinfo);
  const size_t got = session.file->readAt(session.offset, {session.buffer.get(), kReadChunk});
  if (got == 0) {
    // The file ended inside the JPEG data. Hand libjpeg an end marker, as its own sources
    // do, and let the warning end the decode.
    session.source.next_input_byte = kEndOfImage;
    session.source.bytes_in_buffer = sizeof kEndOfImage;
    WARNMS(cinfo, JWRN_JPEG_EOF);
    return TRUE;
  }
  session.offset += got;
  session.source.next_input_byte = session.buffer.get();
  session.source.bytes_in_buffer = got;
  return TRUE;
}

void skipInputData(j_decompress_ptr cinfo, long count) {
  if (count <= 0) return;
  JpegSession& session = sessionOf(cinfo);
  const auto skip = static_cast<size_t>(count);
  if (skip <= session.source.bytes_in_buffer) {
    session.source.next_input_byte += skip;
    session.source.bytes_in_buffer -= skip;
    return;
  }
  // Past the buffer: continue reading the file further on at the next fill.
  session.offset += skip - session.source.bytes_in_buffer;
  session.source.bytes_in_buffer = 0;
}

}  // namespace

int jpegScaleNumerator(uint32_t width, uint32_t height, PixelSize target) {
  // DCT scaling makes libjpeg compute each 8 x 8 block directly at N x N pixels, so the
  // inverse transform, upsampling and colour conversion shrink with N squared; only the
  // entropy decoding costs the same at every scale. The smallest scale that still covers
  // the target would be fastest, but its output is coarser than it looks: with 4:2:0
  // subsampling the chroma is at half that scale again, and the reduced transforms alias.
  // So keep a factor of 1.5 for the area average, which then does the anti-aliasing.
  // Measured on 8 and 12 MP photos against a full-size decode averaged down: 46 to 51 dB
  // (RMS under 1.3 levels of 255), where the smallest covering scale gives 33 dB and a
  // factor of 2 gains little (47 to 54 dB) for up to 40 % more time. 1.5 also tends to land
  // on 4/8, whose transform libjpeg-turbo has in SIMD; 5/8 to 7/8 are plain C.
  for (int n = 1; n < 8; ++n) {
    const uint64_t w = (uint64_t{width} * n + 7) / 8;
    const uint64_t h = (uint64_t{height} * n + 7) / 8;
    if (w * 2 >= uint64_t{target.width} * 3 && h * 2 >= uint64_t{target.height} * 3) return n;
  }
  return 8;
}

std::optional<Bitmap> decodeJpeg(const InputFile& file, uint32_t maxPixelSize) {
  // Declared in this order so that, on the way out, the library state is destroyed first,
  // then the struct it lives in, then the session its callbacks use.
  JpegSession session;
  session.file = &file;
  session.buffer = std::make_unique<JOCTET[]>(kReadChunk);
  jpeg_decompress_struct cinfo{};
  cinfo.err = jpeg_std_error(&session.errors);
  session.errors.error_exit = abortDecode;
  session.errors.emit_message = emitMessage;
  session.errors.output_message = outputMessage;
  cinfo.client_data = &session;
  // Safe to destroy even when creation failed half-way: it checks what was set up.
  JpegDecompressState state(&cinfo);
  if (!guarded(session, [&] { jpeg_create_decompress(&cinfo); })) return std::nullopt;

  cinfo.mem->max_memory_to_use = kMaxLibjpegMemory;
  session.source.init_source = initSource;
  session.source.fill_input_buffer = fillInputBuffer;
  session.source.skip_input_data = skipInputData;
  session.source.resync_to_restart = jpeg_resync_to_restart;
  session.source.term_source = termSource;
  cinfo.src = &session.source;
  session.progress.progress_monitor = watchScans;
  cinfo.progress = &session.progress;

  if (!guarded(session, [&] {
        jpeg_save_markers(&cinfo, JPEG_APP0 + 2, 0xFFFF);  // ICC profile segments
        jpeg_read_header(&cinfo, TRUE);
      })) {
    return std::nullopt;
  }
  // The 8-bit interface cannot hold 12-bit samples; libjpeg refuses them already.
  if (cinfo.data_precision != 8) return std::nullopt;
  if (!frameWithinLimits(cinfo.image_width, cinfo.image_height)) return std::nullopt;

  JOCTET* iccData = nullptr;
  unsigned int iccSize = 0;
  if (!guarded(session, [&] { jpeg_read_icc_profile(&cinfo, &iccData, &iccSize); })) {
    return std::nullopt;
  }
  const MallocBuffer icc(iccData);
  const std::span<const uint8_t> profile(icc.get(), icc ? iccSize : 0);

  const bool cmyk = cinfo.jpeg_color_space == JCS_CMYK || cinfo.jpeg_color_space == JCS_YCCK;
  const bool grey = cinfo.jpeg_color_space == JCS_GRAYSCALE;
  // libjpeg writes grey, YCbCr and RGB straight into the Bitmap layout, alpha 0xFF.
  cinfo.out_color_space = cmyk ? JCS_CMYK : JCS_EXT_BGRA;
  const PixelSize target = thumbnailSize(cinfo.image_width, cinfo.image_height, maxPixelSize);
  cinfo.scale_num =
      static_cast<unsigned int>(jpegScaleNumerator(cinfo.image_width, cinfo.image_height, target));
  cinfo.scale_denom = 8;

  if (!guarded(session, [&] { jpeg_start_decompress(&cinfo); })) return std::nullopt;
  const uint32_t width = cinfo.output_width;
  const uint32_t height = cinfo.output_height;
  if (width < target.width || height < target.height) return std::nullopt;

  // Adobe applications store CMYK inverted (0 = full ink) and mark the file with APP14.
  std::optional<CmykConverter> cmykConverter;
  if (cmyk) cmykConverter.emplace(profile, cinfo.saw_Adobe_marker != 0);
  // One row of libjpeg's output: Bitmap pixels, or four CMYK samples a pixel.
  std::vector<uint32_t> samples(width);
  std::vector<uint32_t> pixels(cmyk ? width : 0);
  AreaShrinker shrinker(width, height, target.width, target.height, false);
  JSAMPROW rows[1] = {reinterpret_cast<JSAMPROW>(samples.data())};
  while (cinfo.output_scanline < height) {
    JDIMENSION got = 0;
    if (!guarded(session, [&] { got = jpeg_read_scanlines(&cinfo, rows, 1); })) {
      return std::nullopt;
    }
    if (got != 1) return std::nullopt;
    if (cmykConverter) {
      cmykConverter->convertRow(rows[0], pixels.data(), width);
      shrinker.pushRow(pixels.data());
    } else {
      shrinker.pushRow(samples.data());
    }
  }
  // No jpeg_finish_decompress: every pixel is in, and what follows the last scan (the end
  // marker, trailing bytes) changes none of them. Destroying the state aborts cleanly.
  Bitmap result = shrinker.finish();
  if (!cmyk && !profile.empty()) {
    if (auto converter = ColorConverter::fromIcc(profile, grey)) converter->convert(result);
  }
  return result;
}

}  // namespace velmo::platform::detail
