// Any file a user can pick: the probe and the reduced decode must answer (an image or a
// clean refusal) without crashing, hanging or holding large memory.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "codec/image_decoder.h"
#include "codec/image_probe.h"
#include "platform/input_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace velmo::platform;
  // The decoders read from files; an anonymous memory file keeps the disk out of it.
  const int fd = memfd_create("velmo-fuzz", MFD_CLOEXEC);
  if (fd < 0) return 0;
  size_t done = 0;
  while (done < size) {
    ssize_t n = ::write(fd, data + done, size - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  const std::string path = "/proc/self/fd/" + std::to_string(fd);
  if (auto file = InputFile::open(path)) {
    if (auto info = probeImage(*file)) {
      // Small limits keep each input cheap; the size caps are what is under test.
      (void)decodeThumbnail(*file, *info, 64);
    }
  }
  ::close(fd);
  return 0;
}
