// Helpers shared by the fuzz targets.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>

namespace velmo::fuzz {

// The input as a file, in an anonymous memory file, so that the disk stays out of it. The
// path is valid while the object lives.
class MemoryFile {
 public:
  explicit MemoryFile(std::span<const uint8_t> bytes)
      : fd_(memfd_create("velmo-fuzz", MFD_CLOEXEC)) {
    size_t done = 0;
    while (fd_ >= 0 && done < bytes.size()) {
      const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
  }
  ~MemoryFile() {
    if (fd_ >= 0) ::close(fd_);
  }
  MemoryFile(const MemoryFile&) = delete;
  MemoryFile& operator=(const MemoryFile&) = delete;

  bool ok() const { return fd_ >= 0; }
  std::string path() const { return "/proc/self/fd/" + std::to_string(fd_); }

 private:
  int fd_;
};

// A private scratch directory for outputs, made once per process and emptied after each input.
class ScratchDirectory {
 public:
  ScratchDirectory() {
    char pattern[] = "/tmp/velmo-fuzz-XXXXXX";
    if (mkdtemp(pattern) != nullptr) path_ = pattern;
  }
  ~ScratchDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  std::string file(const char* name) const { return (path_ / name).string(); }
  void clear() const {
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(path_, ignored)) {
      std::filesystem::remove_all(entry.path(), ignored);
    }
  }

 private:
  std::filesystem::path path_;
};

// A test image shipped with the tests, by its path under tests/data.
inline std::string testImage(const char* relative) {
  return std::string(VELMO_TEST_DATA_DIR) + "/" + relative;
}

}  // namespace velmo::fuzz
