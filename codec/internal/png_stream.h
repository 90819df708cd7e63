// Private to codec/. The rows of a non-interlaced PNG inflated with zlib and unfiltered here,
// so that a decode can stop at a deflate block boundary and a later one resume there.
//
// While rows are inflated, the reader leaves checkpoints in the file's entry of a
// DecodeCheckpoints store: at the first block boundary in every so many rows, what zlib needs
// to go on from there (the position in the image data, down to the bit, and the last 32 KiB
// of inflated data), the previous row unfiltered, the bytes of the current row inflated so
// far and the Adler-32 of everything before. A later reader of the same, unchanged file
// starts at the nearest checkpoint at or above its first row.
//
// The rows are exactly libspng's SPNG_FMT_RAW rows, and a damaged stream fails where
// libspng's decode fails: a critical chunk's CRC (checked whole as the chunk is entered), the
// zlib header, corrupt DEFLATE data, a filter type above 4, image data that ends early, and,
// when the last row is read, the Adler-32.
#pragma once

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "codec/internal/library_owners.h"
#include "codec/window_decoder.h"
#include "platform/input_file.h"

namespace velmo::codec {

// Where a later decode of a file can start.
struct PngCheckpoint {
  uint32_t row = 0;           // the row being inflated at the block boundary
  uint64_t chunk = 0;         // file offset of the IDAT chunk holding the next compressed byte
  uint32_t chunkUsed = 0;     // bytes of that chunk's data consumed
  int bits = 0;               // unused high bits of the last consumed byte (0 to 7)
  uint8_t lastByte = 0;       // that byte
  uint32_t adler = 1;         // Adler-32 of the inflated bytes before this point
  uint32_t partialBytes = 0;  // bytes of |row| (filter byte first) inflated before this point
  uint32_t windowBytes = 0;   // the inflated bytes zlib may refer back to (at most 32 KiB)
  // The window, then the previous row unfiltered, then the partial row.
  std::vector<uint8_t> data;

  size_t bytes() const { return sizeof *this + data.capacity(); }
};

// What identifies one version of a file: a file replaced or rewritten differs in one of these.
struct FileIdentity {
  uint64_t device = 0;
  uint64_t inode = 0;
  uint64_t size = 0;
  int64_t modifiedSeconds = 0;
  int64_t modifiedNanoseconds = 0;

  friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};
// nullopt when the file cannot be looked at.
std::optional<FileIdentity> identify(const platform::InputFile& file);

// One file's checkpoints, sorted by row, one at most per run of |spacing| rows. Held by the
// store and by the readers decoding the file.
struct PngFileCheckpoints {
  FileIdentity identity;
  uint32_t spacing = 1;
  size_t budget = 0;
  size_t bytes = 0;
  // A damaged stream is read from the top every time, as if there were no store.
  bool damaged = false;
  std::vector<PngCheckpoint> points;

  // The checkpoint nearest above or at |row|, or nullptr.
  const PngCheckpoint* before(uint32_t row) const;
  // Whether a checkpoint lies in |row|'s run of |spacing| rows.
  bool covers(uint32_t row) const;
  // Keeps |point|; drops every other checkpoint and doubles the spacing while over budget.
  void add(PngCheckpoint point);
  void forget();
};

// The layout of a non-interlaced image's data, read from its header.
struct PngLayout {
  uint32_t height = 0;
  size_t rowBytes = 0;      // a packed row, without its filter byte
  uint32_t pixelBytes = 1;  // the filters' distance: bytes per pixel, at least 1
  uint64_t firstData = 0;   // file offset of the first IDAT chunk
};

// The file's layout when it can be read by PngRowStream: not interlaced, not animated (an
// APNG's default image may be shared with its frames, which libspng leaves alone too), its
// first IDAT chunk found. nullopt otherwise.
std::optional<PngLayout> pngStreamLayout(const platform::InputFile& file, uint32_t width,
                                         uint32_t height, int colorType, int bitDepth,
                                         bool interlaced);

class PngRowStream {
 public:
  // Rows |first| to |first| + |count| - 1 of |file|. |checkpoints| (may be null) gives where
  // to start and takes new checkpoints. May throw std::bad_alloc.
  PngRowStream(const platform::InputFile& file, const PngLayout& layout, uint32_t first,
               uint32_t count, std::shared_ptr<PngFileCheckpoints> checkpoints);

  PngRowStream(const PngRowStream&) = delete;
  PngRowStream& operator=(const PngRowStream&) = delete;

  // The next row of the range, unfiltered; nullptr when the data is damaged or ends early
  // (and for every later call). May throw std::bad_alloc.
  const uint8_t* next();
  // Whether the data has been found damaged (at the start, before any row).
  bool failed() const { return failed_; }
  // What was found wrong, once next() gave nullptr or failed() is true.
  const char* damage() const { return damage_; }

 private:
  static constexpr const char* kCrcMismatch = "CRC mismatch in an IDAT chunk";
  static constexpr const char* kDataEnds = "the image data ends before the last row";

  bool start();
  bool startAt(const PngCheckpoint& point);
  // Inflates into |line|[filled, size); false on damage or an early end.
  bool inflateRow(uint8_t* line, size_t size, size_t filled);
  // More compressed bytes for zlib: the rest of the current chunk, or the next IDAT chunk
  // (its CRC checked first). False at the end of the image data or on damage.
  bool refill();
  // Checks the CRC of the chunk at chunk_ and hands zlib its first bytes.
  bool enterChunk();
  // Hands zlib the current chunk's data from |offset| on, as much as one piece holds.
  bool loadPiece(uint32_t offset);
  // Reads |count| compressed bytes into |out| (the zlib header and trailer); false when the
  // image data ends first.
  bool readCompressed(uint8_t* out, size_t count);
  bool unfilter(uint8_t* line, const uint8_t* previous) const;
  // Leaves a checkpoint at this block boundary, |filled| bytes into the row in |line|,
  // unless its run of rows has one.
  void checkpoint(const uint8_t* line, size_t filled);
  // The Adler-32 after the last row. False when it is wrong or missing.
  bool finish();
  void fail();

  const platform::InputFile& file_;
  PngLayout layout_;
  uint32_t first_;
  uint32_t end_;
  std::shared_ptr<PngFileCheckpoints> checkpoints_;
  bool sumAll_;  // the Adler-32 is kept up to date

  z_stream zlib_{};
  InflateStream inflating_;  // ends zlib_ once inflateInit2 has set it up
  std::vector<uint8_t> input_;
  uint64_t chunk_ = 0;  // file offset of the current IDAT chunk
  uint32_t chunkLength_ = 0;
  size_t inputOffset_ = 0;  // where input_ starts within the chunk's data
  bool entered_ = false;    // the current chunk's CRC checked
  bool streamEnded_ = false;

  std::vector<uint8_t> lines_;  // two rows with their filter bytes: current and previous
  uint8_t* current_ = nullptr;
  uint8_t* previous_ = nullptr;
  uint32_t row_ = 0;    // the next row to inflate
  size_t partial_ = 0;  // bytes of it inflated already (after a checkpoint)
  uint32_t adler_ = 1;
  uint32_t nextCheck_ = 0;  // no checkpoint is looked for above this row
  bool failed_ = false;
  const char* damage_ = "damaged image data";
};

}  // namespace velmo::codec
