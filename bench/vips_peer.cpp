#include "bench/vips_peer.h"

#include <vips/vips.h>

#include <memory>

namespace velmo::bench::vips {
namespace {

struct Unref {
  void operator()(VipsImage* image) const { g_object_unref(image); }
};
using Image = std::unique_ptr<VipsImage, Unref>;

struct GFree {
  void operator()(void* p) const { g_free(p); }
};

[[noreturn]] void vipsFailed(const std::string& what) {
  die(what + ": " + vips_error_buffer());
}

Image open(const std::string& path, VipsAccess access) {
  Image image(vips_image_new_from_file(path.c_str(), "access", access, nullptr));
  if (!image) vipsFailed("vips open " + path);
  return image;
}

Size sizeOf(const VipsImage* image) {
  return {vips_image_get_width(image), vips_image_get_height(image)};
}

}  // namespace

void init(const char* argv0) {
  if (VIPS_INIT(argv0) != 0) vipsFailed("vips_init");
  // The bench measures one operation at a time; vips' operation cache would answer repeats
  // from memory.
  vips_cache_set_max(0);
}

Size header(const std::string& path) {
  Image image = open(path, VIPS_ACCESS_RANDOM);
  return sizeOf(image.get());
}

Size thumbnailToMemory(const std::string& path, int width) {
  VipsImage* raw = nullptr;
  if (vips_thumbnail(path.c_str(), &raw, width, nullptr) != 0) vipsFailed("vips_thumbnail");
  Image thumbnail(raw);
  size_t bytes = 0;
  std::unique_ptr<void, GFree> pixels(vips_image_write_to_memory(thumbnail.get(), &bytes));
  if (!pixels) vipsFailed("vips_image_write_to_memory");
  return sizeOf(thumbnail.get());
}

Size thumbnailToJpeg(const std::string& path, int width, int quality, const std::string& out) {
  VipsImage* raw = nullptr;
  if (vips_thumbnail(path.c_str(), &raw, width, nullptr) != 0) vipsFailed("vips_thumbnail");
  Image thumbnail(raw);
  if (vips_jpegsave(thumbnail.get(), out.c_str(), "Q", quality, nullptr) != 0) {
    vipsFailed("vips_jpegsave");
  }
  return sizeOf(thumbnail.get());
}

std::vector<uint8_t> pngSaveBuffer(const Pixels& image) {
  Image wrapped(vips_image_new_from_memory(
      image.data.data(), image.data.size(), static_cast<int>(image.width),
      static_cast<int>(image.height), static_cast<int>(image.channels), VIPS_FORMAT_UCHAR));
  if (!wrapped) vipsFailed("vips_image_new_from_memory");
  void* buffer = nullptr;
  size_t length = 0;
  if (vips_pngsave_buffer(wrapped.get(), &buffer, &length, nullptr) != 0) {
    vipsFailed("vips_pngsave_buffer");
  }
  std::unique_ptr<void, GFree> owned(buffer);
  const auto* bytes = static_cast<const uint8_t*>(buffer);
  return std::vector<uint8_t>(bytes, bytes + length);
}

Size tile(const std::string& path, int x, int y, int width, int height, int sample, bool sequential,
          const std::string& out) {
  Image source = open(path, sequential ? VIPS_ACCESS_SEQUENTIAL : VIPS_ACCESS_RANDOM);
  VipsImage* raw = nullptr;
  if (vips_extract_area(source.get(), &raw, x, y, width, height, nullptr) != 0) {
    vipsFailed("vips_extract_area");
  }
  Image window(raw);
  if (sample > 1) {
    raw = nullptr;
    if (vips_resize(window.get(), &raw, 1.0 / sample, nullptr) != 0) vipsFailed("vips_resize");
    window.reset(raw);
  }
  if (vips_pngsave(window.get(), out.c_str(), nullptr) != 0) vipsFailed("vips_pngsave");
  return sizeOf(window.get());
}

}  // namespace velmo::bench::vips
