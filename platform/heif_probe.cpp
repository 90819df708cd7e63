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

#include "platform/exif_orientation.h"
#include "platform/probe_formats.h"

namespace velmo::platform::probe {

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

// libheif's plug-in registry, set up once and kept for the life of the process.
void initialiseLibheif() {
  static const bool initialised = [] {
    heif_init(nullptr);
    return true;
  }();
  (void)initialised;
}

struct ContextFree {
  void operator()(heif_context* context) const { heif_context_free(context); }
};
struct HandleRelease {
  void operator()(const heif_image_handle* handle) const { heif_image_handle_release(handle); }
};
using Context = std::unique_ptr<heif_context, ContextFree>;
using Handle = std::unique_ptr<heif_image_handle, HandleRelease>;

// libheif reads through these callbacks, so every read is a bounded pread on the file already
// opened (and checked to be a regular file); libheif reads boxes and item data piece by piece.
struct FileStream {
  const InputFile* file;
  int64_t position = 0;

  static FileStream& of(void* userdata) { return *static_cast<FileStream*>(userdata); }

  static int64_t getPosition(void* userdata) { return of(userdata).position; }

  static int read(void* data, size_t size, void* userdata) {
    FileStream& stream = of(userdata);
    const auto offset = static_cast<uint64_t>(stream.position);
    if (size > stream.file->size() || offset > stream.file->size() - size) return 1;
    if (stream.file->readAt(offset, std::span(static_cast<uint8_t*>(data), size)) != size) {
      return 1;
    }
    stream.position += static_cast<int64_t>(size);
    return 0;
  }

  static int seek(int64_t position, void* userdata) {
    FileStream& stream = of(userdata);
    if (position < 0 || static_cast<uint64_t>(position) > stream.file->size()) return 1;
    stream.position = position;
    return 0;
  }

  static heif_reader_grow_status waitForFileSize(int64_t target, void* userdata) {
    const FileStream& stream = of(userdata);
    return target >= 0 && static_cast<uint64_t>(target) <= stream.file->size()
               ? heif_reader_grow_status_size_reached
               : heif_reader_grow_status_size_beyond_eof;
  }
};

const heif_reader kFileReader = {
    1, &FileStream::getPosition, &FileStream::read, &FileStream::seek, &FileStream::waitForFileSize,
};

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

ImageInfo probeHeif(const InputFile& file) {
  ImageInfo info;
  info.format = ImageFormat::Heif;
  initialiseLibheif();

  Context context(heif_context_alloc());
  if (!context) return info;
  // libheif refuses to even open a file whose images exceed its default size limit. Reading
  // the header decodes nothing, so any recorded size is reported; the decoders apply their
  // own limits.
  heif_context_set_maximum_image_size_limit(context.get(), INT_MAX);
  FileStream stream{&file};
  if (heif_context_read_from_reader(context.get(), &kFileReader, &stream, nullptr).code !=
      heif_error_Ok) {
    return info;
  }
  heif_image_handle* rawHandle = nullptr;
  if (heif_context_get_primary_image_handle(context.get(), &rawHandle).code != heif_error_Ok) {
    return info;
  }
  const Handle handle(rawHandle);

  const int width = heif_image_handle_get_width(handle.get());
  const int height = heif_image_handle_get_height(handle.get());
  const int images = heif_context_get_number_of_top_level_images(context.get());
  if (width < 0 || height < 0 || images < 1) return info;

  info.orientation = heifExifOrientation(handle.get());
  const bool quarterTurn = info.orientation && *info.orientation >= 5 && *info.orientation <= 8;
  info.pixelWidth = static_cast<uint64_t>(quarterTurn ? height : width);
  info.pixelHeight = static_cast<uint64_t>(quarterTurn ? width : height);
  info.frameCount = static_cast<uint64_t>(images);
  info.hasAlpha = heif_image_handle_has_alpha_channel(handle.get()) != 0;
  return info;
}

}  // namespace velmo::platform::probe
