#include "platform/atomic_file.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <system_error>

#include "platform/file_descriptor.h"

namespace velmo::platform {
namespace {

[[noreturn]] void throwWriteError(int error, const std::string& path) {
  // what() is read as a C string: a NUL in the path would cut the message before the reason,
  // so it is shown as the two characters "\0".
  std::string shown;
  for (char c : path) {
    if (c == '\0') {
      shown += "\\0";
    } else {
      shown += c;
    }
  }
  throw std::system_error(error, std::generic_category(), "write " + shown);
}

std::string randomHex() {
  uint64_t value = 0;
  if (::getrandom(&value, sizeof value, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof value)) {
    // No entropy yet (early boot): names only need to differ, not to be secret; O_EXCL
    // catches any collision.
    static std::atomic<uint64_t> counter{0};
    const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    value = (static_cast<uint64_t>(::getpid()) << 32) ^ static_cast<uint64_t>(now) ^
            (counter.fetch_add(1) * 0x9E3779B97F4A7C15u);
  }
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
  return text;
}

// The temporary file until it has been renamed: closed and removed if the write is
// abandoned, so a failure leaves nothing behind.
class TemporaryFile {
 public:
  TemporaryFile() = default;
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile() {
    fd_.reset();
    if (!path_.empty()) ::unlink(path_.c_str());
  }

  void adopt(std::string path, FileDescriptor fd) {
    path_ = std::move(path);
    fd_ = std::move(fd);
  }
  const std::string& path() const { return path_; }
  int fd() const { return fd_.get(); }
  int releaseFd() { return fd_.release(); }
  // After the rename the name belongs to the final file.
  void renamed() { path_.clear(); }

 private:
  std::string path_;
  FileDescriptor fd_;
};

// The longest name the temporary may keep of the final one: the rest of
// ".<name>.<16 hex digits>.tmp" takes 22 bytes, and a name may not exceed NAME_MAX.
constexpr size_t kMaxKeptName = NAME_MAX - 22;
constexpr int kCreateAttempts = 16;
// Linux writes at most this much per call anyway.
constexpr size_t kMaxWriteChunk = 0x7ffff000;

}  // namespace

void writeFileAtomically(const std::string& path, std::span<const uint8_t> data) {
  // The system would end the path at the NUL and write somewhere else.
  if (path.find('\0') != std::string::npos) throwWriteError(EINVAL, path);

  const size_t slash = path.rfind('/');
  const std::string directoryPrefix = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const std::string directory = slash == std::string::npos ? "."
                                : slash == 0               ? "/"
                                                           : path.substr(0, slash);

  // In the destination's own directory, so that the rename never crosses file systems.
  TemporaryFile temporary;
  for (int attempt = 0;; ++attempt) {
    std::string candidate =
        directoryPrefix + "." + name.substr(0, kMaxKeptName) + "." + randomHex() + ".tmp";
    // 0666: the umask decides the final mode, as for any file the process creates.
    FileDescriptor fd(::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (fd.valid()) {
      temporary.adopt(std::move(candidate), std::move(fd));
      break;
    }
    const int error = errno;
    if (error != EEXIST || attempt + 1 == kCreateAttempts) throwWriteError(error, path);
  }

  const uint8_t* next = data.data();
  size_t left = data.size();
  while (left > 0) {
    const ssize_t written = ::write(temporary.fd(), next, std::min(left, kMaxWriteChunk));
    if (written < 0) {
      const int error = errno;
      if (error == EINTR) continue;
      throwWriteError(error, path);
    }
    // A regular file never accepts nothing without an error; do not spin if one does.
    if (written == 0) throwWriteError(EIO, path);
    next += written;
    left -= static_cast<size_t>(written);
  }

  // The data must be on the disk before the name points at it, or a crash could leave an
  // empty or short file under the final name.
  if (::fsync(temporary.fd()) != 0) throwWriteError(errno, path);
  if (::close(temporary.releaseFd()) != 0) throwWriteError(errno, path);
  if (::rename(temporary.path().c_str(), path.c_str()) != 0) throwWriteError(errno, path);
  temporary.renamed();

  // Make the rename itself durable. The file is already in place: a directory this process
  // may not open for reading, or a file system that cannot sync directories, only loses
  // that guarantee; a failing disk is still reported.
  FileDescriptor directoryFd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (directoryFd.valid() && ::fsync(directoryFd.get()) != 0) {
    const int error = errno;
    if (error != EINVAL && error != EROFS && error != ENOTSUP) throwWriteError(error, path);
  }
}

}  // namespace velmo::platform
