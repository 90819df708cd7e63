// Private to codec/: a bounded reader over an InputFile, the per-format header readers that
// probeImage dispatches to once the leading bytes have named the format, and the check that
// a file is whole, which the decoders make before decoding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "codec/image_probe.h"
#include "platform/input_file.h"

namespace velmo::codec::probe {

// Sequential reads through a small window, so that walking a file's records costs one system
// call per window rather than one per record. Every read is checked against the size the file
// had when it was opened; a read past it fails and leaves the position where it was.
class Reader {
 public:
  // |windowBytes| suits the walk: large for a format read end to end (GIF), small for one
  // that jumps from header to header (PNG, WebP, JPEG).
  Reader(const platform::InputFile& file, size_t windowBytes);

  uint64_t size() const { return size_; }
  uint64_t position() const { return position_; }
  uint64_t remaining() const { return position_ < size_ ? size_ - position_ : 0; }

  // Moves to |offset|, which may lie past the end (later reads then fail).
  void seek(uint64_t offset) { position_ = offset; }
  // Moves forward by |count|; false (position unchanged) when that passes the end.
  bool skip(uint64_t count);

  // All of |out|, or false with the position unchanged.
  bool read(std::span<uint8_t> out);
  std::optional<uint8_t> u8();
  std::optional<uint16_t> be16();
  std::optional<uint32_t> be32();
  std::optional<uint16_t> le16();
  std::optional<uint32_t> le32();

  // Moves to the next occurrence of |value| at or after the position, but not to or past
  // |limit|; false (position at the end of what was searched) when there is none.
  bool seekToByte(uint8_t value, uint64_t limit);
  // Moves past a run of |value| bytes, to the first other byte before |limit|; false when the
  // run reaches the limit or the end.
  bool seekPastRun(uint8_t value, uint64_t limit);

  // Up to |maxBytes| bytes from here (fewer at the end of the file); the position moves past
  // what was returned.
  std::vector<uint8_t> readUpTo(uint64_t maxBytes);

 private:
  bool fill(uint64_t offset, size_t count);
  // Moves to the first byte before |limit| that equals |value| (or, when !|equal|, differs).
  bool scan(uint8_t value, bool equal, uint64_t limit);

  const platform::InputFile& file_;
  uint64_t size_;
  uint64_t position_ = 0;
  std::vector<uint8_t> window_;
  uint64_t windowStart_ = 0;
  size_t windowLength_ = 0;
};

inline uint16_t loadBe16(const uint8_t* p) {
  return static_cast<uint16_t>((p[0] << 8) | p[1]);
}
inline uint32_t loadBe32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
inline uint16_t loadLe16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t loadLe24(const uint8_t* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16);
}
inline uint32_t loadLe32(const uint8_t* p) {
  return loadLe24(p) | (uint32_t{p[3]} << 24);
}

// Metadata blocks (EXIF) are read whole only up to this many bytes. IFD0 sits at the front of
// every real block, so a longer one is parsed from its first part.
inline constexpr uint64_t kMaxMetadataBlockBytes = 256 * 1024;

// The leading bytes that identify a format. Each reader below is called only when its
// signature matched, and answers with what it could read: a header it cannot use leaves the
// pixel size unset.
bool hasHeifFileType(std::span<const uint8_t> head);

ImageInfo probeJpeg(const platform::InputFile& file);
ImageInfo probePng(const platform::InputFile& file);
ImageInfo probeGif(const platform::InputFile& file);
ImageInfo probeWebp(const platform::InputFile& file);
ImageInfo probeHeif(const platform::InputFile& file);

// Whether |file| reaches the end that its format's structure promises: a cheap check, made
// before any pixels are decoded, that the file was not cut short.
//   - PNG: the chunk list, walked by the chunk lengths, reaches a whole IEND after an IDAT;
//   - JPEG: an end-of-image marker follows the start of the first scan;
//   - WebP: the file is as long as its RIFF header says;
//   - GIF and HEIF: always true here; their frame is decoded whole before any window is
//     cut from it, and a file cut short fails that decode.
// It looks at the structure only, never into the compressed data: damage that only a full
// decode finds (a corrupt DEFLATE or entropy-coded stream, a bad checksum inside the image
// data) passes here. The decoders find it in the rows they decode, so a window that ends
// above such damage may still be served.
bool reachesItsEnd(const platform::InputFile& file, ImageFormat format);
bool pngReachesItsEnd(const platform::InputFile& file);
bool jpegReachesItsEnd(const platform::InputFile& file);
bool webpReachesItsEnd(const platform::InputFile& file);

}  // namespace velmo::codec::probe
