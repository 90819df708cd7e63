// PNG (and APNG): the size from IHDR, alpha from the colour type or a tRNS chunk, the frame
// count from acTL, the orientation from eXIf.
//
// Chunks are walked by their headers alone; only IHDR, acTL and eXIf are read. IHDR must be
// the first chunk and intact (its CRC right, its fields a combination PNG defines): a damaged
// header gives no size rather than a size made of garbage.

#include <algorithm>
#include <array>
#include <cstring>

#include "codec/image_encoder.h"
#include "codec/internal/exif_orientation.h"
#include "codec/internal/probe_reader.h"

namespace velmo::codec::probe {

namespace {

constexpr uint64_t kSignatureBytes = 8;
// Lengths and sizes in PNG are four-byte numbers that stop at 2^31 - 1.
constexpr uint32_t kMaxPngInteger = 0x7FFFFFFF;
// Enough for any real file's chunk list; a file made of millions of empty chunks is cut off.
constexpr uint64_t kMaxChunks = 1u << 20;

uint32_t crc32(std::span<const uint8_t> bytes) {
  static const std::array<uint32_t, 256> table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t n = 0; n < 256; ++n) {
      uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[n] = c;
    }
    return t;
  }();
  uint32_t c = 0xFFFFFFFFu;
  for (uint8_t b : bytes) c = table[(c ^ b) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

// Chunk names are four ASCII letters; anything else means the walk has left the chunk list.
bool isChunkName(const std::array<uint8_t, 4>& type) {
  for (uint8_t c : type) {
    if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))) return false;
  }
  return true;
}

bool isType(const std::array<uint8_t, 4>& type, const char (&name)[5]) {
  return std::memcmp(type.data(), name, 4) == 0;
}

}  // namespace

ImageInfo probePng(const platform::InputFile& file) {
  ImageInfo info;
  info.format = ImageFormat::Png;
  Reader reader(file, 4096);
  reader.seek(kSignatureBytes);

  // length, "IHDR", 13 data bytes, CRC
  std::array<uint8_t, 25> ihdr;
  if (!reader.read(ihdr)) return info;
  const uint8_t* data = ihdr.data() + 8;
  if (loadBe32(ihdr.data()) != 13 || std::memcmp(ihdr.data() + 4, "IHDR", 4) != 0 ||
      crc32(std::span(ihdr.data() + 4, 17)) != loadBe32(ihdr.data() + 21)) {
    return info;
  }
  const uint32_t width = loadBe32(data);
  const uint32_t height = loadBe32(data + 4);
  const uint8_t depth = data[8];
  const uint8_t colourType = data[9];
  if (width > kMaxPngInteger || height > kMaxPngInteger ||
      !pngDepthAllowed(static_cast<PngColorType>(colourType), depth) || data[10] != 0 ||
      data[11] != 0 || data[12] > 1) {
    return info;
  }
  info.pixelWidth = width;
  info.pixelHeight = height;
  info.hasAlpha = colourType == static_cast<uint8_t>(PngColorType::GreyAlpha) ||
                  colourType == static_cast<uint8_t>(PngColorType::Rgba);

  bool imageDataSeen = false;
  bool animationControlSeen = false;
  bool exifSeen = false;
  for (uint64_t chunks = 0; chunks < kMaxChunks; ++chunks) {
    const auto length = reader.be32();
    std::array<uint8_t, 4> type;
    if (!length || *length > kMaxPngInteger || !reader.read(type) || !isChunkName(type)) break;
    const uint64_t next = reader.position() + *length + 4;  // data, CRC

    if (isType(type, "IEND")) break;
    if (isType(type, "IDAT")) {
      imageDataSeen = true;
    } else if (isType(type, "tRNS")) {
      if (!imageDataSeen) info.hasAlpha = true;
    } else if (isType(type, "acTL")) {
      // Only an acTL ahead of the image data makes the file an animation.
      if (!imageDataSeen && !animationControlSeen && *length == 8) {
        animationControlSeen = true;
        const auto frames = reader.be32();
        if (frames && *frames > 0) info.frameCount = *frames;
      }
    } else if (isType(type, "eXIf") && !exifSeen) {
      // A chunk that runs past the end of the file is not trusted.
      if (*length > reader.remaining()) break;
      exifSeen = true;
      info.orientation =
          exifOrientation(reader.readUpTo(std::min<uint64_t>(*length, kMaxMetadataBlockBytes)));
    }
    // Past the image data only eXIf is still of interest.
    if (imageDataSeen && exifSeen) break;
    reader.seek(next);
  }
  return info;
}

bool pngReachesItsEnd(const platform::InputFile& file) {
  // Every chunk takes at least 12 bytes, so the walk ends; it reads one header per chunk.
  Reader reader(file, 4096);
  reader.seek(kSignatureBytes);
  bool imageDataSeen = false;
  for (;;) {
    const auto length = reader.be32();
    std::array<uint8_t, 4> type;
    if (!length || *length > kMaxPngInteger || !reader.read(type)) return false;
    if (!reader.skip(uint64_t{*length} + 4)) return false;  // data, CRC
    if (isType(type, "IEND")) return imageDataSeen;
    if (isType(type, "IDAT")) imageDataSeen = true;
  }
}

}  // namespace velmo::codec::probe
