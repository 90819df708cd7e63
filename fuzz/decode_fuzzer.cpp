// Any file a user can pick: the probe and the reduced decode must answer (an image or a
// clean refusal) without crashing, hanging or holding large memory.
#include <cstdint>

#include "codec/image_decoder.h"
#include "codec/image_probe.h"
#include "fuzz/fuzz_support.h"
#include "platform/input_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace velmo::platform;
  using namespace velmo::codec;
  const velmo::fuzz::MemoryFile memory({data, size});
  if (!memory.ok()) return 0;
  if (auto file = InputFile::open(memory.path())) {
    if (auto info = probeImage(*file)) {
      // Small limits keep each input cheap; the size caps are what is under test.
      (void)decodeThumbnail(*file, *info, 64);
    }
  }
  return 0;
}
