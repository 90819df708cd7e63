#include "codec/internal/jpeg_input.h"

#include <cstdio>

#include "platform/checked.h"

namespace velmo::codec {
namespace {

[[noreturn]] void abortDecode(j_common_ptr cinfo) {
  auto* errors = reinterpret_cast<JpegErrors*>(cinfo->err);
  cinfo->err->format_message(cinfo, errors->message);
  std::longjmp(errors->jump, 1);
}

void emitMessage(j_common_ptr cinfo, int level) {
  // Level -1 is a warning; higher levels are trace messages.
  if (level < 0 && jpegWarningLosesPixels(*cinfo->err)) abortDecode(cinfo);
}

void outputNothing(j_common_ptr) {}

void checkScans(j_common_ptr cinfo) {
  if (cinfo->is_decompressor &&
      reinterpret_cast<j_decompress_ptr>(cinfo)->input_scan_number > kMaxJpegScans) {
    auto* errors = reinterpret_cast<JpegErrors*>(cinfo->err);
    std::snprintf(errors->message, sizeof errors->message, "more than %d scans", kMaxJpegScans);
    std::longjmp(errors->jump, 1);
  }
}

void initSource(j_decompress_ptr) {}
void termSource(j_decompress_ptr) {}

boolean fillInputBuffer(j_decompress_ptr cinfo) {
  auto* source = reinterpret_cast<JpegFileSource*>(cinfo->src);
  const size_t got = source->file->readAt(source->offset, {source->buffer, kJpegReadChunk});
  if (got == 0) {
    // The data ends before the decoder is done. Hand libjpeg an end marker, as its own
    // sources do; the warning ends the decode.
    static const JOCTET kEndOfImage[] = {0xFF, JPEG_EOI};
    source->manager.next_input_byte = kEndOfImage;
    source->manager.bytes_in_buffer = sizeof kEndOfImage;
    WARNMS(cinfo, JWRN_JPEG_EOF);
    return TRUE;
  }
  source->offset += got;
  source->manager.next_input_byte = source->buffer;
  source->manager.bytes_in_buffer = got;
  return TRUE;
}

void skipInputData(j_decompress_ptr cinfo, long count) {
  if (count <= 0) return;
  auto* source = reinterpret_cast<JpegFileSource*>(cinfo->src);
  const auto bytes = static_cast<size_t>(count);
  if (bytes <= source->manager.bytes_in_buffer) {
    source->manager.next_input_byte += bytes;
    source->manager.bytes_in_buffer -= bytes;
    return;
  }
  // Past the buffered bytes: move the file position; a skip beyond the end shows up as the
  // end of the data at the next read.
  source->offset += bytes - source->manager.bytes_in_buffer;
  source->manager.bytes_in_buffer = 0;
}

}  // namespace

bool jpegWarningLosesPixels(const jpeg_error_mgr& errors) {
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

Failure jpegFailure(j_decompress_ptr cinfo) {
  const char* message = reinterpret_cast<const JpegErrors*>(cinfo->err)->message;
  return unreadable(message[0] != '\0' ? message : "libjpeg stopped without a message");
}

Result<std::unique_ptr<JpegInput>> JpegInput::open(const platform::InputFile& file) {
  std::unique_ptr<JpegInput> input(new JpegInput());
  j_decompress_ptr cinfo = &input->cinfo_;
  useJpegErrors(cinfo, input->errors_);
  // Safe to destroy even when creation failed half-way: it checks what was set up.
  input->state_.reset(cinfo);
  if (!jpegGuarded(cinfo, [&] { jpeg_create_decompress(cinfo); })) return jpegFailure(cinfo);
  useJpegInput(cinfo, input->errors_, input->source_, file, input->buffer_.data());

  int header = JPEG_SUSPENDED;
  if (!jpegGuarded(cinfo, [&] {
        jpeg_save_markers(cinfo, JPEG_APP0 + 2, 0xFFFF);  // ICC profile segments
        header = jpeg_read_header(cinfo, TRUE);
      })) {
    return jpegFailure(cinfo);
  }
  if (header != JPEG_HEADER_OK) return unreadable("the JPEG has no image");
  // The 8-bit interface cannot hold 12-bit samples; libjpeg refuses them already.
  if (cinfo->data_precision != 8) return unreadable("samples are not 8 bits");
  if (!platform::frameWithinLimits(cinfo->image_width, cinfo->image_height)) {
    return overLimits(cinfo->image_width, cinfo->image_height);
  }

  JOCTET* icc = nullptr;
  unsigned int iccSize = 0;
  if (!jpegGuarded(cinfo, [&] { jpeg_read_icc_profile(cinfo, &icc, &iccSize); })) {
    return jpegFailure(cinfo);
  }
  const platform::MallocBuffer owned(icc);
  if (owned) input->icc_.assign(icc, icc + iccSize);
  return input;
}

void useJpegErrors(j_decompress_ptr cinfo, JpegErrors& errors) {
  cinfo->err = jpeg_std_error(&errors.manager);
  errors.message[0] = '\0';
  errors.manager.error_exit = abortDecode;
  errors.manager.emit_message = emitMessage;
  errors.manager.output_message = outputNothing;
}

void useJpegInput(j_decompress_ptr cinfo, JpegErrors& errors, JpegFileSource& source,
                  const platform::InputFile& file, JOCTET* buffer) {
  cinfo->mem->max_memory_to_use = kMaxLibjpegMemory;
  errors.progress.progress_monitor = checkScans;
  cinfo->progress = &errors.progress;
  source.file = &file;
  source.offset = 0;
  source.buffer = buffer;
  source.manager.next_input_byte = nullptr;
  source.manager.bytes_in_buffer = 0;
  source.manager.init_source = initSource;
  source.manager.fill_input_buffer = fillInputBuffer;
  source.manager.skip_input_data = skipInputData;
  source.manager.resync_to_restart = jpeg_resync_to_restart;
  source.manager.term_source = termSource;
  cinfo->src = &source.manager;
}

}  // namespace velmo::codec
