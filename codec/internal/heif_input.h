// A HEIF, HEIC or AVIF file opened with libheif, read lazily through bounded reads of an
// already opened (and checked) regular file.
#pragma once

#include <libheif/heif.h>

#include <memory>
#include <optional>
#include <vector>

#include "codec/internal/library_owners.h"
#include "codec/result.h"
#include "platform/input_file.h"
#include "platform/pixel_geometry.h"

namespace velmo::codec {

class HeifFile {
 public:
  // A Failure (libheif's words) when libheif cannot be loaded or cannot parse the file. libheif
  // refuses, while parsing, any item (image, grid tile, alpha plane, thumbnail) with a side above
  // |maxItemSide|. |file| must outlive the result: libheif reads image data when it decodes.
  static Result<std::unique_ptr<HeifFile>> open(const platform::InputFile& file, int maxItemSide);

  heif_context* context() const { return context_.get(); }
  // The primary image, or nullptr.
  HeifImageHandle primaryImage() const;

  HeifFile(const HeifFile&) = delete;
  HeifFile& operator=(const HeifFile&) = delete;

 private:
  explicit HeifFile(const platform::InputFile& file) : file_(&file) {}

  static int64_t position(void* self);
  static int read(void* data, size_t size, void* self);
  static int seek(int64_t position, void* self);
  static heif_reader_grow_status waitForSize(int64_t size, void* self);

  static constexpr size_t kBufferBytes = 64 * 1024;

  const platform::InputFile* file_;
  int64_t position_ = 0;
  std::vector<uint8_t> buffer_;
  uint64_t bufferStart_ = 0;
  size_t bufferSize_ = 0;
  HeifContext context_;
};

// An image decoded to 8-bit interleaved RGB, or RGBA when it has alpha.
class HeifPixels {
 public:
  // A Failure on any libheif error (damage included: decoding is strict; libheif's words for
  // it), a plane that is not 8-bit, or a size over the frame limits. |applyTransformations|: irot,
  // imir and clap applied (the displayed picture), else the stored grid.
  static Result<HeifPixels> decode(const heif_image_handle* handle, bool applyTransformations);

  uint32_t width() const { return width_; }
  uint32_t height() const { return height_; }
  bool hasAlpha() const { return hasAlpha_; }
  bool premultiplied() const { return premultiplied_; }
  // The samples of pixel (x, y): R, G, B and, with alpha, A.
  const uint8_t* at(uint32_t y, uint32_t x) const {
    return plane_ + size_t{y} * stride_ + size_t{x} * (hasAlpha_ ? 4 : 3);
  }
  // |count| pixels of row |y| from column |x|, in the Bitmap layout.
  void pixelRow(uint32_t y, uint32_t x, uint32_t count, uint32_t* out) const;

 private:
  HeifImage image_;
  const uint8_t* plane_ = nullptr;
  size_t stride_ = 0;
  uint32_t width_ = 0;
  uint32_t height_ = 0;
  bool hasAlpha_ = false;
  bool premultiplied_ = false;
};

// An image's colour description: its ICC profile (empty when it has none), or whether an
// nclx description names the Display P3 primaries, which is what phones write. BT.709 and
// unspecified primaries are sRGB's own.
struct HeifColor {
  std::vector<uint8_t> icc;
  bool displayP3 = false;
};
HeifColor heifColor(const heif_image_handle* handle);

// The primary image's clean aperture ('clap') as a rectangle of its stored grid of |stored|
// pixels (the decode with every transformation ignored), rounded and clamped as libheif
// crops. A clean aperture listed after a turn or mirror is carried back through them. The
// whole grid when there is none, or when the item properties cannot be read.
platform::PixelRect heifStoredCleanAperture(const platform::InputFile& file,
                                            platform::PixelSize stored);

// Whether a libheif size is positive and within the frame limits.
bool heifSizeWithinLimits(int width, int height);
// The failure of an image whose stored grid or displayed size is not within those limits.
Failure heifOverLimits(const heif_image_handle* handle);

inline constexpr const char* kNoPrimaryImage = "the file has no primary image";

// Opens libheif on the first call (see heif_library.cpp); false when it cannot be loaded.
// Every use of libheif starts after this answered true.
bool heifLibraryLoaded();
// The address of libheif's function |name|, once heifLibraryLoaded() answered true.
void* heifSymbol(const char* name);

// libheif's own default side limit for items decoded along with a primary image.
inline constexpr int kMaxHeifItemSide = 32768;

inline bool heifOk(const heif_error& error) {
  return error.code == heif_error_Ok;
}

// A failure in libheif's words for |error|.
inline Failure heifFailure(const heif_error& error) {
  return unreadable(error.message != nullptr && error.message[0] != '\0' ? error.message
                                                                         : "libheif failed");
}

}  // namespace velmo::codec
