#include "codec/internal/png_stream.h"

#include <libdeflate.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

#include "codec/image_encoder.h"
#include "codec/internal/probe_reader.h"

namespace velmo::codec {
namespace {

// Compressed data is read a piece at a time; a chunk up to this size is read whole, with its
// CRC, in one read.
constexpr size_t kPieceBytes = size_t{128} << 10;
// What zlib keeps of the inflated data to refer back to.
constexpr size_t kWindowBytes = size_t{32} << 10;
// No two checkpoints closer than this many rows.
constexpr uint32_t kMinSpacing = 16;
constexpr uint32_t kMaxChunkLength = uint32_t{std::numeric_limits<int32_t>::max()};

struct ChunkHeader {
  uint32_t length;
  uint8_t type[4];
  bool is(const char (&name)[5]) const { return std::memcmp(type, name, 4) == 0; }
};

std::optional<ChunkHeader> readChunkHeader(const platform::InputFile& file, uint64_t offset) {
  uint8_t bytes[8];
  if (file.readAt(offset, bytes) != sizeof bytes) return std::nullopt;
  ChunkHeader header{probe::loadBe32(bytes), {bytes[4], bytes[5], bytes[6], bytes[7]}};
  if (header.length > kMaxChunkLength || offset + 12 + header.length > file.size()) {
    return std::nullopt;
  }
  return header;
}

// The filters of PNG, undone in place over |x| with the previous row |p| (both |n| bytes).
// Plain byte loops, the pixel size a constant for 1, 3 and 4 bytes: the channels of a pixel
// are independent chains the processor overlaps, which made them faster here than libspng's
// and than SSE2 loops that take a pixel at a time (a 1080 x 2048 window at y = 27952 of an
// RGB screenshot: 0.13 s for the whole tile against 0.20 with libspng, 0.28 with SSE2).
template <int Bpp>
void unpaeth(uint8_t* x, const uint8_t* p, size_t n, size_t bpp = Bpp) {
  const size_t step = Bpp > 0 ? Bpp : bpp;
  // On the left edge a and c are 0, so the predictor is b.
  for (size_t i = 0; i < step && i < n; ++i) x[i] = static_cast<uint8_t>(x[i] + p[i]);
  for (size_t i = step; i < n; ++i) {
    const int a = x[i - step];
    const int b = p[i];
    const int c = p[i - step];
    const int pa = std::abs(b - c);
    const int pb = std::abs(a - c);
    const int pc = std::abs(a + b - 2 * c);
    const int predictor = pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
    x[i] = static_cast<uint8_t>(x[i] + predictor);
  }
}

template <int Bpp>
void unsub(uint8_t* x, size_t n, size_t bpp = Bpp) {
  const size_t step = Bpp > 0 ? Bpp : bpp;
  for (size_t i = step; i < n; ++i) x[i] = static_cast<uint8_t>(x[i] + x[i - step]);
}

template <int Bpp>
void unaverage(uint8_t* x, const uint8_t* p, size_t n, size_t bpp = Bpp) {
  const size_t step = Bpp > 0 ? Bpp : bpp;
  for (size_t i = 0; i < step && i < n; ++i) x[i] = static_cast<uint8_t>(x[i] + (p[i] >> 1));
  for (size_t i = step; i < n; ++i) {
    x[i] = static_cast<uint8_t>(x[i] + ((x[i - step] + p[i]) >> 1));
  }
}

template <int Bpp>
void unfilterRow(int filter, uint8_t* x, const uint8_t* p, size_t n, size_t bpp) {
  switch (filter) {
    case 1:
      unsub<Bpp>(x, n, bpp);
      break;
    case 2:
      for (size_t i = 0; i < n; ++i) x[i] = static_cast<uint8_t>(x[i] + p[i]);
      break;
    case 3:
      unaverage<Bpp>(x, p, n, bpp);
      break;
    case 4:
      unpaeth<Bpp>(x, p, n, bpp);
      break;
    default:
      break;
  }
}

}  // namespace

std::optional<FileIdentity> identify(const platform::InputFile& file) {
  struct stat status {};
  if (::fstat(file.fd(), &status) != 0) return std::nullopt;
  return FileIdentity{static_cast<uint64_t>(status.st_dev), static_cast<uint64_t>(status.st_ino),
                      static_cast<uint64_t>(status.st_size),
                      static_cast<int64_t>(status.st_mtim.tv_sec),
                      static_cast<int64_t>(status.st_mtim.tv_nsec)};
}

const PngCheckpoint* PngFileCheckpoints::before(uint32_t row) const {
  auto after = std::upper_bound(points.begin(), points.end(), row,
                                [](uint32_t r, const PngCheckpoint& p) { return r < p.row; });
  return after == points.begin() ? nullptr : &*(after - 1);
}

bool PngFileCheckpoints::covers(uint32_t row) const {
  const uint32_t run = row / spacing;
  const PngCheckpoint* point = before(row);
  return point != nullptr && point->row / spacing == run;
}

void PngFileCheckpoints::add(PngCheckpoint point) {
  if (point.bytes() > budget) return;
  bytes += point.bytes();
  auto at = std::upper_bound(points.begin(), points.end(), point.row,
                             [](uint32_t r, const PngCheckpoint& p) { return r < p.row; });
  points.insert(at, std::move(point));
  while (bytes > budget && !points.empty()) {
    // Twice the spacing: the first checkpoint of each new run is kept.
    spacing *= 2;
    std::vector<PngCheckpoint> kept;
    size_t keptBytes = 0;
    for (PngCheckpoint& p : points) {
      if (!kept.empty() && kept.back().row / spacing == p.row / spacing) continue;
      if (p.row < spacing) continue;  // the top is as near as such a checkpoint
      keptBytes += p.bytes();
      kept.push_back(std::move(p));
    }
    points = std::move(kept);
    bytes = keptBytes;
  }
}

void PngFileCheckpoints::forget() {
  points.clear();
  points.shrink_to_fit();
  bytes = 0;
}

std::optional<PngLayout> pngStreamLayout(const platform::InputFile& file, uint32_t width,
                                         uint32_t height, int colorType, int bitDepth,
                                         bool interlaced) {
  if (interlaced || height == 0) return std::nullopt;
  const auto type = static_cast<PngColorType>(colorType);
  const auto rowBytes = pngRowBytes(width, type, static_cast<uint8_t>(bitDepth));
  if (!rowBytes) return std::nullopt;
  PngLayout layout;
  layout.height = height;
  layout.rowBytes = *rowBytes;
  layout.pixelBytes =
      std::max<uint32_t>(1, pngChannels(type) * static_cast<uint32_t>(bitDepth) / 8);
  for (uint64_t at = 8;;) {
    const auto header = readChunkHeader(file, at);
    if (!header || header->is("acTL") || header->is("IEND")) return std::nullopt;
    if (header->is("IDAT")) {
      layout.firstData = at;
      return layout;
    }
    at += 12 + uint64_t{header->length};
  }
}

PngRowStream::PngRowStream(const platform::InputFile& file, const PngLayout& layout, uint32_t first,
                           uint32_t count, std::shared_ptr<PngFileCheckpoints> checkpoints)
    : file_(file),
      layout_(layout),
      first_(first),
      end_(first + count),
      checkpoints_(checkpoints && !checkpoints->damaged ? std::move(checkpoints) : nullptr),
      // The checksum follows the last row: it is needed for a window that reaches it, and
      // kept for every checkpoint, since a later window may reach it from there.
      sumAll_(checkpoints_ != nullptr || end_ == layout.height),
      lines_(2 * (layout.rowBytes + 1), 0) {
  current_ = lines_.data();
  previous_ = lines_.data() + layout_.rowBytes + 1;
  if (!start()) fail();
}

bool PngRowStream::start() {
  if (inflateInit2(&zlib_, -15) != Z_OK) throw std::bad_alloc();
  inflating_.reset(&zlib_);
  if (checkpoints_) {
    if (const PngCheckpoint* point = checkpoints_->before(first_)) return startAt(*point);
    nextCheck_ = checkpoints_->spacing;
  }
  // From the top: the first chunk, then the zlib header (deflate, a window of at most
  // 32 KiB, no preset dictionary, its check bits right), as zlib itself would check it.
  const auto header = readChunkHeader(file_, layout_.firstData);
  if (!header) return false;
  chunk_ = layout_.firstData;
  chunkLength_ = header->length;
  zlib_.avail_in = 0;
  // refill() enters the chunk at chunk_ (CRC checked) when it has not been entered yet.
  uint8_t zlibHeader[2];
  if (!readCompressed(zlibHeader, 2)) return false;
  const unsigned cmf = zlibHeader[0];
  const unsigned flags = zlibHeader[1];
  if ((cmf & 0x0F) != 8 || (cmf >> 4) > 7 || ((cmf << 8) | flags) % 31 != 0 || (flags & 0x20)) {
    return false;
  }
  return true;
}

bool PngRowStream::startAt(const PngCheckpoint& point) {
  const auto header = readChunkHeader(file_, point.chunk);
  if (!header || point.chunkUsed > header->length) return false;
  if (point.bits != 0 &&
      inflatePrime(&zlib_, point.bits, point.lastByte >> (8 - point.bits)) != Z_OK) {
    return false;
  }
  const uint8_t* data = point.data.data();
  if (inflateSetDictionary(&zlib_, data, point.windowBytes) != Z_OK) return false;
  data += point.windowBytes;
  const size_t line = layout_.rowBytes + 1;
  std::memcpy(previous_, data, line);
  std::memcpy(current_, data + line, point.partialBytes);
  row_ = point.row;
  adler_ = point.adler;
  partial_ = point.partialBytes;
  nextCheck_ = (point.row / checkpoints_->spacing + 1) * checkpoints_->spacing;
  // The chunk was checked when the checkpoint was made, and the file is the same.
  chunk_ = point.chunk;
  chunkLength_ = header->length;
  entered_ = true;
  return loadPiece(point.chunkUsed);
}

bool PngRowStream::loadPiece(uint32_t offset) {
  const size_t take = std::min<size_t>(kPieceBytes, chunkLength_ - offset);
  if (input_.size() < take) input_.resize(take);
  if (file_.readAt(chunk_ + 8 + offset, {input_.data(), take}) != take) return false;
  inputOffset_ = offset;
  zlib_.next_in = input_.data();
  zlib_.avail_in = static_cast<uInt>(take);
  return true;
}

bool PngRowStream::enterChunk() {
  // The whole chunk's CRC, over its type and data, before any of it is used.
  uint8_t head[4];
  file_.readAt(chunk_ + 4, head);
  uint32_t crc = libdeflate_crc32(0, head, 4);
  const bool whole = chunkLength_ + 4 <= kPieceBytes;
  if (whole) {
    // Read once, CRC included, and inflated from there.
    if (input_.size() < chunkLength_ + 4) input_.resize(chunkLength_ + 4);
    if (file_.readAt(chunk_ + 8, {input_.data(), chunkLength_ + 4}) != chunkLength_ + 4) {
      return false;
    }
    crc = libdeflate_crc32(crc, input_.data(), chunkLength_);
    if (crc != probe::loadBe32(input_.data() + chunkLength_)) {
      damage_ = kCrcMismatch;
      return false;
    }
    inputOffset_ = 0;
    zlib_.next_in = input_.data();
    zlib_.avail_in = chunkLength_;
  } else {
    if (input_.size() < kPieceBytes) input_.resize(kPieceBytes);
    for (uint64_t at = 0; at < chunkLength_;) {
      const size_t take = static_cast<size_t>(std::min<uint64_t>(kPieceBytes, chunkLength_ - at));
      if (file_.readAt(chunk_ + 8 + at, {input_.data(), take}) != take) return false;
      crc = libdeflate_crc32(crc, input_.data(), take);
      at += take;
    }
    uint8_t stored[4];
    if (file_.readAt(chunk_ + 8 + chunkLength_, stored) != sizeof stored ||
        crc != probe::loadBe32(stored)) {
      damage_ = kCrcMismatch;
      return false;
    }
    if (!loadPiece(0)) return false;
  }
  entered_ = true;
  return true;
}

bool PngRowStream::refill() {
  if (!entered_) return enterChunk();
  const uint64_t used = inputOffset_ + (zlib_.next_in - input_.data());
  if (used < chunkLength_) return loadPiece(static_cast<uint32_t>(used));
  // The next chunk: the image data goes on only in IDAT chunks that follow each other.
  for (;;) {
    const uint64_t next = chunk_ + 12 + chunkLength_;
    const auto header = readChunkHeader(file_, next);
    if (!header || !header->is("IDAT")) {
      damage_ = kDataEnds;
      return false;
    }
    chunk_ = next;
    chunkLength_ = header->length;
    entered_ = false;
    if (!enterChunk()) return false;
    if (chunkLength_ > 0) return true;
  }
}

bool PngRowStream::readCompressed(uint8_t* out, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    if (zlib_.avail_in == 0 && !refill()) return false;
    out[i] = *zlib_.next_in++;
    --zlib_.avail_in;
  }
  return true;
}

