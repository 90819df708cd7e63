// GIF: the size of the logical screen, the number of frames, and alpha, from the record
// structure alone.
//
// Frames are counted by walking the records and skipping the LZW data by its sub-block
// lengths, never decoding it, so a file of tens of thousands of frames is counted in one
// sequential pass. A file cut short reports the frames seen before the cut.

#include <algorithm>
#include <array>

#include "codec/internal/probe_reader.h"

namespace velmo::codec::probe {

namespace {

constexpr uint8_t kImageDescriptor = 0x2C;
constexpr uint8_t kExtension = 0x21;
constexpr uint8_t kGraphicControlLabel = 0xF9;
constexpr uint8_t kColourTableFlag = 0x80;

// Skips the colour table announced by a packed-fields byte, if any.
bool skipColourTable(Reader& reader, uint8_t packed) {
  if (!(packed & kColourTableFlag)) return true;
  return reader.skip(3u << ((packed & 0x07) + 1));
}

// Skips a chain of data sub-blocks up to and including its zero-length terminator.
bool skipSubBlocks(Reader& reader) {
  for (;;) {
    const auto size = reader.u8();
    if (!size) return false;
    if (*size == 0) return true;
    if (!reader.skip(*size)) return false;
  }
}

}  // namespace

ImageInfo probeGif(const platform::InputFile& file) {
  ImageInfo info;
  info.format = ImageFormat::Gif;
  // The walk reads the whole file in order; a large window keeps it to few system calls.
  Reader reader(file, 64 * 1024);
  reader.seek(6);  // past the signature

  std::array<uint8_t, 7> screen;  // width, height, packed fields, background, aspect
  if (!reader.read(screen)) return info;
  const uint32_t screenWidth = loadLe16(screen.data());
  const uint32_t screenHeight = loadLe16(screen.data() + 2);
  if (!skipColourTable(reader, screen[4])) return info;

  uint64_t frames = 0;
  bool transparencyBeforeFirstFrame = false;
  while (const auto introducer = reader.u8()) {
    if (*introducer == kImageDescriptor) {
      std::array<uint8_t, 9> descriptor;  // left, top, width, height, packed fields
      if (!reader.read(descriptor)) break;
      ++frames;
      if (frames == 1) {
        const uint32_t left = loadLe16(descriptor.data());
        const uint32_t top = loadLe16(descriptor.data() + 2);
        const uint32_t width = loadLe16(descriptor.data() + 4);
        const uint32_t height = loadLe16(descriptor.data() + 6);
        // A first frame reaching past the screen widens the picture, as decoders show it.
        info.pixelWidth = std::max(screenWidth, left + width);
        info.pixelHeight = std::max(screenHeight, top + height);
        const bool coversScreen =
            left == 0 && top == 0 && width >= screenWidth && height >= screenHeight;
        info.hasAlpha = transparencyBeforeFirstFrame || !coversScreen;
      }
      // colour table, LZW minimum code size, data
      if (!skipColourTable(reader, descriptor[8]) || !reader.skip(1) || !skipSubBlocks(reader)) {
        break;
      }
    } else if (*introducer == kExtension) {
      const auto label = reader.u8();
      if (!label) break;
      if (*label == kGraphicControlLabel && frames == 0) {
        // The first sub-block holds the packed fields; bit 0 is the transparency flag.
        const uint64_t blockStart = reader.position();
        const auto size = reader.u8();
        const auto packed = reader.u8();
        if (!size || !packed) break;
        if (*size >= 1 && (*packed & 0x01)) transparencyBeforeFirstFrame = true;
        reader.seek(blockStart);
      }
      if (!skipSubBlocks(reader)) break;
    } else {
      // The trailer, or a byte that starts no record: the walk ends either way.
      break;
    }
  }

  // Without a single image descriptor there is no image 0, so the size stays unset (the
  // count stays 1, so that callers report the size problem rather than an animation).
  if (frames > 0) info.frameCount = frames;
  return info;
}

}  // namespace velmo::codec::probe
