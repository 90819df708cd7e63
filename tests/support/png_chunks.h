// Hand-made PNG files, chunk by chunk, for tests that need a structure no encoder writes (a
// header that promises more than the data holds, chunks in an odd order).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace velmo::testing {

// A PNG signature followed by |chunks| (type, data), each with its length and checksum.
std::vector<uint8_t> pngFromChunks(
    const std::vector<std::pair<std::string, std::vector<uint8_t>>>& chunks);

}  // namespace velmo::testing
