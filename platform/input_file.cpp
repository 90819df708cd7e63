#include "platform/input_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace velmo::platform {

std::optional<InputFile> InputFile::open(const std::string& path, std::string* why) {
  const auto refuse = [why](std::string reason) -> std::optional<InputFile> {
    if (why != nullptr) *why = std::move(reason);
    return std::nullopt;
  };
  if (path.find('\0') != std::string::npos) return refuse("the path holds a NUL byte");
  // O_NONBLOCK keeps a FIFO without a writer from holding the open; it is refused below.
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!fd.valid()) return refuse(std::generic_category().message(errno));
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return refuse(std::generic_category().message(errno));
  if (S_ISDIR(st.st_mode)) return refuse("a directory, not a file");
  if (!S_ISREG(st.st_mode)) return refuse("not a regular file");
  // Regular files never block; clear the flag so reads behave normally.
  int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags >= 0) ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);
  return InputFile(path, std::move(fd), static_cast<uint64_t>(st.st_size));
}

size_t InputFile::readAt(uint64_t offset, std::span<uint8_t> out) const {
  size_t done = 0;
  while (done < out.size()) {
    ssize_t n =
        ::pread(fd_.get(), out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) readFailed_ = true;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  return done;
}

std::optional<std::vector<uint8_t>> InputFile::readAll(uint64_t maxBytes) const {
  if (size_ > maxBytes) return std::nullopt;
  std::vector<uint8_t> bytes(static_cast<size_t>(size_));
  if (readAt(0, bytes) != bytes.size()) return std::nullopt;
  return bytes;
}

bool pathExists(const std::string& path) {
  if (path.find('\0') != std::string::npos) return false;
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) return true;
  const int error = errno;
  return error != ENOENT && error != ENOTDIR && error != EACCES && error != ELOOP &&
         error != ENAMETOOLONG;
}

uint64_t fileSize(const std::string& path) {
  if (path.find('\0') != std::string::npos) {
    throw std::system_error(EINVAL, std::generic_category(), "stat " + path);
  }
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    throw std::system_error(errno, std::generic_category(), "stat " + path);
  }
  return static_cast<uint64_t>(st.st_size);
}

std::string lastPathComponent(const std::string& path) {
  auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace velmo::platform
