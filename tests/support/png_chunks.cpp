#include "tests/support/png_chunks.h"

namespace velmo::testing {

std::vector<uint8_t> pngFromChunks(const PngChunks& chunks) {
  std::vector<uint8_t> bytes = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  const auto be32 = [&](uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(static_cast<uint8_t>(v >> shift));
  };
  for (const auto& [type, data] : chunks) {
    be32(static_cast<uint32_t>(data.size()));
    const size_t start = bytes.size();
    bytes.insert(bytes.end(), type.begin(), type.end());
    bytes.insert(bytes.end(), data.begin(), data.end());
    // CRC-32 of the type and data, bit by bit.
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = start; i < bytes.size(); ++i) {
      crc ^= bytes[i];
      for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    be32(~crc);
  }
  return bytes;
}

PngChunks pngChunks(const std::vector<uint8_t>& bytes) {
  PngChunks chunks;
  for (size_t at = 8; at + 12 <= bytes.size();) {
    const size_t length = size_t{bytes[at]} << 24 | size_t{bytes[at + 1]} << 16 |
                          size_t{bytes[at + 2]} << 8 | bytes[at + 3];
    chunks.emplace_back(
        std::string(bytes.begin() + at + 4, bytes.begin() + at + 8),
        std::vector<uint8_t>(bytes.begin() + at + 8, bytes.begin() + at + 8 + length));
    at += 12 + length;
  }
  return chunks;
}

}  // namespace velmo::testing
