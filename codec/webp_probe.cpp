// WebP: the canvas size, alpha, the frame count and the EXIF orientation from the RIFF chunk
// list.
//
// A simple file is one VP8 (lossy) or VP8L (lossless) chunk whose bitstream header gives the
// size. An extended file starts with VP8X, which gives the canvas size and the feature flags,
// followed by chunks walked here by their headers: ANMF frames are counted, ALPH and EXIF
// noted. No bitstream is decoded.

#include <algorithm>
#include <array>
#include <cstring>

#include "codec/internal/exif_orientation.h"
#include "codec/internal/probe_reader.h"

namespace velmo::codec::probe {

namespace {

constexpr uint64_t kRiffHeaderBytes = 12;  // "RIFF", size, "WEBP"
constexpr uint64_t kMaxChunks = 1u << 20;
constexpr uint8_t kAnimationFlag = 0x02;
constexpr uint8_t kAlphaFlag = 0x10;

struct Chunk {
  std::array<uint8_t, 4> type;
  uint32_t size = 0;
  uint64_t payload = 0;  // file offset of the payload

  bool is(const char (&name)[5]) const { return std::memcmp(type.data(), name, 4) == 0; }
  // Payloads are padded to an even length.
  uint64_t end() const { return payload + size + (size & 1); }
};

std::optional<Chunk> readChunk(Reader& reader) {
  Chunk chunk;
  const auto size = [&]() -> std::optional<uint32_t> {
    if (!reader.read(chunk.type)) return std::nullopt;
    return reader.le32();
  }();
  if (!size) return std::nullopt;
  chunk.size = *size;
  chunk.payload = reader.position();
  return chunk;
}

// Size from a lossy key frame header: a 3-byte frame tag, the start code 9D 01 2A, then two
// 14-bit dimensions (the top two bits are a scaling hint).
void readLossyHeader(Reader& reader, ImageInfo& info) {
  std::array<uint8_t, 10> header;
  if (!reader.read(header)) return;
  const bool keyFrame = (header[0] & 0x01) == 0;
  if (!keyFrame || header[3] != 0x9D || header[4] != 0x01 || header[5] != 0x2A) return;
  info.pixelWidth = loadLe16(header.data() + 6) & 0x3FFF;
  info.pixelHeight = loadLe16(header.data() + 8) & 0x3FFF;
}

// Size and alpha hint from a lossless header: the signature byte 2F, then 14 bits of width-1,
// 14 bits of height-1, an alpha hint bit and a 3-bit version that must be 0.
void readLosslessHeader(Reader& reader, ImageInfo& info) {
  std::array<uint8_t, 5> header;
  if (!reader.read(header) || header[0] != 0x2F) return;
  const uint32_t bits = loadLe32(header.data() + 1);
  if ((bits >> 29) != 0) return;
  info.pixelWidth = (bits & 0x3FFF) + 1;
  info.pixelHeight = ((bits >> 14) & 0x3FFF) + 1;
  info.hasAlpha = ((bits >> 28) & 1) != 0;
}

}  // namespace

ImageInfo probeWebp(const platform::InputFile& file) {
  ImageInfo info;
  info.format = ImageFormat::WebP;
  Reader reader(file, 4096);
  reader.seek(4);
  const auto riffSize = reader.le32();
  if (!riffSize) return info;
  // The RIFF size bounds the chunk list; one that claims more than the file holds (a file
  // cut short, or a damaged size) leaves the end of the file as the bound.
  const uint64_t end =
      uint64_t{*riffSize} + 8 <= reader.size() ? uint64_t{*riffSize} + 8 : reader.size();
  reader.seek(kRiffHeaderBytes);

  const auto first = readChunk(reader);
  if (!first) return info;
  if (first->is("VP8 ")) {
    readLossyHeader(reader, info);
    return info;
  }
  if (first->is("VP8L")) {
    readLosslessHeader(reader, info);
    return info;
  }
  if (!first->is("VP8X")) return info;

  // flags (1), reserved (3), canvas width-1 (3), canvas height-1 (3)
  std::array<uint8_t, 10> header;
  if (first->size < header.size() || !reader.read(header)) return info;
  const uint8_t flags = header[0];
  const bool animated = (flags & kAnimationFlag) != 0;
  info.hasAlpha = (flags & kAlphaFlag) != 0;

  uint64_t frames = 0;
  bool imageSeen = false;
  bool exifSeen = false;
  reader.seek(first->end());
  for (uint64_t count = 0; count < kMaxChunks && reader.position() + 8 <= end; ++count) {
    const auto chunk = readChunk(reader);
    if (!chunk) break;
    if (chunk->is("ANMF")) {
      ++frames;
    } else if (chunk->is("VP8 ") || chunk->is("VP8L")) {
      imageSeen = true;
    } else if (chunk->is("ALPH")) {
      info.hasAlpha = true;
    } else if (chunk->is("EXIF") && !exifSeen) {
      exifSeen = true;
      info.orientation =
          exifOrientation(reader.readUpTo(std::min<uint64_t>(chunk->size, kMaxMetadataBlockBytes)));
    }
    reader.seek(chunk->end());
  }

  // The canvas describes image 0 only when there is one: a frame of an animation, or the
  // still image's bitstream.
  if (animated ? frames == 0 : !imageSeen) return info;
  info.pixelWidth = loadLe24(header.data() + 4) + 1;
  info.pixelHeight = loadLe24(header.data() + 7) + 1;
  info.frameCount = animated ? frames : 1;
  return info;
}

bool webpReachesItsEnd(const platform::InputFile& file) {
  // "RIFF", then the length of everything after these 8 bytes. Bytes past that end are
  // tolerated, as readers of RIFF do.
  Reader reader(file, 16);
  reader.seek(4);
  const auto riffSize = reader.le32();
  return riffSize && uint64_t{*riffSize} + 8 <= reader.size();
}

}  // namespace velmo::codec::probe
