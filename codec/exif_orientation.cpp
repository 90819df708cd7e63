#include "codec/internal/exif_orientation.h"

#include <cstring>

#include "codec/internal/probe_reader.h"

namespace velmo::codec {

namespace {

constexpr uint16_t kOrientationTag = 0x0112;
constexpr uint16_t kTypeShort = 3;
constexpr uint16_t kTypeLong = 4;
constexpr size_t kEntryBytes = 12;

class TiffView {
 public:
  TiffView(std::span<const uint8_t> bytes, bool bigEndian) : bytes_(bytes), bigEndian_(bigEndian) {}

  bool has(uint64_t offset, uint64_t count) const {
    return offset <= bytes_.size() && count <= bytes_.size() - offset;
  }
  uint16_t u16(size_t offset) const {
    const uint8_t* p = bytes_.data() + offset;
    return bigEndian_ ? probe::loadBe16(p) : probe::loadLe16(p);
  }
  uint32_t u32(size_t offset) const {
    const uint8_t* p = bytes_.data() + offset;
    return bigEndian_ ? probe::loadBe32(p) : probe::loadLe32(p);
  }

 private:
  std::span<const uint8_t> bytes_;
  bool bigEndian_;
};

}  // namespace

std::optional<int64_t> tiffOrientation(std::span<const uint8_t> tiff) {
  if (tiff.size() < 8) return std::nullopt;
  bool bigEndian;
  if (tiff[0] == 'I' && tiff[1] == 'I') {
    bigEndian = false;
  } else if (tiff[0] == 'M' && tiff[1] == 'M') {
    bigEndian = true;
  } else {
    return std::nullopt;
  }
  const TiffView view(tiff, bigEndian);
  if (view.u16(2) != 42) return std::nullopt;

  const uint64_t ifd = view.u32(4);
  if (!view.has(ifd, 2)) return std::nullopt;
  const uint64_t entries = view.u16(static_cast<size_t>(ifd));
  for (uint64_t i = 0; i < entries; ++i) {
    const uint64_t entry = ifd + 2 + i * kEntryBytes;
    // A directory cut short by the end of the block ends the search.
    if (!view.has(entry, kEntryBytes)) return std::nullopt;
    const size_t at = static_cast<size_t>(entry);
    if (view.u16(at) != kOrientationTag) continue;

    const uint16_t type = view.u16(at + 2);
    const uint32_t count = view.u32(at + 4);
    if (count == 0) return std::nullopt;
    const uint64_t valueBytes = uint64_t{count} * (type == kTypeShort ? 2 : 4);
    // Values of four bytes or fewer sit in the entry itself; longer ones are elsewhere.
    const uint64_t valueAt = valueBytes <= 4 ? entry + 8 : view.u32(at + 8);
    if (type == kTypeShort) {
      if (!view.has(valueAt, 2)) return std::nullopt;
      return view.u16(static_cast<size_t>(valueAt));
    }
    // Some writers store the tag as LONG; the value still means the same.
    if (type == kTypeLong) {
      if (!view.has(valueAt, 4)) return std::nullopt;
      return view.u32(static_cast<size_t>(valueAt));
    }
    return std::nullopt;
  }
  return std::nullopt;
}

std::optional<int64_t> exifOrientation(std::span<const uint8_t> block) {
  static constexpr uint8_t kIdentifier[] = {'E', 'x', 'i', 'f', 0, 0};
  if (block.size() >= sizeof kIdentifier &&
      std::memcmp(block.data(), kIdentifier, sizeof kIdentifier) == 0) {
    block = block.subspan(sizeof kIdentifier);
  }
  return tiffOrientation(block);
}

}  // namespace velmo::codec
