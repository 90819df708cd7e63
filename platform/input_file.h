// Opening image files for reading, safely.
//
// Only regular files are opened (links followed): a directory, FIFO, socket or device is
// refused at once, without blocking and without reading. A path holding a NUL byte is
// refused as well, since the system would silently cut it there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/file_descriptor.h"

namespace velmo::platform {

class InputFile {
 public:
  // nullopt when |path| holds a NUL, cannot be opened, or is not a regular file; then
  // |why|, when given, receives the reason in English (the system's own where it has one).
  static std::optional<InputFile> open(const std::string& path, std::string* why = nullptr);

  const std::string& path() const { return path_; }
  int fd() const { return fd_.get(); }
  // Size at the time of opening.
  uint64_t size() const { return size_; }

  // Reads up to |out.size()| bytes at |offset|; returns the number read (short at the end of
  // the file or on a read error).
  size_t readAt(uint64_t offset, std::span<uint8_t> out) const;
  // Whether a read has failed (an error, not the end of the file): what was read then is
  // not the file, whatever a reader made of it.
  bool readFailed() const { return readFailed_; }
  // The whole file, or nullopt when it is larger than |maxBytes| or cannot be read whole.
  std::optional<std::vector<uint8_t>> readAll(uint64_t maxBytes) const;

 private:
  InputFile(std::string path, FileDescriptor fd, uint64_t size)
      : path_(std::move(path)), fd_(std::move(fd)), size_(size) {}

  std::string path_;
  FileDescriptor fd_;
  uint64_t size_ = 0;
  mutable bool readFailed_ = false;
};

// Whether anything exists at |path| (links followed). A path holding NUL does not exist. So
// does one that cannot be reached (no such entry, a file where a folder should be, no search
// permission, a loop of links, a name too long); one that could not be looked at for another
// reason (an I/O error) counts as existing, since a caller may write where nothing exists.
bool pathExists(const std::string& path);

// Size in bytes of the file at |path| (links followed). Throws std::system_error whose
// what() reads "stat PATH: reason".
uint64_t fileSize(const std::string& path);

// The text after the last '/' of |path| (the whole path when it has none).
std::string lastPathComponent(const std::string& path);

}  // namespace velmo::platform
