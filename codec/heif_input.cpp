#include "codec/internal/heif_input.h"

#include "platform/bitmap.h"
#include "platform/checked.h"

#include <algorithm>
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
  if (!heifLibraryLoaded()) return nullptr;
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

bool heifSizeWithinLimits(int width, int height) {
  return width > 0 && height > 0 &&
         frameWithinLimits(static_cast<uint64_t>(width), static_cast<uint64_t>(height));
}

std::optional<HeifPixels> HeifPixels::decode(const heif_image_handle* handle,
                                             bool applyTransformations) {
  HeifPixels pixels;
  pixels.hasAlpha_ = heif_image_handle_has_alpha_channel(handle) != 0;
  pixels.premultiplied_ = heif_image_handle_is_premultiplied_alpha(handle) != 0;
  const HeifDecodingOptions options(heif_decoding_options_alloc());
  if (!options) return std::nullopt;
  options->ignore_transformations = applyTransformations ? 0 : 1;
  options->convert_hdr_to_8bit = 1;
  // Missing tiles or other damage fail the decode instead of leaving grey areas.
  options->strict_decoding = 1;
  heif_image* raw = nullptr;
  if (!heifOk(heif_decode_image(
          handle, &raw, heif_colorspace_RGB,
          pixels.hasAlpha_ ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB,
          options.get()))) {
    return std::nullopt;
  }
  pixels.image_.reset(raw);
  const int width = heif_image_get_width(raw, heif_channel_interleaved);
  const int height = heif_image_get_height(raw, heif_channel_interleaved);
  int stride = 0;
  pixels.plane_ = heif_image_get_plane_readonly(raw, heif_channel_interleaved, &stride);
  const size_t channels = pixels.hasAlpha_ ? 4 : 3;
  if (pixels.plane_ == nullptr || !heifSizeWithinLimits(width, height) || stride < 0 ||
      heif_image_get_bits_per_pixel_range(raw, heif_channel_interleaved) != 8 ||
      static_cast<size_t>(stride) < checkedMul(static_cast<size_t>(width), channels)) {
    return std::nullopt;
  }
  pixels.width_ = static_cast<uint32_t>(width);
  pixels.height_ = static_cast<uint32_t>(height);
  pixels.stride_ = static_cast<size_t>(stride);
  return pixels;
}

void HeifPixels::pixelRow(uint32_t y, uint32_t x, uint32_t count, uint32_t* out) const {
  const size_t channels = hasAlpha_ ? 4 : 3;
  const uint8_t* s = at(y, x);
  for (uint32_t i = 0; i < count; ++i, s += channels) {
    const uint32_t a = hasAlpha_ ? s[3] : 255;
    if (premultiplied_) {
      auto c = [a](uint8_t v) { return std::min<uint32_t>(v, a); };
      out[i] = (a << 24) | (c(s[0]) << 16) | (c(s[1]) << 8) | c(s[2]);
    } else {
      out[i] = premultiply(s[0], s[1], s[2], a);
    }
  }
}

HeifColor heifColor(const heif_image_handle* handle) {
  HeifColor color;
  const heif_color_profile_type type = heif_image_handle_get_color_profile_type(handle);
  if (type == heif_color_profile_type_prof || type == heif_color_profile_type_rICC) {
    color.icc.resize(heif_image_handle_get_raw_color_profile_size(handle));
    if (color.icc.empty() ||
        !heifOk(heif_image_handle_get_raw_color_profile(handle, color.icc.data()))) {
      color.icc.clear();
    }
  } else if (type == heif_color_profile_type_nclx) {
    heif_color_profile_nclx* raw = nullptr;
    if (heifOk(heif_image_handle_get_nclx_color_profile(handle, &raw))) {
      const HeifNclxProfile nclx(raw);
      color.displayP3 = nclx && nclx->color_primaries == heif_color_primaries_SMPTE_EG_432_1;
    }
  }
  return color;
}

}  // namespace velmo::platform
