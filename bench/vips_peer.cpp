#include "bench/vips_peer.h"

#include <vips/vips.h>

#include <algorithm>
#include <cmath>
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

Size renderFull(const std::string& path, const std::string& out) {
  const double side = 1 - 2 * kFullInset;
  const int across = static_cast<int>(std::lround(kFullWidth / side));
  VipsImage* raw = nullptr;
  if (vips_thumbnail(path.c_str(), &raw, across, nullptr) != 0) vipsFailed("vips_thumbnail");
  Image thumbnail(raw);
  const int left = static_cast<int>(std::lround(vips_image_get_width(raw) * kFullInset));
  const int top = static_cast<int>(std::lround(vips_image_get_height(raw) * kFullInset));
  raw = nullptr;
  if (vips_extract_area(thumbnail.get(), &raw, left, top, kFullWidth, kFullHeight, nullptr) != 0)
    vipsFailed("vips_extract_area");
  Image cut(raw);
  // Drawing works in place on pixels in memory.
  Image canvas(vips_image_copy_memory(cut.get()));
  if (!canvas) vipsFailed("vips_image_copy_memory");

  double pen[3] = {(kFullPenColor >> 16) & 0xFF, (kFullPenColor >> 8) & 0xFF, kFullPenColor & 0xFF};
  const int radius = static_cast<int>(kFullPenWidth / 2);
  for (const auto& stroke : fullJobPens()) {
    for (size_t i = 0; i < stroke.size(); ++i) {
      const FractionPoint p = fullJobOnCanvas(stroke[i]);
      const int x = static_cast<int>(p.x), y = static_cast<int>(p.y);
      vips_draw_circle(canvas.get(), pen, 3, x, y, radius, "fill", TRUE, nullptr);
      if (i == 0) continue;
      const FractionPoint q = fullJobOnCanvas(stroke[i - 1]);
      const bool steep = std::abs(p.y - q.y) > std::abs(p.x - q.x);
      for (int o = -radius; o <= radius; ++o) {
        vips_draw_line(canvas.get(), pen, 3, static_cast<int>(q.x) + (steep ? o : 0),
                       static_cast<int>(q.y) + (steep ? 0 : o), x + (steep ? o : 0),
                       y + (steep ? 0 : o), nullptr);
      }
    }
  }

  // The blur brush: the box around its path, blurred, pasted where the mask says.
  const std::vector<FractionPoint> brush = fullJobBlurPath();
  const int r = static_cast<int>(kFullBlurWidth / 2);
  double x0 = kFullWidth, y0 = kFullHeight, x1 = 0, y1 = 0;
  for (const FractionPoint& f : brush) {
    const FractionPoint p = fullJobOnCanvas(f);
    x0 = std::min(x0, p.x - r), y0 = std::min(y0, p.y - r);
    x1 = std::max(x1, p.x + r), y1 = std::max(y1, p.y + r);
  }
  const int bx = std::max(0, static_cast<int>(x0)), by = std::max(0, static_cast<int>(y0));
  const int bw = std::min(kFullWidth, static_cast<int>(x1) + 1) - bx;
  const int bh = std::min(kFullHeight, static_cast<int>(y1) + 1) - by;
  raw = nullptr;
  if (vips_extract_area(canvas.get(), &raw, bx, by, bw, bh, nullptr) != 0)
    vipsFailed("vips_extract_area");
  Image region(raw);
  raw = nullptr;
  if (vips_gaussblur(region.get(), &raw, 8.0, nullptr) != 0) vipsFailed("vips_gaussblur");
  Image blurred(raw);
  raw = nullptr;
  if (vips_black(&raw, bw, bh, nullptr) != 0) vipsFailed("vips_black");
  Image black(raw);
  raw = nullptr;
  if (vips_cast_uchar(black.get(), &raw, nullptr) != 0) vipsFailed("vips_cast_uchar");
  Image mask8(raw);
  Image mask(vips_image_copy_memory(mask8.get()));
  if (!mask) vipsFailed("vips_image_copy_memory");
  double on[1] = {255};
  for (const FractionPoint& f : brush) {
    const FractionPoint p = fullJobOnCanvas(f);
    vips_draw_circle(mask.get(), on, 1, static_cast<int>(p.x) - bx, static_cast<int>(p.y) - by, r,
                     "fill", TRUE, nullptr);
  }
  raw = nullptr;
  if (vips_ifthenelse(mask.get(), blurred.get(), region.get(), &raw, nullptr) != 0)
    vipsFailed("vips_ifthenelse");
  Image mixed(raw);
  // Made whole before it is drawn back: it reads the canvas it is drawn onto.
  Image patch(vips_image_copy_memory(mixed.get()));
  if (!patch) vipsFailed("vips_image_copy_memory");
  raw = nullptr;
  if (vips_cast_uchar(patch.get(), &raw, nullptr) != 0) vipsFailed("vips_cast_uchar");
  Image patch8(raw);
  if (vips_draw_image(canvas.get(), patch8.get(), bx, by, nullptr) != 0)
    vipsFailed("vips_draw_image");

  // The signature: vips_text makes an anti-aliased mask, drawn in white near a corner.
  raw = nullptr;
  if (vips_text(&raw, kFullSignature, "font", "Noto Sans 14", "dpi", 96, nullptr) != 0)
    vipsFailed("vips_text");
  Image text(raw);
  double white[3] = {255, 255, 255};
  if (vips_draw_mask(canvas.get(), white, 3, text.get(),
                     kFullWidth - vips_image_get_width(raw) - 24,
                     kFullHeight - vips_image_get_height(raw) - 24, nullptr) != 0)
    vipsFailed("vips_draw_mask");

  if (vips_jpegsave(canvas.get(), out.c_str(), "Q", 92, nullptr) != 0) vipsFailed("vips_jpegsave");
  return sizeOf(canvas.get());
}

}  // namespace velmo::bench::vips
