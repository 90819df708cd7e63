// HEIF, HEIC and AVIF through libheif: the primary image's size and alpha, the number of
// top-level images, and the EXIF orientation of the primary image.
//
// libheif applies the container's own rotation and mirroring (irot, imir) and crop (clap), and
// reports the size after them. Phones also write an EXIF orientation that repeats the same
// turn. So the displayed size is libheif's, the orientation is EXIF's, and the stored size is
// chosen so that applying the orientation to it gives the displayed size back: the displayed
// size turned a quarter when the orientation is 5 to 8. An iPhone photo taken upright thus
// reads 4032x3024 with orientation 6, displayed 3024x4032, and is never turned twice.

#include <libheif/heif.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <string_view>

#include "codec/internal/exif_orientation.h"
#include "codec/internal/heif_input.h"
#include "codec/internal/probe_reader.h"
#include "platform/orientation.h"

namespace velmo::codec::probe {

namespace {

// Image brands of HEIF and its sequences in HEVC, AV1 or any coding.
constexpr std::string_view kBrands[] = {"heic", "heix", "hevc", "hevx", "heim",
                                        "heis", "mif1", "msf1", "avif", "avis"};

// EXIF blocks larger than this are not read: real ones are a few tens of KB.
constexpr size_t kMaxExifBytes = 4 * 1024 * 1024;

bool isKnownBrand(const uint8_t* brand) {
  for (std::string_view known : kBrands) {
    if (std::memcmp(brand, known.data(), 4) == 0) return true;
  }
  return false;
}

// The orientation in the image's first Exif block. libheif hands the block over as it is
// stored: a 4-byte big-endian offset to the TIFF header (counted from after those four bytes,
// usually 6 to skip "Exif\0\0"), then the data.
std::optional<int64_t> heifExifOrientation(const heif_image_handle* handle) {
  heif_item_id id;
  if (heif_image_handle_get_list_of_metadata_block_IDs(handle, "Exif", &id, 1) != 1) {
    return std::nullopt;
  }
  const size_t size = heif_image_handle_get_metadata_size(handle, id);
  if (size < 4 || size > kMaxExifBytes) return std::nullopt;
  std::vector<uint8_t> block(size);
  if (heif_image_handle_get_metadata(handle, id, block.data()).code != heif_error_Ok) {
    return std::nullopt;
  }
  const uint32_t offset = loadBe32(block.data());
  if (offset > size - 4) return std::nullopt;
  return tiffOrientation(std::span(block).subspan(4 + offset));
}

}  // namespace

bool hasHeifFileType(std::span<const uint8_t> head) {
  // size, "ftyp", major brand, minor version, compatible brands
  if (head.size() < 16 || std::memcmp(head.data() + 4, "ftyp", 4) != 0) return false;
  const uint64_t boxSize = std::min<uint64_t>(loadBe32(head.data()), head.size());
  if (boxSize < 16) return false;
  if (isKnownBrand(head.data() + 8)) return true;
  for (uint64_t at = 16; at + 4 <= boxSize; at += 4) {
    if (isKnownBrand(head.data() + at)) return true;
  }
  return false;
}

ImageInfo probeHeif(const platform::InputFile& file) {
  ImageInfo info;
  info.format = ImageFormat::Heif;
  // Reading the header decodes nothing, so any recorded size is reported (libheif would
  // otherwise refuse to open a file whose images exceed its default limit); the decoders
  // apply their own limits.
  Result<std::unique_ptr<HeifFile>> opened = HeifFile::open(file, INT_MAX);
  if (!opened) return info;
  const std::unique_ptr<HeifFile> heif = std::move(*opened);
  const HeifImageHandle handle = heif->primaryImage();
  if (!handle) return info;

  const int width = heif_image_handle_get_width(handle.get());
  const int height = heif_image_handle_get_height(handle.get());
  const int images = heif_context_get_number_of_top_level_images(heif->context());
  if (width < 0 || height < 0 || images < 1) return info;

  info.orientation = heifExifOrientation(handle.get());
  const bool quarterTurn = info.orientation && platform::orientationSwapsAxes(*info.orientation);
  info.pixelWidth = static_cast<uint64_t>(quarterTurn ? height : width);
  info.pixelHeight = static_cast<uint64_t>(quarterTurn ? width : height);
  info.frameCount = static_cast<uint64_t>(images);
  info.hasAlpha = heif_image_handle_has_alpha_channel(handle.get()) != 0;
  return info;
}

}  // namespace velmo::codec::probe
