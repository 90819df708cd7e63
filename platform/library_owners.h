// Owners for the handles of the C imaging libraries, so that every handle is released on
// every path, exceptions included.
//
// Each owner is a std::unique_ptr whose deleter calls the library's own release function;
// an empty owner releases nothing. Owners adopt the handle they are given (the library
// reference is stolen, never shared), are move-only, and live on one thread at a time.
#pragma once

#include <cstddef>
#include <cstdio>  // jpeglib.h needs FILE and size_t declared before it
#include <cstdlib>
#include <memory>

#include <gif_lib.h>
#include <jpeglib.h>
#include <lcms2.h>
#include <libheif/heif.h>
#include <spng.h>
#include <webp/demux.h>

namespace velmo::platform {

// A deleter calling |Release| on a non-null handle.
template <auto Release>
struct ReleaseWith {
  template <typename T>
  void operator()(T* handle) const {
    if (handle != nullptr) Release(handle);
  }
};

// libspng: a decoder or encoder context.
using SpngContext = std::unique_ptr<spng_ctx, ReleaseWith<spng_ctx_free>>;

// giflib: a file opened with DGifOpen (DGifCloseFile also frees the structure).
struct GifFileCloser {
  void operator()(GifFileType* gif) const {
    int error = 0;
    if (gif != nullptr) DGifCloseFile(gif, &error);
  }
};
using GifFile = std::unique_ptr<GifFileType, GifFileCloser>;

// libheif: contexts, image handles, decoded images, decoding options, nclx profiles.
using HeifContext = std::unique_ptr<heif_context, ReleaseWith<heif_context_free>>;
using HeifImageHandle = std::unique_ptr<heif_image_handle, ReleaseWith<heif_image_handle_release>>;
using HeifImage = std::unique_ptr<heif_image, ReleaseWith<heif_image_release>>;
using HeifDecodingOptions =
    std::unique_ptr<heif_decoding_options, ReleaseWith<heif_decoding_options_free>>;
using HeifNclxProfile =
    std::unique_ptr<heif_color_profile_nclx, ReleaseWith<heif_nclx_color_profile_free>>;

// lcms2: profiles and transforms. Both handles are void pointers in lcms2, so the owners
// differ only by their deleters; keep each handle in the owner of its own kind.
using CmsProfile = std::unique_ptr<void, ReleaseWith<cmsCloseProfile>>;
using CmsTransform = std::unique_ptr<void, ReleaseWith<cmsDeleteTransform>>;
using CmsToneCurve = std::unique_ptr<cmsToneCurve, ReleaseWith<cmsFreeToneCurve>>;

// libwebp: a demuxer over a buffer that the caller keeps alive for the demuxer's life.
using WebPDemuxHandle = std::unique_ptr<WebPDemuxer, ReleaseWith<WebPDemuxDelete>>;

// libjpeg keeps its state inside a struct that the caller allocates, and holds pointers into
// it, so the struct itself never moves. These owners point at such a struct after
// jpeg_create_* succeeded, and destroy the library state (not the struct) when they go.
using JpegDecompressState =
    std::unique_ptr<jpeg_decompress_struct, ReleaseWith<jpeg_destroy_decompress>>;
using JpegCompressState = std::unique_ptr<jpeg_compress_struct, ReleaseWith<jpeg_destroy_compress>>;

// Memory that a C library allocated with malloc and hands over (jpeg_read_icc_profile).
struct FreeWithFree {
  void operator()(void* memory) const { std::free(memory); }
};
using MallocBuffer = std::unique_ptr<unsigned char, FreeWithFree>;

}  // namespace velmo::platform