bool PngRowStream::inflateRow(uint8_t* line, size_t size, size_t filled) {
  zlib_.next_out = line + filled;
  zlib_.avail_out = static_cast<uInt>(size - filled);
  while (zlib_.avail_out > 0) {
    if (streamEnded_) {
      damage_ = kDataEnds;
      return false;
    }
    if (zlib_.avail_in == 0 && !refill()) return false;
    uint8_t* const before = zlib_.next_out;
    const int status = inflate(&zlib_, Z_BLOCK);
    if (sumAll_) {
      adler_ = libdeflate_adler32(adler_, before, static_cast<size_t>(zlib_.next_out - before));
    }
    if (status == Z_STREAM_END) {
      streamEnded_ = true;
      continue;
    }
    if (status != Z_OK && status != Z_BUF_ERROR) {
      damage_ = zlib_.msg != nullptr ? zlib_.msg : "corrupt DEFLATE data";
      return false;
    }
    // At the end of a block that is not the last one.
    if (checkpoints_ && row_ >= nextCheck_ && (zlib_.data_type & 128) != 0 &&
        (zlib_.data_type & 64) == 0) {
      checkpoint(line, size - zlib_.avail_out);
    }
  }
  return true;
}

void PngRowStream::checkpoint(const uint8_t* line, size_t filled) {
  const uint32_t spacing = checkpoints_->spacing;
  nextCheck_ = (row_ / spacing + 1) * spacing;
  if (checkpoints_->covers(row_)) return;
  PngCheckpoint point;
  point.row = row_;
  point.chunk = chunk_;
  point.chunkUsed = static_cast<uint32_t>(inputOffset_ + (zlib_.next_in - input_.data()));
  point.bits = zlib_.data_type & 7;
  if (point.bits != 0) point.lastByte = zlib_.next_in[-1];
  point.adler = adler_;
  point.partialBytes = static_cast<uint32_t>(filled);
  const size_t lineBytes = layout_.rowBytes + 1;
  point.data.resize(kWindowBytes + lineBytes + filled);
  uInt windowBytes = 0;
  if (inflateGetDictionary(&zlib_, point.data.data(), &windowBytes) != Z_OK) return;
  point.windowBytes = windowBytes;
  std::memcpy(point.data.data() + windowBytes, previous_, lineBytes);
  std::memcpy(point.data.data() + windowBytes + lineBytes, line, filled);
  point.data.resize(windowBytes + lineBytes + filled);
  point.data.shrink_to_fit();
  checkpoints_->add(std::move(point));
}

