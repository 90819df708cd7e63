// Private to codec/. What every libspng decode in this system shares: the limits it accepts,
// a buffered stream over the file, the header, the declared alpha and colour profile, and
// the conversion of decoded rows to Bitmap pixels. The full-image decoder and the window
// reader both read through this.
#pragma once

#include <spng.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "codec/image_encoder.h"
#include "codec/internal/library_owners.h"
#include "codec/result.h"
#include "platform/input_file.h"

namespace velmo::codec {

class PngInput {
 public:
  // Opens |file| for decoding: the limits set, the header read and the chunks before the
  // image data with it. A Failure when the header cannot be read or the frame is over the
  // limits of checked.h. |file| must outlive the result.
  //
  // |checkAdler32| false leaves out the zlib stream's Adler-32, for a decode that stops
  // above the last row: the checksum follows the last row's data, so such a decode never
  // reaches it, and zlib would only have summed every byte for nothing (about a tenth of
  // the decode).
  //
  // |checkChunks| has every critical chunk's CRC checked as soon as libspng reads into it,
  // over the whole chunk, for a decode that stops early: libspng checks a chunk's CRC only
  // once it has read the chunk to its end, so the chunk holding a window's last rows would
  // otherwise go unchecked. A wrong one fails the read. Ancillary chunks are left to
  // libspng, which drops a damaged one.
  static Result<std::unique_ptr<PngInput>> open(const platform::InputFile& file,
                                                bool checkAdler32 = true, bool checkChunks = false);

  spng_ctx* context() const { return ctx_.get(); }
  uint32_t width() const { return ihdr_.width; }
  uint32_t height() const { return ihdr_.height; }
  PngColorType colorType() const { return static_cast<PngColorType>(ihdr_.color_type); }
  uint8_t bitDepth() const { return ihdr_.bit_depth; }
  bool interlaced() const { return ihdr_.interlace_method == SPNG_INTERLACE_ADAM7; }
  bool grey() const {
    return colorType() == PngColorType::Grey || colorType() == PngColorType::GreyAlpha;
  }
  // Alpha as the file declares it: a colour type with alpha, or a tRNS chunk.
  bool hasAlpha() const;
  // The iCCP profile, empty when there is none.
  const std::vector<uint8_t>& icc() const { return icc_; }
  // Why a libspng call answered |code|: the damage our own chunk check found, else libspng's
  // words for the code.
  Failure failure(int code) const;

  PngInput(const PngInput&) = delete;
  PngInput& operator=(const PngInput&) = delete;

 private:
  explicit PngInput(const platform::InputFile& file);
  static int read(spng_ctx*, void* self, void* destination, size_t length) noexcept;
  // Checks the CRC of every critical chunk that starts before |end| and was not checked yet;
  // false when one is wrong.
  bool checkChunksBefore(uint64_t end);

  // libspng reads chunk headers and data in small pieces; a read-ahead buffer keeps that to
  // one system call per 64 KiB.
  const platform::InputFile* file_;
  uint64_t offset_ = 0;  // file offset of the next byte not yet in |buffer_|
  std::vector<uint8_t> buffer_;
  size_t start_ = 0;
  size_t end_ = 0;
  bool checkChunks_ = false;
  uint64_t nextChunk_ = 8;  // file offset of the first chunk not checked yet
  std::string damage_;      // what the chunk check found wrong, empty when nothing

  SpngContext ctx_;
  spng_ihdr ihdr_{};
  std::vector<uint8_t> icc_;
};

// Converts pixels first, first + step, ... (below |end|) of a row decoded as SPNG_FMT_RGBA8,
// or as SPNG_FMT_RGBA16 when |sixteen|, to Bitmap pixels at the same places of |out|.
// 16-bit samples are rounded to the nearest 8-bit value.
void pngRowToPixels(const uint8_t* row, bool sixteen, uint32_t first, uint32_t end, uint32_t step,
                    uint32_t* out);

}  // namespace velmo::codec
