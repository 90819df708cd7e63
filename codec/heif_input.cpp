#include "codec/internal/heif_input.h"

#include "platform/bitmap.h"
#include "platform/checked.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <span>
#include <string_view>
#include <utility>

#include "codec/internal/probe_reader.h"

namespace velmo::codec {
namespace {

// The item property boxes are small; a 'meta' box beyond this is not read for them.
constexpr uint64_t kMaxMetaBytes = uint64_t{16} << 20;

// Calls |visit|(type, payload) for each box laid end to end in |bytes|, in order; false when
// a box overruns them.
template <typename Visit>
bool forEachBox(std::span<const uint8_t> bytes, Visit&& visit) {
  size_t at = 0;
  while (bytes.size() - at >= 8) {
    uint64_t size = probe::loadBe32(bytes.data() + at);
    size_t header = 8;
    if (size == 1) {
      if (bytes.size() - at < 16) return false;
      size = uint64_t{probe::loadBe32(bytes.data() + at + 8)} << 32 |
             probe::loadBe32(bytes.data() + at + 12);
      header = 16;
    } else if (size == 0) {
      size = bytes.size() - at;
    }
    if (size < header || size > bytes.size() - at) return false;
    visit(std::string_view(reinterpret_cast<const char*>(bytes.data() + at + 4), 4),
          bytes.subspan(at + header, static_cast<size_t>(size) - header));
    at += static_cast<size_t>(size);
  }
  return true;
}

// The payload of the file's top-level 'meta' box, empty when there is none within reach.
std::vector<uint8_t> metaBox(const platform::InputFile& file) {
  uint64_t at = 0;
  uint8_t head[16];
  while (file.readAt(at, {head, 16}) >= 8) {
    uint64_t size = probe::loadBe32(head);
    uint64_t header = 8;
    if (size == 1) {
      size = uint64_t{probe::loadBe32(head + 8)} << 32 | probe::loadBe32(head + 12);
      header = 16;
    } else if (size == 0) {
      size = file.size() - at;
    }
    if (size < header || size > file.size() - at) break;
    if (std::memcmp(head + 4, "meta", 4) == 0) {
      if (size - header > kMaxMetaBytes) break;
      std::vector<uint8_t> meta(static_cast<size_t>(size - header));
      if (file.readAt(at + header, meta) != meta.size()) break;
      return meta;
    }
    at += size;
  }
  return {};
}

// Where the pixels of the picture made so far lie in the stored grid: stored = m * p + t for
// a pixel p of the picture, m a turn or mirror of the axes.
struct GridMap {
  std::array<int64_t, 4> m = {1, 0, 0, 1};  // row-major 2 x 2
  std::array<int64_t, 2> t = {0, 0};
  int64_t width, height;  // the picture's size

