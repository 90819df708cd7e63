#include "platform/heif_file.h"

#include <cstring>
#include <mutex>

namespace velmo::platform {

int64_t HeifFile::position(void* self) {
  return static_cast<HeifFile*>(self)->position_;
}

int HeifFile::read(void* data, size_t size, void* self) {
  auto& heif = *static_cast<HeifFile*>(self);
  const auto offset = static_cast<uint64_t>(heif.position_);
  const uint64_t fileSize = heif.file_->size();
  if (size > fileSize || offset > fileSize - size) return 1;
  if (size == 0) return 0;  // libheif asks for nothing now and then, with no buffer
  auto* out = static_cast<uint8_t*>(data);
  // libheif parses boxes with reads of a few bytes each: serve them from a buffer filled by
  // large reads. Large reads (image data) go straight to the file.
  if (size > kBufferBytes / 2) {
    if (heif.file_->readAt(offset, {out, size}) != size) return 1;
  } else {
    if (offset < heif.bufferStart_ || offset + size > heif.bufferStart_ + heif.bufferSize_) {
      if (heif.buffer_.empty()) heif.buffer_.resize(kBufferBytes);
      heif.bufferStart_ = offset;
      heif.bufferSize_ = heif.file_->readAt(offset, heif.buffer_);
      if (heif.bufferSize_ < size) return 1;
    }
    std::memcpy(out, heif.buffer_.data() + (offset - heif.bufferStart_), size);
  }
  heif.position_ += static_cast<int64_t>(size);
  return 0;
}

int HeifFile::seek(int64_t position, void* self) {
  auto& heif = *static_cast<HeifFile*>(self);
  if (position < 0 || static_cast<uint64_t>(position) > heif.file_->size()) return 1;
  heif.position_ = position;
  return 0;
}

heif_reader_grow_status HeifFile::waitForSize(int64_t size, void* self) {
  const auto& heif = *static_cast<HeifFile*>(self);
  return size >= 0 && static_cast<uint64_t>(size) <= heif.file_->size()
             ? heif_reader_grow_status_size_reached
             : heif_reader_grow_status_size_beyond_eof;
}

std::unique_ptr<HeifFile> HeifFile::open(const InputFile& file, int maxItemSide) {
  // The decoder plug-ins are registered once for the process and kept: decodes may run until
  // the process ends.
  static std::once_flag initialised;
  std::call_once(initialised, [] { heif_init(nullptr); });
  static const heif_reader reader{1, &HeifFile::position, &HeifFile::read, &HeifFile::seek,
                                  &HeifFile::waitForSize};

  std::unique_ptr<HeifFile> heif(new HeifFile(file));
  heif->context_.reset(heif_context_alloc());
  if (!heif->context_) return nullptr;
  heif_context_set_maximum_image_size_limit(heif->context_.get(), maxItemSide);
  if (!heifOk(heif_context_read_from_reader(heif->context_.get(), &reader, heif.get(), nullptr))) {
    return nullptr;
  }
  return heif;
}

HeifImageHandle HeifFile::primaryImage() const {
  heif_image_handle* handle = nullptr;
  if (!heifOk(heif_context_get_primary_image_handle(context_.get(), &handle))) return nullptr;
  return HeifImageHandle(handle);
}

}  // namespace velmo::platform
