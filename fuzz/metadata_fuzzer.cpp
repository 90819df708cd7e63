// "metadata" of any file: four integers or a catalogue message, from the headers alone.
#include <cstdint>

#include "fuzz/fuzz_support.h"
#include "method/error.h"
#include "source/image_source.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const velmo::fuzz::MemoryFile memory({data, size});
  if (!memory.ok()) return 0;
  try {
    (void)velmo::source::metadata({{"path", memory.path()}});
  } catch (const velmo::method::PluginError&) {
  }
  return 0;
}