  // The picture becomes p' with p = r * p' + (dx, dy).
  void then(std::array<int64_t, 4> r, int64_t dx, int64_t dy) {
    t = {t[0] + m[0] * dx + m[1] * dy, t[1] + m[2] * dx + m[3] * dy};
    m = {m[0] * r[0] + m[1] * r[2], m[0] * r[1] + m[1] * r[3], m[2] * r[0] + m[3] * r[2],
         m[2] * r[1] + m[3] * r[3]};
  }
  std::array<int64_t, 2> stored(int64_t x, int64_t y) const {
    return {m[0] * x + m[1] * y + t[0], m[2] * x + m[3] * y + t[1]};
  }
};

// A ratio of the 'clap' box, the denominator made positive; nullopt when it is 0 or the
// terms are too large for the arithmetic below to stay exact.
struct Ratio {
  int64_t n, d;
};
std::optional<Ratio> ratio(const uint8_t* p, bool isSigned) {
  const uint32_t rawN = probe::loadBe32(p);
  const uint32_t rawD = probe::loadBe32(p + 4);
  int64_t n = isSigned ? int64_t{static_cast<int32_t>(rawN)} : int64_t{rawN};
  int64_t d = static_cast<int32_t>(rawD);
  if (d == 0 || std::llabs(d) > (1 << 16)) return std::nullopt;
  if (d < 0) {
    n = -n;
    d = -d;
  }
  return Ratio{n, d};
}

// libheif's roundings of a ratio: toward zero, and half up then toward zero.
int64_t roundDown(int64_t n, int64_t d) {
  return n / d;
}
int64_t roundHalf(int64_t n, int64_t d) {
  return (n + d / 2) / d;
}

// Crops |grid| to the clean aperture in |clap| (the box's payload), as libheif does: the
// centre offsets are from the picture's centre, the left edge is rounded down, the top one
// and the far edges to nearest, and the edges are clamped to the picture. False when the box
// is short or the aperture is empty.
bool cropToAperture(GridMap& grid, std::span<const uint8_t> clap) {
  if (clap.size() < 32) return false;
  const auto width = ratio(clap.data(), false);
  const auto height = ratio(clap.data() + 8, false);
  const auto horizontal = ratio(clap.data() + 16, true);
  const auto vertical = ratio(clap.data() + 24, true);
  if (!width || !height || !horizontal || !vertical) return false;
  // left = offset + (picture - 1) / 2 - (aperture - 1) / 2, over the common denominator.
  const auto near = [](Ratio offset, Ratio aperture, int64_t picture) {
    return std::array<int64_t, 2>{2 * offset.n * aperture.d +
                                      (picture - 1) * offset.d * aperture.d -
                                      (aperture.n - aperture.d) * offset.d,
                                  2 * offset.d * aperture.d};
  };
  const auto [leftN, leftD] = near(*horizontal, *width, grid.width);
  const auto [topN, topD] = near(*vertical, *height, grid.height);
  const int64_t left = std::max<int64_t>(roundDown(leftN, leftD), 0);
  const int64_t top = std::max<int64_t>(roundHalf(topN, topD), 0);
  const int64_t right =
      std::min(roundHalf(width->n - width->d + roundDown(leftN, leftD) * width->d, width->d),
               grid.width - 1);
  const int64_t bottom =
      std::min(roundHalf(height->n - height->d + roundHalf(topN, topD) * height->d, height->d),
               grid.height - 1);
  if (left > right || top > bottom) return false;
  grid.then({1, 0, 0, 1}, left, top);
  grid.width = right - left + 1;
  grid.height = bottom - top + 1;
  return true;
}

// The primary item's transformative properties, in the order 'ipma' lists them (the order
// they apply in), carried through |grid|. False when a box cannot be read.
bool applyProperties(std::span<const uint8_t> meta, GridMap& grid) {
  if (meta.size() < 4) return false;
  std::optional<uint32_t> primary;
  std::vector<std::pair<std::string_view, std::span<const uint8_t>>> properties;
  std::vector<std::pair<uint32_t, uint32_t>> associations;  // item ID, property index
  bool intact = true;
  const auto readAssociations = [&](std::span<const uint8_t> box) {
    // Version, flags, an entry count, then per item: its ID, a count and the indices.
    if (box.size() < 8) return;
    const bool wideId = box[0] >= 1;
    const bool wideIndex = (box[3] & 1) != 0;
    size_t at = 8;
    for (uint32_t entry = probe::loadBe32(box.data() + 4); entry > 0; --entry) {
      if (box.size() - at < (wideId ? 5u : 3u)) break;
      const uint32_t id =
          wideId ? probe::loadBe32(box.data() + at) : probe::loadBe16(box.data() + at);
      at += wideId ? 4 : 2;
      const uint8_t count = box[at++];
      for (uint8_t i = 0; i < count && box.size() - at >= (wideIndex ? 2u : 1u); ++i) {
        associations.emplace_back(
            id, wideIndex ? probe::loadBe16(box.data() + at) & 0x7FFFu : box[at] & 0x7Fu);
        at += wideIndex ? 2 : 1;
      }
    }
  };
  intact = forEachBox(meta.subspan(4),
                      [&](std::string_view type, auto payload) {
                        if (type == "pitm" && payload.size() >= 6) {
                          if (payload[0] == 0) {
                            primary = probe::loadBe16(payload.data() + 4);
                          } else if (payload.size() >= 8) {
                            primary = probe::loadBe32(payload.data() + 4);
                          }
                        } else if (type == "iprp") {
                          intact =
                              forEachBox(payload,
                                         [&](std::string_view inner, auto box) {
                                           if (inner == "ipco") {
                                             intact =
                                                 forEachBox(
                                                     box,
                                                     [&](std::string_view property, auto content) {
                                                       properties.emplace_back(property, content);
                                                     }) &&
                                                 intact;
                                           } else if (inner == "ipma") {
                                             readAssociations(box);
                                           }
                                         }) &&
                              intact;
                        }
                      }) &&
           intact;
  if (!intact || !primary) return false;
  for (const auto& [id, index] : associations) {
    if (id != *primary || index == 0 || index > properties.size()) continue;
    const auto& [type, payload] = properties[index - 1];
    if (type == "clap") {
      if (!cropToAperture(grid, payload)) return false;
    } else if (type == "irot" && !payload.empty()) {
      // Each quarter turn anticlockwise takes pixel (x, y) to (y, width - 1 - x).
      for (int turn = 0; turn < (payload[0] & 3); ++turn) {
        grid.then({0, -1, 1, 0}, grid.width - 1, 0);
        std::swap(grid.width, grid.height);
      }
    } else if (type == "imir" && !payload.empty()) {
      // Axis 0 is vertical: left and right change places; axis 1: top and bottom.
      if ((payload[0] & 1) == 0) {
        grid.then({-1, 0, 0, 1}, grid.width - 1, 0);
      } else {
        grid.then({1, 0, 0, -1}, 0, grid.height - 1);
      }
    }
  }
  return true;
}

}  // namespace

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

Result<std::unique_ptr<HeifFile>> HeifFile::open(const platform::InputFile& file, int maxItemSide) {
  // The decoder plug-ins are registered once for the process and kept: decodes may run until
  // the process ends.
  if (!heifLibraryLoaded()) return unreadable("libheif cannot be loaded");
  static std::once_flag initialised;
  std::call_once(initialised, [] { heif_init(nullptr); });
  static const heif_reader reader{1, &HeifFile::position, &HeifFile::read, &HeifFile::seek,
                                  &HeifFile::waitForSize};

  std::unique_ptr<HeifFile> heif(new HeifFile(file));
  heif->context_.reset(heif_context_alloc());
  if (!heif->context_) return outOfMemory();
  heif_context_set_maximum_image_size_limit(heif->context_.get(), maxItemSide);
  if (const heif_error error =
          heif_context_read_from_reader(heif->context_.get(), &reader, heif.get(), nullptr);
      !heifOk(error)) {
    return heifFailure(error);
  }
  return heif;
}

HeifImageHandle HeifFile::primaryImage() const {
  heif_image_handle* raw = nullptr;
  const bool found = heifOk(heif_context_get_primary_image_handle(context_.get(), &raw));
  HeifImageHandle handle(raw);  // owned whether or not an error came with it
  if (!found) return nullptr;
  return handle;
}

platform::PixelRect heifStoredCleanAperture(const platform::InputFile& file,
                                            platform::PixelSize stored) {
  const platform::PixelRect whole{0, 0, stored.width, stored.height};
  GridMap grid;
  grid.width = stored.width;
  grid.height = stored.height;
  if (!applyProperties(metaBox(file), grid)) return whole;
  const auto a = grid.stored(0, 0);
  const auto b = grid.stored(grid.width - 1, grid.height - 1);
  const int64_t left = std::min(a[0], b[0]);
  const int64_t top = std::min(a[1], b[1]);
  const int64_t right = std::max(a[0], b[0]);
  const int64_t bottom = std::max(a[1], b[1]);
  if (left < 0 || top < 0 || right >= int64_t{stored.width} || bottom >= int64_t{stored.height}) {
    return whole;
  }
  return {static_cast<uint32_t>(left), static_cast<uint32_t>(top),
          static_cast<uint32_t>(right - left + 1), static_cast<uint32_t>(bottom - top + 1)};
}

Failure heifOverLimits(const heif_image_handle* handle) {
  int width = heif_image_handle_get_ispe_width(handle);
  int height = heif_image_handle_get_ispe_height(handle);
  if (heifSizeWithinLimits(width, height)) {
    // The stored grid fits: the displayed size is the one over.
    width = heif_image_handle_get_width(handle);
    height = heif_image_handle_get_height(handle);
  }
  if (width <= 0 || height <= 0) return unreadable("the image has no size");
  return overLimits(static_cast<uint64_t>(width), static_cast<uint64_t>(height));
}

bool heifSizeWithinLimits(int width, int height) {
  return width > 0 && height > 0 &&
         platform::frameWithinLimits(static_cast<uint64_t>(width), static_cast<uint64_t>(height));
}

Result<HeifPixels> HeifPixels::decode(const heif_image_handle* handle, bool applyTransformations) {
  HeifPixels pixels;
  pixels.hasAlpha_ = heif_image_handle_has_alpha_channel(handle) != 0;
  pixels.premultiplied_ = heif_image_handle_is_premultiplied_alpha(handle) != 0;
  const HeifDecodingOptions options(heif_decoding_options_alloc());
  if (!options) return outOfMemory();
  options->ignore_transformations = applyTransformations ? 0 : 1;
  options->convert_hdr_to_8bit = 1;
  // Missing tiles or other damage fail the decode instead of leaving grey areas.
  options->strict_decoding = 1;
  heif_image* raw = nullptr;
  const heif_error error = heif_decode_image(
      handle, &raw, heif_colorspace_RGB,
      pixels.hasAlpha_ ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB, options.get());
  // Owned whether or not an error came with it.
  pixels.image_.reset(raw);
  if (!heifOk(error)) return heifFailure(error);
  if (raw == nullptr) return unreadable("libheif gave no image");
  const int width = heif_image_get_width(raw, heif_channel_interleaved);
  const int height = heif_image_get_height(raw, heif_channel_interleaved);
  int stride = 0;
  pixels.plane_ = heif_image_get_plane_readonly(raw, heif_channel_interleaved, &stride);
  const size_t channels = pixels.hasAlpha_ ? 4 : 3;
  if (pixels.plane_ == nullptr || !heifSizeWithinLimits(width, height) || stride < 0 ||
      heif_image_get_bits_per_pixel_range(raw, heif_channel_interleaved) != 8 ||
      static_cast<size_t>(stride) < platform::checkedMul(static_cast<size_t>(width), channels)) {
    return unreadable("libheif gave pixels that are not 8-bit RGB within the limits");
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
      out[i] = platform::premultiply(s[0], s[1], s[2], a);
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
    const bool read = heifOk(heif_image_handle_get_nclx_color_profile(handle, &raw));
    // libheif may hand over a profile even when it reports an error: it is owned either way.
    const HeifNclxProfile nclx(raw);
    color.displayP3 = read && nclx && nclx->color_primaries == heif_color_primaries_SMPTE_EG_432_1;
  }
  return color;
}

}  // namespace velmo::codec
