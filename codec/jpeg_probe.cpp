// JPEG: the frame size from the first SOFn segment, the orientation from the first EXIF APP1
// segment before the first scan (writers put it ahead of the frame header, but it may follow).
//
// The marker walk follows libjpeg's own reader, so that every file the decoder will accept
// also yields a size here: bytes that are not a marker are skipped, as are fill bytes (FF FF)
// and stuffed zeros (FF 00). Segments other than EXIF and the frame header are skipped by
// their lengths, never read.

#include <algorithm>
#include <array>
#include <span>
#include <vector>

#include "codec/internal/exif_orientation.h"
#include "codec/internal/probe_reader.h"

namespace velmo::codec::probe {

namespace {

// The markers and segments ahead of the frame header are a few hundred KB at most (APPn
// segments hold up to 64 KB each); a file that has not reached a frame header this far in is
// not a JPEG worth reading.
constexpr uint64_t kMaxHeaderWalk = 64ull * 1024 * 1024;

bool isStartOfFrame(uint8_t marker) {
  // C4 (DHT), C8 (JPG) and CC (DAC) share the range but are not frame headers.
  return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

bool hasNoLength(uint8_t marker) {
  // TEM and the restart markers stand alone.
  return marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7);
}

// The next marker code from the reader's position, or nullopt at the end of the walk.
std::optional<uint8_t> nextMarker(Reader& reader) {
  for (;;) {
    if (!reader.seekToByte(0xFF, kMaxHeaderWalk) || !reader.seekPastRun(0xFF, kMaxHeaderWalk)) {
      return std::nullopt;
    }
    const auto code = reader.u8();
    if (!code) return std::nullopt;
    if (*code != 0x00) return code;
  }
}

}  // namespace

ImageInfo probeJpeg(const platform::InputFile& file) {
  ImageInfo info;
  info.format = ImageFormat::Jpeg;
  Reader reader(file, 4096);
  reader.seek(2);  // past SOI
  bool exifSeen = false;
  bool frameSeen = false;
  while (auto marker = nextMarker(reader)) {
    if (hasNoLength(*marker)) continue;
    // A scan, the end of the image or a second start of image before any frame header:
    // there is no frame size to be had.
    if (*marker == 0xDA || *marker == 0xD9 || *marker == 0xD8) break;
    const auto length = reader.be16();
    if (!length || *length < 2) break;
    const uint64_t payloadStart = reader.position();
    const uint32_t payload = *length - 2u;

    if (isStartOfFrame(*marker) && !frameSeen) {
      // precision (1), height (2), width (2), component count (1)
      std::array<uint8_t, 6> header;
      if (payload < header.size() || !reader.read(header)) break;
      info.pixelHeight = loadBe16(header.data() + 1);
      info.pixelWidth = loadBe16(header.data() + 3);
      frameSeen = true;
      // The tables between the frame header and the scan are short; an EXIF segment may
      // still come among them.
      if (exifSeen) break;
    }
    if (*marker == 0xE1 && !exifSeen) {
      const std::vector<uint8_t> segment = reader.readUpTo(payload);
      static constexpr uint8_t kIdentifier[] = {'E', 'x', 'i', 'f', 0, 0};
      if (segment.size() >= sizeof kIdentifier &&
          std::equal(std::begin(kIdentifier), std::end(kIdentifier), segment.begin())) {
        // Only the first EXIF segment counts, even when its orientation is unreadable.
        exifSeen = true;
        info.orientation = exifOrientation(segment);
      }
    }
    reader.seek(payloadStart + payload);
  }
  return info;
}

bool jpegReachesItsEnd(const platform::InputFile& file) {
  // The header segments, walked as the probe walks them, up to the first scan.
  Reader reader(file, 4096);
  reader.seek(2);  // past SOI
  for (;;) {
    const auto marker = nextMarker(reader);
    if (!marker || *marker == 0xD9 || *marker == 0xD8) return false;
    if (*marker == 0xDA) break;
    if (hasNoLength(*marker)) continue;
    const auto length = reader.be16();
    if (!length || *length < 2 || !reader.skip(*length - 2u)) return false;
  }
  // Entropy-coded data never holds FF D9 (an FF in it is followed by 00 or a restart code),
  // so an end marker after the first scan's start ends the image. Searched from the end of
  // the file backwards: it usually sits in the last two bytes, or before some trailing data
  // (a second image, as in Ultra HDR files).
  const uint64_t scanStart = reader.position();
  constexpr size_t kChunk = 64 * 1024;
  std::vector<uint8_t> buffer(kChunk + 1);
  uint64_t end = reader.size();
  while (end > scanStart + 1) {
    const uint64_t start = end - std::min<uint64_t>(kChunk, end - scanStart);
    // One byte beyond the chunk, so that a marker across two chunks is seen.
    const size_t length = static_cast<size_t>(std::min<uint64_t>(end + 1, reader.size()) - start);
    if (file.readAt(start, std::span(buffer.data(), length)) != length) return false;
    for (size_t i = length - 1; i > 0; --i) {
      if (buffer[i - 1] == 0xFF && buffer[i] == 0xD9) return true;
    }
    end = start;
  }
  return false;
}

}  // namespace velmo::codec::probe
