// Hand-made PNG files, chunk by chunk, for tests that need a structure no encoder writes (a
// header that promises more than the data holds, chunks in an odd order).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace velmo::testing {

// Chunks in file order: type and data.
using PngChunks = std::vector<std::pair<std::string, std::vector<uint8_t>>>;

// A PNG signature followed by |chunks|, each with its length and checksum.
std::vector<uint8_t> pngFromChunks(const PngChunks& chunks);
// The chunks of the PNG |bytes|, their checksums not looked at.
PngChunks pngChunks(const std::vector<uint8_t>& bytes);

}  // namespace velmo::testing
