// Running out of memory after the decode: the caller sees the catalogue's message for the
// method, never the allocator's text. Each call runs in a child process whose address space
// is capped a little above what the process already uses, so that the photo decodes but its
// turned copy (or the tile) cannot be had.
#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "platform/file_descriptor.h"
#include "tests/support/image_files.h"
#include "tests/support/messages.h"
#include "tests/support/test_support.h"

namespace velmo::testing {
namespace {

using host::EncodableMap;

// The process's address space in bytes, from /proc/self/status.
uint64_t addressSpaceBytes() {
  std::ifstream status("/proc/self/status");
  std::string key;
  while (status >> key) {
    if (key == "VmSize:") {
      uint64_t kib = 0;
      status >> kib;
      return kib * 1024;
    }
    status.ignore(1 << 16, '\n');
  }
  return 0;
}

// Makes one warm-up call (so that libraries, threads and allocator arenas exist), caps the
// address space at |headroom| bytes above the current size, and answers |method| with
// |arguments|. Returns the reply's error message ("" for success, "?" when the child died).
std::string messageUnderCap(const std::string& method, const EncodableMap& warmUp,
                            const EncodableMap& arguments, uint64_t headroom) {
  int ends[2];
  if (pipe(ends) != 0) return "pipe";
  platform::FileDescriptor reader(ends[0]), writer(ends[1]);
  const pid_t child = fork();
  if (child < 0) return "fork";
  if (child == 0) {
    // Every large block from its own mapping, so that it counts against the cap (glibc would
    // otherwise serve some from address space its arenas reserved earlier).
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
    mallopt(M_ARENA_MAX, 1);
    std::string message;
    {
      PluginHarness harness;
      if (!harness.call(method, warmUp).ok()) _exit(2);
      const uint64_t cap = addressSpaceBytes() + headroom;
      const rlimit limit{cap, cap};
      if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(3);
      const Reply reply = harness.call(method, arguments);
      message = reply.ok() ? "" : reply.errorMessage();
      if (reply.kind == Reply::Kind::Error && reply.error.code != "PHOTO_PROCESSING") _exit(4);
    }
    if (write(writer.get(), message.data(), message.size()) != ssize_t(message.size())) _exit(5);
    _exit(0);
  }
  writer.reset();
  std::string message;
  char buffer[256];
  for (ssize_t n; (n = read(reader.get(), buffer, sizeof buffer)) > 0;) message.append(buffer, n);
  int status = 0;
  waitpid(child, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "?";
  return message;
}

TEST(OutOfMemory, AfterTheDecodeAnswersTheMethodsCatalogueMessage) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer reserves far more address space than any cap here";
#else
  ScratchDir dir;
  const std::string photo = dir.file("photo.png");
  writePngFile(photo,
               RgbaImage::generate(3000, 2000,
                                   [](uint32_t x, uint32_t y) {
                                     return 0xFF000000u | ((x & 0xFF) << 16) | ((y & 0xFF) << 8);
                                   }),
               false);
  auto renderArguments = [&](int64_t width, int64_t height, int turns, const char* name) {
    return plainMap({{"path", photo},
                     {"destination", dir.file(name)},
                     {"width", width},
                     {"height", height},
                     {"recipe", map({{"quarterTurns", turns}})}});
  };
  // The 24 MB decode fits in 40 MB more; the turned copy beside it does not.
  EXPECT_EQ(messageUnderCap("render", renderArguments(30, 20, 0, "small"),
                            renderArguments(2000, 3000, 1, "big"), 40u << 20),
            messages::kOutputOutOfRange);

  EXPECT_FALSE(std::filesystem::exists(dir.file("big.jpg")));
#endif
}

}  // namespace
}  // namespace velmo::testing