bool PngRowStream::unfilter(uint8_t* line, const uint8_t* previous) const {
  const int filter = line[0];
  if (filter > 4) return false;
  uint8_t* x = line + 1;
  const uint8_t* p = previous + 1;
  const size_t n = layout_.rowBytes;
  switch (layout_.pixelBytes) {
    case 3:
      unfilterRow<3>(filter, x, p, n, 3);
      break;
    case 4:
      unfilterRow<4>(filter, x, p, n, 4);
      break;
    case 1:
      unfilterRow<1>(filter, x, p, n, 1);
      break;
    default:
      unfilterRow<0>(filter, x, p, n, layout_.pixelBytes);
      break;
  }
  return true;
}

bool PngRowStream::finish() {
  // Past the last row only the end of the deflate stream may come, then the checksum.
  uint8_t scratch[256];
  size_t extra = 0;
  while (!streamEnded_) {
    if (zlib_.avail_in == 0 && !refill()) return false;
    zlib_.next_out = scratch;
    zlib_.avail_out = sizeof scratch;
    const int status = inflate(&zlib_, Z_NO_FLUSH);
    const size_t made = sizeof scratch - zlib_.avail_out;
    adler_ = libdeflate_adler32(adler_, scratch, made);
    extra += made;
    if (status == Z_STREAM_END) {
      streamEnded_ = true;
    } else if ((status != Z_OK && status != Z_BUF_ERROR) || extra > kWindowBytes) {
      damage_ = zlib_.msg != nullptr ? zlib_.msg : "data after the last row";
      return false;
    }
  }
  uint8_t trailer[4];
  if (!readCompressed(trailer, 4)) return false;
  if (probe::loadBe32(trailer) != adler_) {
    damage_ = "Adler-32 mismatch";
    return false;
  }
  return true;
}

