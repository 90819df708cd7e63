#include "codec/image_probe.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "codec/internal/probe_reader.h"

namespace velmo::codec {

namespace probe {
namespace {

// The next |Bytes| bytes of |reader| as the number |Load| reads from them; nullopt (the
// position unchanged) when the file ends first.
template <size_t Bytes, auto Load>
auto readNumber(Reader& reader) -> std::optional<decltype(Load(nullptr))> {
  std::array<uint8_t, Bytes> bytes;
  if (!reader.read(bytes)) return std::nullopt;
  return Load(bytes.data());
}

}  // namespace

Reader::Reader(const platform::InputFile& file, size_t windowBytes)
    : file_(file), size_(file.size()), window_(std::max<size_t>(windowBytes, 16)) {}

bool Reader::skip(uint64_t count) {
  if (count > remaining()) return false;
  position_ += count;
  return true;
}

bool Reader::fill(uint64_t offset, size_t count) {
  const size_t want = static_cast<size_t>(std::min<uint64_t>(window_.size(), size_ - offset));
  windowStart_ = offset;
  windowLength_ = file_.readAt(offset, std::span(window_.data(), want));
  return windowLength_ >= count;
}

bool Reader::read(std::span<uint8_t> out) {
  if (out.size() > remaining()) return false;
  if (out.size() >= window_.size()) {
    if (file_.readAt(position_, out) != out.size()) return false;
    position_ += out.size();
    return true;
  }
  const bool inWindow =
      position_ >= windowStart_ && position_ - windowStart_ + out.size() <= windowLength_;
  if (!inWindow && !fill(position_, out.size())) return false;
  std::memcpy(out.data(), window_.data() + (position_ - windowStart_), out.size());
  position_ += out.size();
  return true;
}

std::optional<uint8_t> Reader::u8() {
  uint8_t b;
  if (!read(std::span(&b, 1))) return std::nullopt;
  return b;
}

std::optional<uint16_t> Reader::be16() {
  return readNumber<2, loadBe16>(*this);
}

std::optional<uint32_t> Reader::be32() {
  return readNumber<4, loadBe32>(*this);
}

std::optional<uint16_t> Reader::le16() {
  return readNumber<2, loadLe16>(*this);
}

std::optional<uint32_t> Reader::le32() {
  return readNumber<4, loadLe32>(*this);
}

bool Reader::scan(uint8_t value, bool equal, uint64_t limit) {
  limit = std::min(limit, size_);
  while (position_ < limit) {
    const bool inWindow = position_ >= windowStart_ && position_ - windowStart_ < windowLength_;
    if (!inWindow && !fill(position_, 1)) return false;
    const uint8_t* begin = window_.data() + (position_ - windowStart_);
    const size_t available = static_cast<size_t>(
        std::min<uint64_t>(windowLength_ - (position_ - windowStart_), limit - position_));
    const uint8_t* hit =
        equal ? static_cast<const uint8_t*>(std::memchr(begin, value, available))
              : std::find_if(begin, begin + available, [value](uint8_t b) { return b != value; });
    if (hit && hit != begin + available) {
      position_ += static_cast<uint64_t>(hit - begin);
      return true;
    }
    position_ += available;
  }
  return false;
}

bool Reader::seekToByte(uint8_t value, uint64_t limit) {
  return scan(value, true, limit);
}

bool Reader::seekPastRun(uint8_t value, uint64_t limit) {
  return scan(value, false, limit);
}

std::vector<uint8_t> Reader::readUpTo(uint64_t maxBytes) {
  std::vector<uint8_t> bytes(static_cast<size_t>(std::min(maxBytes, remaining())));
  bytes.resize(file_.readAt(position_, bytes));
  position_ += bytes.size();
  return bytes;
}

bool reachesItsEnd(const platform::InputFile& file, ImageFormat format) {
  switch (format) {
    case ImageFormat::Png:
      return pngReachesItsEnd(file);
    case ImageFormat::Jpeg:
      return jpegReachesItsEnd(file);
    case ImageFormat::WebP:
      return webpReachesItsEnd(file);
    case ImageFormat::Gif:
    case ImageFormat::Heif:
      break;
  }
  return true;
}

}  // namespace probe

namespace {

bool startsWith(std::span<const uint8_t> head, std::string_view magic, size_t at = 0) {
  return head.size() >= at + magic.size() &&
         std::memcmp(head.data() + at, magic.data(), magic.size()) == 0;
}

}  // namespace

std::optional<ImageInfo> probeImage(const platform::InputFile& file) {
  // Enough for every signature, including an ftyp box with a long list of brands.
  std::array<uint8_t, 512> buffer;
  const size_t length = file.readAt(0, buffer);
  const std::span<const uint8_t> head(buffer.data(), length);

  if (startsWith(head, "\xFF\xD8\xFF")) return probe::probeJpeg(file);
  if (startsWith(head, "\x89PNG\r\n\x1A\n")) return probe::probePng(file);
  if (startsWith(head, "GIF87a") || startsWith(head, "GIF89a")) return probe::probeGif(file);
  if (startsWith(head, "RIFF") && startsWith(head, "WEBP", 8)) return probe::probeWebp(file);
  if (probe::hasHeifFileType(head)) return probe::probeHeif(file);
  return std::nullopt;
}

}  // namespace velmo::codec
