// Private to codec/. Owners for the handles of the C codec libraries, in the one owner idiom
// of platform/owner.h.
#pragma once

#include <cstddef>
#include <cstdio>  // jpeglib.h needs FILE and size_t declared before it

#include <gif_lib.h>
#include <jpeglib.h>
#include <libdeflate.h>
#include <libheif/heif.h>
#include <spng.h>
#include <webp/demux.h>
#include <zlib.h>

#include "platform/owner.h"

namespace velmo::codec {

// libspng: a decoder or encoder context.
using SpngContext = platform::Owner<spng_ctx, spng_ctx_free>;

// libdeflate: a compressor at one compression level.
using DeflateCompressor = platform::Owner<libdeflate_compressor, libdeflate_free_compressor>;

// zlib: a deflate stream that deflateInit2 set up, in a z_stream the caller keeps in place.
inline void endDeflate(z_stream* stream) {
  deflateEnd(stream);
}
using DeflateStream = platform::Owner<z_stream, endDeflate>;
// zlib: an inflate stream that inflateInit2 set up, in a z_stream the caller keeps in place.
inline void endInflate(z_stream* stream) {
  inflateEnd(stream);
}
using InflateStream = platform::Owner<z_stream, endInflate>;

// giflib: a file opened with DGifOpen (DGifCloseFile also frees the structure).
inline void closeGifFile(GifFileType* gif) {
  int error = 0;
  DGifCloseFile(gif, &error);
}
using GifFile = platform::Owner<GifFileType, closeGifFile>;

// libheif: contexts, image handles, decoded images, decoding options, nclx profiles.
using HeifContext = platform::Owner<heif_context, heif_context_free>;
using HeifImageHandle = platform::Owner<heif_image_handle, heif_image_handle_release>;
using HeifImage = platform::Owner<heif_image, heif_image_release>;
using HeifDecodingOptions = platform::Owner<heif_decoding_options, heif_decoding_options_free>;
using HeifNclxProfile = platform::Owner<heif_color_profile_nclx, heif_nclx_color_profile_free>;

// libwebp: a demuxer over a buffer that the caller keeps alive for the demuxer's life.
using WebPDemuxHandle = platform::Owner<WebPDemuxer, WebPDemuxDelete>;

// libjpeg keeps its state inside a struct that the caller allocates, and holds pointers into
// it, so the struct itself never moves. This owner points at such a struct after
// jpeg_create_decompress succeeded, and destroys the library state (not the struct).
using JpegDecompressState = platform::Owner<jpeg_decompress_struct, jpeg_destroy_decompress>;
// The same for a compressor.
using JpegCompressState = platform::Owner<jpeg_compress_struct, jpeg_destroy_compress>;

}  // namespace velmo::codec