void PngRowStream::fail() {
  failed_ = true;
  if (checkpoints_) {
    checkpoints_->damaged = true;
    checkpoints_->forget();
  }
}

const uint8_t* PngRowStream::next() {
  if (failed_ || row_ >= end_) return nullptr;
  const size_t size = layout_.rowBytes + 1;
  for (;;) {
    if (!inflateRow(current_, size, partial_)) {
      fail();
      return nullptr;
    }
    if (!unfilter(current_, previous_)) {
      damage_ = "unknown row filter";
      fail();
      return nullptr;
    }
    partial_ = 0;
    std::swap(current_, previous_);
    if (row_++ < first_) continue;
    if (row_ == layout_.height && !finish()) {
      fail();
      return nullptr;
    }
    return previous_ + 1;
  }
}

}  // namespace velmo::codec

namespace velmo::codec {

DecodeCheckpoints::DecodeCheckpoints(size_t perFileBytes, size_t files)
    : perFileBytes_(perFileBytes), files_(files) {}

DecodeCheckpoints::~DecodeCheckpoints() = default;

size_t DecodeCheckpoints::bytes() const {
  size_t total = 0;
  for (const auto& file : recent_) total += file->bytes;
  return total;
}

std::shared_ptr<PngFileCheckpoints> DecodeCheckpoints::forFile(const FileIdentity& identity,
                                                               uint32_t height, size_t rowBytes) {
  auto found = std::find_if(recent_.begin(), recent_.end(),
                            [&](const auto& file) { return file->identity == identity; });
  std::shared_ptr<PngFileCheckpoints> file;
  if (found != recent_.end()) {
    file = std::move(*found);
    recent_.erase(found);
  } else {
    file = std::make_shared<PngFileCheckpoints>();
    file->identity = identity;
    file->budget = perFileBytes_;
    // As many runs of rows as the budget holds checkpoints of the usual size (a full window
    // and two rows), so that thinning is seldom needed.
    const size_t usual = sizeof(PngCheckpoint) + kWindowBytes + 2 * (rowBytes + 1);
    const size_t count = std::max<size_t>(1, perFileBytes_ / usual);
    file->spacing = std::max<uint32_t>(
        kMinSpacing, static_cast<uint32_t>((uint64_t{height} + count - 1) / count));
  }
  recent_.insert(recent_.begin(), file);
  if (recent_.size() > files_) recent_.resize(files_);
  return file;
}

}  // namespace velmo::codec
