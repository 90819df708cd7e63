// Atomic file writes: whole files or none, the old file kept on failure, nothing left over.
//
// The tests run as root in CI, so permissions cannot make a write fail; missing and
// misplaced directories, a file-size limit (standing in for a full disk), a NUL in the path
// and a killed writer do.
#include "platform/atomic_file.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <system_error>
#include <thread>

#include "tests/support/test_support.h"

namespace velmo::platform {
namespace {

using testing::ScratchDir;
namespace fs = std::filesystem;

std::vector<uint8_t> bytesOf(const std::string& text) {
  return {text.begin(), text.end()};
}

std::optional<std::vector<uint8_t>> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// The error writeFileAtomically throws for |path|, checked to be a generic-category
// system_error whose text names the path (|shownPath| when it differs) and the reason.
std::system_error writeError(const std::string& path, const std::vector<uint8_t>& data,
                             std::optional<std::string> shownPath = std::nullopt) {
  try {
    writeFileAtomically(path, data);
  } catch (const std::system_error& e) {
    EXPECT_EQ(e.code().category(), std::generic_category());
    EXPECT_EQ(std::string(e.what()),
              "write " + shownPath.value_or(path) + ": " + e.code().message());
    return e;
  }
  ADD_FAILURE() << "no error writing " << path;
  return std::system_error(0, std::generic_category());
}

TEST(AtomicFile, WritesTheBytesAndReplacesAnOldFileWhole) {
  ScratchDir dir;
  const std::string path = dir.file("a.jpg");
  writeFileAtomically(path, std::vector<uint8_t>(100000, 7));
  writeFileAtomically(path, bytesOf("short"));
  EXPECT_EQ(readFile(path), bytesOf("short"));
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"a.jpg"});

  writeFileAtomically(path, {});
  EXPECT_EQ(readFile(path), std::vector<uint8_t>{});
}

TEST(AtomicFile, ModeIsTheUmasksNotPrivate) {
  ScratchDir dir;
  const mode_t saved = ::umask(027);
  writeFileAtomically(dir.file("a.png"), bytesOf("x"));
  ::umask(saved);
  struct stat st {};
  ASSERT_EQ(::stat(dir.file("a.png").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST(AtomicFile, ReplacesASymlinkNotItsTarget) {
  ScratchDir dir;
  writeFileAtomically(dir.file("target"), bytesOf("target"));
  fs::create_symlink(dir.file("target"), dir.file("link.jpg"));
  writeFileAtomically(dir.file("link.jpg"), bytesOf("new"));
  EXPECT_FALSE(fs::is_symlink(dir.file("link.jpg")));
  EXPECT_EQ(readFile(dir.file("link.jpg")), bytesOf("new"));
  EXPECT_EQ(readFile(dir.file("target")), bytesOf("target"));
}

TEST(AtomicFile, RelativePathAndLongNameWork) {
  ScratchDir dir;
  // The temporary's name must stay within NAME_MAX even when the final name nearly fills it.
  const std::string longName(250, 'n');
  writeFileAtomically(dir.file(longName), bytesOf("long"));
  EXPECT_EQ(readFile(dir.file(longName)), bytesOf("long"));
  EXPECT_EQ(dir.entries(), std::vector<std::string>{longName});
}

TEST(AtomicFile, MissingDirectoryIsNotCreated) {
  ScratchDir dir;
  const std::string path = dir.file("missing/a.jpg");
  EXPECT_EQ(writeError(path, bytesOf("x")).code().value(), ENOENT);
  EXPECT_TRUE(dir.entries().empty());
}

TEST(AtomicFile, PathThroughARegularFileFails) {
  ScratchDir dir;
  writeFileAtomically(dir.file("plain"), bytesOf("plain"));
  const std::string path = dir.file("plain/a.jpg");
  std::system_error error = writeError(path, bytesOf("x"));
  EXPECT_EQ(error.code().value(), ENOTDIR);
  EXPECT_EQ(std::string(error.what()), "write " + path + ": Not a directory");
  EXPECT_EQ(readFile(dir.file("plain")), bytesOf("plain"));
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"plain"});
}

TEST(AtomicFile, DirectoryAtThePathStaysAndTheTemporaryGoes) {
  ScratchDir dir;
  fs::create_directory(dir.file("a.jpg"));
  writeFileAtomically(dir.file("a.jpg/inside"), bytesOf("inside"));
  EXPECT_EQ(writeError(dir.file("a.jpg"), bytesOf("x")).code().value(), EISDIR);
  EXPECT_TRUE(fs::is_directory(dir.file("a.jpg")));
  EXPECT_EQ(readFile(dir.file("a.jpg/inside")), bytesOf("inside"));
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"a.jpg"});
}

