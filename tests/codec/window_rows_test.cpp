// A shrunk window handed out row by row, as tiles are written, holds the pixels of the window
// shrunk whole: the shrinker's rows are taken as they are made and converted to sRGB one at
// a time, for every layout the readers take apart.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "codec/image_encoder.h"
#include "codec/image_probe.h"
#include "codec/window_decoder.h"
#include "tests/support/decoder_fixtures.h"
#include "tests/support/test_support.h"

namespace velmo::testing {

using platform::Bitmap;
namespace {

using platform::PixelRect;
using platform::PixelSize;

// A window reader over |path|, which reads one window.
struct Frame {
  std::optional<platform::InputFile> file;
  std::unique_ptr<codec::FrameWindowReader> reader;
};

Frame openFrame(const std::string& path) {
  Frame frame;
  frame.file = platform::InputFile::open(path);
  const auto info = probePath(path);
  EXPECT_TRUE(frame.file && info);
  auto opened = codec::openFrameWindow(*frame.file, *info);
  EXPECT_TRUE(opened);
  if (opened) frame.reader = std::move(*opened);
  return frame;
}

TEST(WindowRows, ShrunkRowByRowAreThePixelsOfTheWholeShrink) {
  ScratchDir dir;
  // Translucent RGBA in Adobe RGB: each row is converted unpremultiplied, then premultiplied
  // again, before the tile undoes the premultiplication.
  codec::PngImage adobe;
  adobe.width = 61;
  adobe.height = 47;
  adobe.colorType = codec::PngColorType::Rgba;
  for (uint32_t i = 0; i < adobe.width * adobe.height; ++i) {
    adobe.pixels.insert(adobe.pixels.end(),
                        {static_cast<uint8_t>(i * 7), static_cast<uint8_t>(i),
                         static_cast<uint8_t>(255 - i), static_cast<uint8_t>(i * 3)});
  }
  adobe.icc = adobeRgbProfile();
  writeBytes(dir.file("adobe.png"), *codec::encodePng(adobe));

  const std::vector<std::string> paths = {
      dir.file("adobe.png"),
      dataPath("pngsuite/basn6a16.png"),  // 16-bit RGBA
      dataPath("pngsuite/tbrn2c08.png"),  // RGB with a tRNS colour
      dataPath("pngsuite/basn0g16.png"),  // 16-bit grey
      dataPath("formats/png_palette_trns_interlaced.png"),
      dataPath("camera/canon_sx60hs_orientation6.jpg"),  // shrunk on load by DCT scaling
      dataPath("camera/grayscale.jpg"),
      dataPath("camera/cmyk.jpg"),
      dataPath("formats/gif_still_transparent.gif"),  // shrunk whole, then handed out by rows
  };
  for (const std::string& path : paths) {
    SCOPED_TRACE(path);
    Frame whole = openFrame(path);
    ASSERT_TRUE(whole.reader);
    const PixelSize frame = whole.reader->size();
    const PixelRect window{frame.width / 5, frame.height / 7, frame.width - frame.width / 5 - 1,
                           frame.height - frame.height / 7};
    const PixelSize size{(window.width + 2) / 3, (window.height + 1) / 2};
    auto shrunk = whole.reader->readWindowShrunk(window, size);
    ASSERT_TRUE(shrunk);
    const Bitmap& bitmap = *shrunk;

    Frame streamed = openFrame(path);
    auto opened = streamed.reader->readWindowShrunkRows(window, size);
    ASSERT_TRUE(opened);
    codec::WindowRows& rows = **opened;
    EXPECT_EQ(rows.format().width, size.width);
    EXPECT_EQ(rows.format().height, size.height);
    EXPECT_EQ(rows.format().colorType, codec::PngColorType::Rgba);
    EXPECT_TRUE(rows.format().icc.empty());
    std::vector<uint8_t> row(size_t{size.width} * 4), expected(row.size());
    for (uint32_t y = 0; y < size.height; ++y) {
      ASSERT_TRUE(rows.next(row)) << y;
      platform::unpremultiplyRow(bitmap.row(y), size.width, expected.data());
      ASSERT_EQ(row, expected) << y;
    }
    EXPECT_FALSE(rows.next(row));
  }
}

}  // namespace
}  // namespace velmo::testing
