// Running out of memory after the decode: the caller sees the catalogue's message for the
// method, never the allocator's text. Each call runs in a fresh process (this program run
// again for one hidden test) whose address space is capped a little above what it already
// uses, so that the photo decodes but its turned copy (or the tile) cannot be had.
#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "tests/support/image_files.h"
#include "tests/support/messages.h"
#include "tests/support/test_support.h"

namespace velmo::testing {
namespace {

using host::EncodableMap;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

struct Case {
  const char* name;
  const char* method;
  EncodableMap warmUp;     // the same kind of call, small: loads libraries, starts threads
  EncodableMap arguments;  // the call that runs under the cap
  uint64_t headroom;       // bytes of address space allowed above the warmed-up process
};

std::vector<Case> cases(const std::string& photo, const std::string& dir) {
  auto render = [&](int64_t width, int64_t height, int turns, const char* name) {
    return map({{"path", photo},
                {"destination", dir + "/" + name},
                {"width", width},
                {"height", height},
                {"recipe", map({{"quarterTurns", turns}})}});
  };
  auto tile = [&](int64_t width, int64_t height, const char* name) {
    return map({{"path", photo},
                {"destination", dir + "/" + name},
                {"width", width},
                {"height", height},
                {"sample", 1}});
  };
  return {
      // The 24 MB decode fits in 40 MB more; the turned copy beside it does not.
      {"render", "render", render(30, 20, 0, "small"), render(2000, 3000, 1, "big"), 40u << 20},
      // A 2048 x 2000 window of the photo is 16 MB before it is encoded; 8 MB more is too little.
      {"tile", "tile", tile(16, 16, "t0"), tile(2048, 2000, "t1"), 8u << 20},
  };
}

// Run in the child only: answers the case named by VELMO_OOM_CASE under its cap and writes
// the reply's message ("" for success) to VELMO_OOM_DIR/message.
TEST(OutOfMemoryChild, AnswerOneCaseUnderTheCap) {
  const char* name = std::getenv("VELMO_OOM_CASE");
  const char* dir = std::getenv("VELMO_OOM_DIR");
  if (!name || !dir) GTEST_SKIP() << "run by OutOfMemory tests in a child process";
  // Every large block from its own mapping, so that it counts against the cap (glibc would
  // otherwise serve some from address space that its arenas reserved earlier).
  mallopt(M_MMAP_THRESHOLD, 128 * 1024);
  mallopt(M_ARENA_MAX, 1);
  for (const Case& c : cases(std::string(dir) + "/photo.png", dir)) {
    if (c.name != std::string(name)) continue;
    std::string message;
    {
      PluginHarness harness;
      ASSERT_TRUE(harness.call(c.method, c.warmUp).ok());
      const uint64_t cap = processStatusBytes("VmSize") + c.headroom;
      const rlimit limit{cap, cap};
      ASSERT_EQ(setrlimit(RLIMIT_AS, &limit), 0);
      const Reply reply = harness.call(c.method, c.arguments);
      ASSERT_NE(reply.kind, Reply::Kind::None);
      if (!reply.ok()) {
        EXPECT_EQ(reply.error.code, messages::kProcessingCode);
        message = reply.errorMessage();
      }
    }
    std::ofstream(std::string(dir) + "/message") << message;
  }
}

// The message the case's call answers in a child process, or "(no answer)".
std::string messageUnderCap(const char* name, const ScratchDir& dir) {
  const int status = runInChild([&] {
    setenv("VELMO_OOM_CASE", name, 1);
    setenv("VELMO_OOM_DIR", dir.path().c_str(), 1);
    execl("/proc/self/exe", "out_of_memory_child",
          "--gtest_filter=OutOfMemoryChild.AnswerOneCaseUnderTheCap", nullptr);
    return 127;
  });
  if (status != 0 || !std::filesystem::exists(dir.file("message"))) return "(no answer)";
  return readText(dir.file("message"));
}

TEST(OutOfMemory, AfterTheDecodeAnswersTheMethodsCatalogueMessage) {
  if (kSanitized) GTEST_SKIP() << "the sanitizers reserve far more address space than any cap here";
  ScratchDir dir;
  writePngFile(dir.file("photo.png"),
               RgbaImage::generate(3000, 2000,
                                   [](uint32_t x, uint32_t y) {
                                     return 0xFF000000u | ((x & 0xFF) << 16) | ((y & 0xFF) << 8);
                                   }),
               false);
  EXPECT_EQ(messageUnderCap("render", dir), messages::kOutputOutOfRange);
  EXPECT_EQ(messageUnderCap("tile", dir), messages::kCannotCreateTile);
  EXPECT_FALSE(std::filesystem::exists(dir.file("big.jpg")));
  EXPECT_FALSE(std::filesystem::exists(dir.file("t1.png")));
}

}  // namespace
}  // namespace velmo::testing
