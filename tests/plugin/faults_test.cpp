// Faults around a call: the file system changing under it. Each gets its error, and every
// output that existed before stays whole.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <filesystem>
#include <string>

#include "tests/support/image_files.h"
#include "tests/support/messages.h"
#include "tests/support/test_support.h"

namespace velmo::testing {
namespace {

namespace fs = std::filesystem;
using host::EncodableMap;

class FaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    photo_ = dir_.file("photo.png");
    writePngFile(photo_,
                 RgbaImage::generate(64, 48,
                                     [](uint32_t x, uint32_t y) {
                                       return 0xFF000000u | (x * 4 << 16) | (y * 5 << 8);
                                     }),
                 false);
  }
  EncodableMap renderTo(const std::string& destination, const std::string& path) {
    return renderArguments(path, destination, 64, 48);
  }

  ScratchDir dir_;
  std::string photo_;
  PluginHarness harness_;
};

TEST_F(FaultTest, DestinationsThatCannotBeWrittenKeepEveryExistingOutput) {
  const ScratchDir out;
  ASSERT_TRUE(harness_.call("render", renderTo(out.file("kept"), photo_)).ok());
  const std::string kept = readText(out.file("kept.jpg"));

  // The destination's file name is a directory.
  fs::create_directory(out.file("taken.jpg"));
  Reply reply = harness_.call("render", renderTo(out.file("taken"), photo_));
  ASSERT_EQ(reply.kind, Reply::Kind::Error);
  EXPECT_NE(reply.errorMessage().find("Is a directory"), std::string::npos) << reply.errorMessage();

  // The directory vanishes between two calls.
  fs::create_directory(dir_.file("gone"));
  ASSERT_TRUE(harness_.call("render", renderTo(dir_.file("gone/a"), photo_)).ok());
  fs::remove_all(dir_.file("gone"));
  reply = harness_.call("render", renderTo(dir_.file("gone/b"), photo_));
  ASSERT_EQ(reply.kind, Reply::Kind::Error);
  EXPECT_NE(reply.errorMessage().find("No such file or directory"), std::string::npos)
      << reply.errorMessage();
  reply = harness_.call(
      "tile",
      map({{"path", photo_}, {"destination", dir_.file("gone/t")}, {"width", 8}, {"height", 8}}));
  ASSERT_EQ(reply.kind, Reply::Kind::Error);
  EXPECT_NE(reply.errorMessage().find("No such file or directory"), std::string::npos);

  EXPECT_EQ(readText(out.file("kept.jpg")), kept);
  EXPECT_TRUE(fs::is_directory(out.file("taken.jpg")));
  // Nothing else appeared: no temporary file is left behind.
  EXPECT_EQ(out.entries(), (std::vector<std::string>{"kept.jpg", "taken.jpg"}));
}

// A full disk, imitated with RLIMIT_FSIZE in a child process: the file system's reason, and
// the output that was there stays whole.
TEST_F(FaultTest, FullDiskKeepsTheExistingOutput) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer cannot start threads in a child forked from threads";
#endif
  ASSERT_TRUE(harness_.call("render", renderTo(dir_.file("full"), photo_)).ok());
  const std::string before = readText(dir_.file("full.jpg"));
  const std::string big = dir_.file("big.png");
  writePngFile(big,
               RgbaImage::generate(800, 600,
                                   [](uint32_t x, uint32_t y) {
                                     return 0xFF000000u | (x * 2654435761u ^ y * 40503u);
                                   }),
               false);
  const int status = runInChild([&] {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{16 * 1024, 16 * 1024};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 20;
    PluginHarness harness;
    const Reply reply = harness.call("render", renderArguments(big, dir_.file("full"), 800, 600));
    const bool expected = reply.kind == Reply::Kind::Error &&
                          reply.errorMessage().find("File too large") != std::string::npos;
    return expected ? 0 : 21;
  });
  EXPECT_EQ(status, 0) << "20: setrlimit failed, 21: not the file system's reason";
  EXPECT_EQ(readText(dir_.file("full.jpg")), before);
}

}  // namespace
}  // namespace velmo::testing
