// Atomic file writes: whole files or none, the old file kept on failure, nothing left over.
//
// The tests run as root in CI, so permissions cannot make a write fail; missing and
// misplaced directories, a file-size limit (standing in for a full disk), a NUL in the path
// and a killed writer do.
#include "platform/atomic_file.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <system_error>
#include <thread>

#include "tests/support/image_files.h"
#include "tests/support/test_support.h"

namespace velmo::testing {
namespace {

using platform::writeFileAtomically;
using namespace std::string_literals;
namespace fs = std::filesystem;

const std::vector<uint8_t> kOld = {'o', 'l', 'd'};

// The error code of writing |data| to |path|, after checking the error's text, in which a
// NUL is spelled "\0"; 0 when nothing is thrown.
int writeError(const std::string& path, const std::vector<uint8_t>& data) {
  std::string shown;
  for (char c : path) shown += c ? std::string(1, c) : "\\0"s;
  try {
    writeFileAtomically(path, data);
  } catch (const std::system_error& e) {
    EXPECT_EQ(e.code().category(), std::generic_category());
    EXPECT_EQ(std::string(e.what()), "write " + shown + ": " + e.code().message());
    return e.code().value();
  }
  return 0;
}

TEST(AtomicFile, FailuresKeepTheOldFileAndLeaveNoTemporary) {
  const std::pair<std::string, int> cases[] = {
      {"missing/a.jpg", ENOENT},  // directories are never created
      {"old/a.jpg", ENOTDIR},
      {"dir", EISDIR},  // found only at the rename, after the temporary is written
      {"old\0.jpg"s, EINVAL},
  };
  for (const auto& [target, error] : cases) {
    SCOPED_TRACE(target);
    ScratchDir dir;
    writeFileAtomically(dir.file("old"), kOld);
    fs::create_directory(dir.file("dir"));
    writeFileAtomically(dir.file("dir/inside"), kOld);
    EXPECT_EQ(writeError(dir.path().string() + "/" + target, std::vector<uint8_t>(4096, 1)), error);
    EXPECT_EQ(readBytes(dir.file("old")), kOld);
    EXPECT_EQ(readBytes(dir.file("dir/inside")), kOld);
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"dir", "old"}));
  }
}

// A full disk, imitated with RLIMIT_FSIZE in a child process so that the test program keeps
// its own limits. The child reports through its exit code.
TEST(AtomicFile, FileTooLargeKeepsTheOldFileAndLeavesNoTemporary) {
  ScratchDir dir;
  const std::string path = dir.file("a.jpg");
  writeFileAtomically(path, kOld);
  const int status = runInChild([&] {
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{64 * 1024, 64 * 1024};
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return 20;
    const int error = writeError(path, std::vector<uint8_t>(1 << 20, 1));
    return error == EFBIG && !::testing::Test::HasFailure() ? 0 : 21;
  });
  EXPECT_EQ(status, 0) << "20: setrlimit failed, 21: not EFBIG or wrong text";
  EXPECT_EQ(readBytes(path), kOld);
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"a.jpg"});
}

// A writer killed at random moments: the path holds nothing yet, or one whole version (version
// k is 2 MiB of the byte k). Temporary files may stay behind (no code runs after SIGKILL);
// the final name never shows a partial file.
TEST(AtomicFile, KilledWriterNeverLeavesAPartialFile) {
  ScratchDir dir;
  const std::string path = dir.file("out.bin");
  const unsigned seed = std::random_device()();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> delayMs(1, 60);
  for (int round = 0; round < 5; ++round) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      try {
        for (uint64_t k = 1;; ++k)
          writeFileAtomically(path, std::vector<uint8_t>(2 << 20, static_cast<uint8_t>(k)));
      } catch (...) {
        ::_exit(3);
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs(random)));
    ASSERT_EQ(::kill(child, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "writer stopped by itself, status " << status;
    if (!fs::exists(path)) continue;  // killed before the first rename
    const std::vector<uint8_t> contents = readBytes(path);
    ASSERT_EQ(contents.size(), 2u << 20) << "round " << round;
    EXPECT_TRUE(contents == std::vector<uint8_t>(2 << 20, contents[0])) << "round " << round;
  }
}

}  // namespace
}  // namespace velmo::testing
