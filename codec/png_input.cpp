#include "codec/internal/png_input.h"

#include <libdeflate.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

#include "codec/internal/probe_reader.h"
#include "platform/bitmap.h"
#include "platform/checked.h"

namespace velmo::codec {
namespace {

// Ancillary chunks that libspng keeps in memory (text, ICC profile, EXIF...): no single one
// above 16 MiB, and 64 MiB in all, decompressed text included. The image data is streamed
// and not counted.
constexpr size_t kMaxChunkBytes = size_t{16} << 20;
constexpr size_t kMaxChunkCacheBytes = size_t{64} << 20;
constexpr size_t kReadAheadBytes = size_t{64} << 10;

inline uint32_t to8(uint16_t v) {
  return (uint32_t{v} * 255 + 32767) / 65535;
}

}  // namespace

PngInput::PngInput(const platform::InputFile& file) : file_(&file), buffer_(kReadAheadBytes) {}

Result<std::unique_ptr<PngInput>> PngInput::open(const platform::InputFile& file, bool checkAdler32,
                                                 bool checkChunks) {
  std::unique_ptr<PngInput> input(new PngInput(file));
  input->checkChunks_ = checkChunks;
  input->ctx_.reset(spng_ctx_new(checkAdler32 ? 0 : SPNG_CTX_IGNORE_ADLER32));
  spng_ctx* ctx = input->ctx_.get();
  if (ctx == nullptr) return outOfMemory();
  int status = spng_set_image_limits(ctx, platform::kMaxFrameSide, platform::kMaxFrameSide);
  if (status == 0) status = spng_set_chunk_limits(ctx, kMaxChunkBytes, kMaxChunkCacheBytes);
  // A damaged critical chunk fails the decode; a damaged ancillary one is dropped. DEFLATE
  // checksums are verified.
  if (status == 0) status = spng_set_crc_action(ctx, SPNG_CRC_ERROR, SPNG_CRC_DISCARD);
  if (status == 0) status = spng_set_png_stream(ctx, read, input.get());
  if (status == 0) status = spng_get_ihdr(ctx, &input->ihdr_);
  if (status != 0) return input->failure(status);
  if (!platform::frameWithinLimits(input->ihdr_.width, input->ihdr_.height)) {
    return overLimits(input->ihdr_.width, input->ihdr_.height);
  }
  // Read with the chunks before the image data; a failure there shows again when the rows
  // are decoded.
  spng_iccp iccp{};
  if (spng_get_iccp(ctx, &iccp) == 0 && iccp.profile != nullptr) {
    const auto* profile = reinterpret_cast<const uint8_t*>(iccp.profile);
    input->icc_.assign(profile, profile + iccp.profile_len);
  }
  return input;
}

Failure PngInput::failure(int code) const {
  if (!damage_.empty()) return unreadable(damage_);
  return unreadable(spng_strerror(code));
}

bool PngInput::hasAlpha() const {
  if (colorType() == PngColorType::GreyAlpha || colorType() == PngColorType::Rgba) return true;
  spng_trns trns{};
  return spng_get_trns(ctx_.get(), &trns) == 0;
}

bool PngInput::checkChunksBefore(uint64_t end) {
  // A chunk cut short, or one too long to be a chunk, is libspng's to refuse; nothing past
  // it is checked.
  constexpr uint64_t kNoMore = std::numeric_limits<uint64_t>::max();
  std::vector<uint8_t> scratch;
  while (nextChunk_ < end) {
    uint8_t header[8];
    if (file_->readAt(nextChunk_, header) != sizeof header) break;
    const uint32_t length = probe::loadBe32(header);
    if (length > uint32_t{std::numeric_limits<int32_t>::max()}) break;
    const uint64_t next = nextChunk_ + 12 + length;
    if (next > file_->size()) break;
    // Bit 5 of the first letter: lower case for an ancillary chunk.
    if ((header[4] & 0x20) == 0) {
      if (scratch.empty()) scratch.resize(kReadAheadBytes);
      uint32_t crc = libdeflate_crc32(0, header + 4, 4);
      for (uint64_t at = nextChunk_ + 8; at < next - 4;) {
        const size_t take = static_cast<size_t>(std::min<uint64_t>(scratch.size(), next - 4 - at));
        if (file_->readAt(at, {scratch.data(), take}) != take) {
          nextChunk_ = kNoMore;
          return true;
        }
        crc = libdeflate_crc32(crc, scratch.data(), take);
        at += take;
      }
      uint8_t stored[4];
      if (file_->readAt(next - 4, stored) != sizeof stored || crc != probe::loadBe32(stored)) {
        damage_ = "CRC mismatch in ";
        // The type is named when it is one (four ASCII letters): the bytes are the file's.
        const bool named = std::all_of(header + 4, header + 8, [](uint8_t c) {
          return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
        });
        if (named) {
          damage_.append("chunk ").append(reinterpret_cast<const char*>(header + 4), 4);
        } else {
          damage_.append("a critical chunk");
        }
        return false;
      }
    }
    nextChunk_ = next;
  }
  if (nextChunk_ < end) nextChunk_ = kNoMore;
  return true;
}

int PngInput::read(spng_ctx*, void* self, void* destination, size_t length) noexcept {
  auto& in = *static_cast<PngInput*>(self);
  auto* out = static_cast<uint8_t*>(destination);
  if (in.checkChunks_) {
    // The file offset of the first byte handed out now.
    const uint64_t position = in.offset_ - (in.end_ - in.start_);
    try {
      if (!in.checkChunksBefore(position + length)) return SPNG_IO_ERROR;
    } catch (const std::bad_alloc&) {
      in.damage_ = "out of memory while checking a chunk";
      return SPNG_IO_ERROR;
    }
  }
  while (length > 0) {
    if (in.start_ == in.end_) {
      if (length >= in.buffer_.size()) {
        const size_t got = in.file_->readAt(in.offset_, {out, length});
        in.offset_ += got;
        return got == length ? 0 : SPNG_IO_EOF;
      }
      const size_t got = in.file_->readAt(in.offset_, in.buffer_);
      if (got == 0) return SPNG_IO_EOF;
      in.offset_ += got;
      in.start_ = 0;
      in.end_ = got;
    }
    const size_t take = std::min(length, in.end_ - in.start_);
    std::memcpy(out, in.buffer_.data() + in.start_, take);
    in.start_ += take;
    out += take;
    length -= take;
  }
  return 0;
}

void pngRowToPixels(const uint8_t* row, bool sixteen, uint32_t first, uint32_t end, uint32_t step,
                    uint32_t* out) {
  if (sixteen) {
    for (uint32_t x = first; x < end; x += step) {
      // Host-endian samples, as libspng gives them for SPNG_FMT_RGBA16.
      uint16_t s[4];
      std::memcpy(s, row + size_t{x} * 8, sizeof s);
      out[x] = platform::premultiply(to8(s[0]), to8(s[1]), to8(s[2]), to8(s[3]));
    }
  } else {
    for (uint32_t x = first; x < end; x += step) {
      const uint8_t* s = row + size_t{x} * 4;
      out[x] = platform::premultiply(s[0], s[1], s[2], s[3]);
    }
  }
}

}  // namespace velmo::codec
