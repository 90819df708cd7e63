// libheif, loaded the first time a HEIF file is met rather than when the process starts.
// libheif links its encoders and decoders (x265, aom, dav1d, libde265), and mapping and
// relocating them at start-up cost a "metadata" call from the command line about a sixth of
// its time (53 against 44 ms, alternating runs on a loaded machine), although only
// a HEIF file needs any of them. So the program does not link libheif: the libheif functions
// the codec calls are defined here, each forwarding to the same function of the library,
// which is opened with dlopen on the first call to heifLibraryLoaded().
//
// Every path into libheif starts at HeifFile::open, which asks heifLibraryLoaded() first, so
// no forwarder runs before the library is open; without the library a HEIF file reads as
// undecodable.
#include <dlfcn.h>

#include "codec/internal/heif_input.h"

namespace velmo::codec {
namespace {

// The soname of the libheif the program was built against.
constexpr const char* kLibheif = "libheif.so.1";

void* library() {
  // Kept open for the process: decoders registered by heif_init live in it.
  static void* const handle = dlopen(kLibheif, RTLD_NOW | RTLD_LOCAL);
  return handle;
}

}  // namespace

bool heifLibraryLoaded() {
  return library() != nullptr;
}

void* heifSymbol(const char* name) {
  return dlsym(library(), name);
}

}  // namespace velmo::codec

// One forwarder per libheif function the codec uses, with the type of the header's own
// declaration. The address is looked up on the first call.
#define VELMO_HEIF_FORWARD(result, name, params, args)                      \
  extern "C" result name params {                                           \
    static const auto function =                                            \
        reinterpret_cast<decltype(&name)>(velmo::codec::heifSymbol(#name)); \
    return function args;                                                   \
  }

// clang-format off
VELMO_HEIF_FORWARD(heif_error, heif_init, (heif_init_params* p), (p))
VELMO_HEIF_FORWARD(heif_context*, heif_context_alloc, (void), ())
VELMO_HEIF_FORWARD(void, heif_context_free, (heif_context* c), (c))
VELMO_HEIF_FORWARD(int, heif_context_get_number_of_top_level_images, (heif_context* c), (c))
VELMO_HEIF_FORWARD(heif_error, heif_context_get_primary_image_handle,
                   (heif_context* c, heif_image_handle** h), (c, h))
VELMO_HEIF_FORWARD(heif_error, heif_context_read_from_reader,
                   (heif_context* c, const heif_reader* r, void* u, const heif_reading_options* o),
                   (c, r, u, o))
VELMO_HEIF_FORWARD(void, heif_context_set_maximum_image_size_limit, (heif_context* c, int w),
                   (c, w))
VELMO_HEIF_FORWARD(heif_error, heif_decode_image,
                   (const heif_image_handle* h, heif_image** i, heif_colorspace s, heif_chroma c,
                    const heif_decoding_options* o),
                   (h, i, s, c, o))
VELMO_HEIF_FORWARD(heif_decoding_options*, heif_decoding_options_alloc, (), ())
VELMO_HEIF_FORWARD(void, heif_decoding_options_free, (heif_decoding_options* o), (o))
VELMO_HEIF_FORWARD(int, heif_image_get_bits_per_pixel_range, (const heif_image* i, heif_channel c),
                   (i, c))
VELMO_HEIF_FORWARD(int, heif_image_get_width, (const heif_image* i, heif_channel c), (i, c))
VELMO_HEIF_FORWARD(int, heif_image_get_height, (const heif_image* i, heif_channel c), (i, c))
VELMO_HEIF_FORWARD(const uint8_t*, heif_image_get_plane_readonly,
                   (const heif_image* i, heif_channel c, int* s), (i, c, s))
VELMO_HEIF_FORWARD(void, heif_image_release, (const heif_image* i), (i))
VELMO_HEIF_FORWARD(heif_color_profile_type, heif_image_handle_get_color_profile_type,
                   (const heif_image_handle* h), (h))
VELMO_HEIF_FORWARD(int, heif_image_handle_get_width, (const heif_image_handle* h), (h))
VELMO_HEIF_FORWARD(int, heif_image_handle_get_height, (const heif_image_handle* h), (h))
VELMO_HEIF_FORWARD(int, heif_image_handle_get_ispe_width, (const heif_image_handle* h), (h))
VELMO_HEIF_FORWARD(int, heif_image_handle_get_ispe_height, (const heif_image_handle* h), (h))
VELMO_HEIF_FORWARD(int, heif_image_handle_get_list_of_metadata_block_IDs,
                   (const heif_image_handle* h, const char* t, heif_item_id* ids, int n),
                   (h, t, ids, n))
VELMO_HEIF_FORWARD(heif_error, heif_image_handle_get_metadata,
                   (const heif_image_handle* h, heif_item_id id, void* out), (h, id, out))
VELMO_HEIF_FORWARD(size_t, heif_image_handle_get_metadata_size,
                   (const heif_image_handle* h, heif_item_id id), (h, id))
VELMO_HEIF_FORWARD(heif_error, heif_image_handle_get_nclx_color_profile,
                   (const heif_image_handle* h, heif_color_profile_nclx** out), (h, out))
VELMO_HEIF_FORWARD(heif_error, heif_image_handle_get_raw_color_profile,
                   (const heif_image_handle* h, void* out), (h, out))
VELMO_HEIF_FORWARD(size_t, heif_image_handle_get_raw_color_profile_size,
                   (const heif_image_handle* h), (h))
VELMO_HEIF_FORWARD(int, heif_image_handle_has_alpha_channel, (const heif_image_handle* h), (h))
VELMO_HEIF_FORWARD(int, heif_image_handle_is_premultiplied_alpha, (const heif_image_handle* h),
                   (h))
VELMO_HEIF_FORWARD(void, heif_image_handle_release, (const heif_image_handle* h), (h))
VELMO_HEIF_FORWARD(void, heif_nclx_color_profile_free, (heif_color_profile_nclx* p), (p))
// clang-format on