TEST(AtomicFile, PathWithNulTouchesNothing) {
  ScratchDir dir;
  writeFileAtomically(dir.file("name"), bytesOf("old"));
  const std::string path = dir.file("name") + std::string(1, '\0') + ".jpg";
  // The NUL is spelled out, or the C string what() would end before the reason.
  const std::system_error error = writeError(path, bytesOf("new"), dir.file("name") + "\\0.jpg");
  EXPECT_EQ(error.code().value(), EINVAL);
  EXPECT_EQ(std::string(error.what()), "write " + dir.file("name") + "\\0.jpg: Invalid argument");
  EXPECT_EQ(readFile(dir.file("name")), bytesOf("old"));
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"name"});
}

// A full disk, imitated with RLIMIT_FSIZE in a child process so that the test program keeps
// its own limits. The child reports through its exit code.
TEST(AtomicFile, FileTooLargeKeepsTheOldFileAndLeavesNoTemporary) {
  ScratchDir dir;
  const std::string path = dir.file("a.jpg");
  writeFileAtomically(path, bytesOf("old contents"));

  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{64 * 1024, 64 * 1024};
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(20);
    int status = 21;
    try {
      writeFileAtomically(path, std::vector<uint8_t>(1 << 20, 1));
    } catch (const std::system_error& e) {
      status = e.code().value() != EFBIG                                       ? 22
               : std::string(e.what()) != "write " + path + ": File too large" ? 23
                                                                               : 0;
    } catch (...) {
      status = 24;
    }
    ::_exit(status);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "20 setrlimit, 21 no error, 22 not EFBIG, 23 text";
  EXPECT_EQ(readFile(path), bytesOf("old contents"));
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"a.jpg"});
}

// Version |k| of a 2 MiB file: every 8-byte word holds k and its own index.
std::vector<uint8_t> version(uint64_t k) {
  constexpr size_t kWords = (2u << 20) / 8;
  std::vector<uint8_t> bytes(kWords * 8);
  for (size_t i = 0; i < kWords; ++i) {
    const uint64_t word = (k << 32) | i;
    std::memcpy(bytes.data() + i * 8, &word, 8);
  }
  return bytes;
}

// A writer killed at random moments: the path holds nothing yet, or one whole version.
// Temporary files may stay behind (no code runs after SIGKILL); the final name never shows
// a partial file.
TEST(AtomicFile, KilledWriterNeverLeavesAPartialFile) {
  ScratchDir dir;
  const std::string path = dir.file("out.bin");
  std::random_device seedSource;
  const unsigned seed = seedSource();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> delayMs(1, 60);

  for (int round = 0; round < 5; ++round) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      try {
        for (uint64_t k = 1;; ++k) writeFileAtomically(path, version(round * 1000 + k));
      } catch (...) {
        ::_exit(3);
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs(random)));
    ASSERT_EQ(::kill(child, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "writer stopped by itself, status " << status;

    const auto contents = readFile(path);
    if (!contents) continue;  // killed before the first rename
    ASSERT_EQ(contents->size(), 2u << 20) << "round " << round;
    uint64_t first = 0;
    std::memcpy(&first, contents->data(), 8);
    EXPECT_TRUE(*contents == version(first >> 32)) << "round " << round;
  }
}

}  // namespace
}  // namespace velmo::platform
