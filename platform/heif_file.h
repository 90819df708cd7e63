// A HEIF, HEIC or AVIF file opened with libheif, read lazily through bounded reads of an
// already opened (and checked) regular file.
#pragma once

#include <libheif/heif.h>

#include <memory>
#include <vector>

#include "platform/input_file.h"
#include "platform/library_owners.h"

namespace velmo::platform {

class HeifFile {
 public:
  // nullptr when libheif cannot parse the file. libheif refuses, while parsing, any item
  // (image, grid tile, alpha plane, thumbnail) with a side above |maxItemSide|. |file| must
  // outlive the result: libheif reads image data when it decodes.
  static std::unique_ptr<HeifFile> open(const InputFile& file, int maxItemSide);

  heif_context* context() const { return context_.get(); }
  // The primary image, or nullptr.
  HeifImageHandle primaryImage() const;

  HeifFile(const HeifFile&) = delete;
  HeifFile& operator=(const HeifFile&) = delete;

 private:
  explicit HeifFile(const InputFile& file) : file_(&file) {}

  static int64_t position(void* self);
  static int read(void* data, size_t size, void* self);
  static int seek(int64_t position, void* self);
  static heif_reader_grow_status waitForSize(int64_t size, void* self);

  static constexpr size_t kBufferBytes = 64 * 1024;

  const InputFile* file_;
  int64_t position_ = 0;
  std::vector<uint8_t> buffer_;
  uint64_t bufferStart_ = 0;
  size_t bufferSize_ = 0;
  HeifContext context_;
};

// libheif's own default side limit for items decoded along with a primary image.
inline constexpr int kMaxHeifItemSide = 32768;

inline bool heifOk(const heif_error& error) {
  return error.code == heif_error_Ok;
}

}  // namespace velmo::platform
