// Writing a finished image under a byte limit, and describing image files.
#include "render/output.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <system_error>

#include "platform/image_encoder.h"
#include "plugin/error.h"
#include "tests/support/image_files.h"
#include "tests/support/test_support.h"

namespace velmo {
namespace {

using host::EncodableMap;
using host::EncodableValue;
using platform::Bitmap;
using testing::ScratchDir;
namespace fs = std::filesystem;

constexpr const char* kTooLarge = "圖片超過 8 MiB，請調整圖片後重試";
constexpr const char* kUnreadable = "無法讀取圖片，請重新選擇";

Bitmap makeBitmap(uint32_t width, uint32_t height, bool alpha,
                  const std::function<uint32_t(uint32_t, uint32_t)>& pixel) {
  Bitmap bitmap(width, height, alpha);
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) bitmap.row(y)[x] = pixel(x, y);
  }
  return bitmap;
}

// Gradients under fixed noise: each JPEG quality of the ladder gives a different size.
Bitmap photo(uint32_t width, uint32_t height, bool alpha = false) {
  uint32_t state = 99;
  return makeBitmap(width, height, alpha, [&](uint32_t x, uint32_t y) {
    state = state * 1664525u + 1013904223u;
    const uint32_t noise = (state >> 24) & 0x1F;
    const uint32_t a = alpha ? (x * 255 / (width - 1)) : 255;
    return platform::premultiply((x + noise) & 0xFF, (y * 2 + noise) & 0xFF, (x ^ y) & 0xFF, a);
  });
}

std::vector<uint8_t> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::string> keys(const EncodableMap& map) {
  std::vector<std::string> names;
  for (const auto& [key, value] : map) names.push_back(std::get<std::string>(key));
  return names;
}

// The catalogue message of the PluginError |action| throws, or "" when it throws none.
std::string pluginErrorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const PluginError& e) {
    return e.message();
  }
  return "";
}

class LadderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int quality : {92, 88, 84}) {
      auto bytes = platform::encodeJpeg(image_.view(), quality);
      ASSERT_TRUE(bytes);
      rungs_.push_back(std::move(*bytes));
    }
    // The boundaries below need three distinct sizes, largest first.
    ASSERT_GT(rungs_[0].size(), rungs_[1].size());
    ASSERT_GT(rungs_[1].size(), rungs_[2].size());
  }

  int64_t size(int rung) const { return static_cast<int64_t>(rungs_[rung].size()); }

  // Writes with |limit| and returns the bytes that landed in the file.
  std::vector<uint8_t> writtenWith(int64_t limit) {
    const EncodableMap result = write(image_.view(), dir_.file("a"), false, limit);
    const std::vector<uint8_t> bytes = readFile(dir_.file("a.jpg"));
    EXPECT_EQ(testing::intEntry(result, "byteSize"), static_cast<int64_t>(bytes.size()));
    return bytes;
  }

  Bitmap image_ = photo(320, 240);
  std::vector<std::vector<uint8_t>> rungs_;
  ScratchDir dir_;
};

TEST_F(LadderTest, LimitEqualToTheFirstRungTakesIt) {
  EXPECT_EQ(writtenWith(size(0)), rungs_[0]);
}

TEST_F(LadderTest, OneByteLessFallsToTheSecondRung) {
  EXPECT_EQ(writtenWith(size(0) - 1), rungs_[1]);
}

TEST_F(LadderTest, ThirdRungWhenOnlyItFits) {
  EXPECT_EQ(writtenWith(size(1) - 1), rungs_[2]);
  EXPECT_EQ(writtenWith(size(2)), rungs_[2]);
}

TEST_F(LadderTest, NothingFitsFailsAndWritesNothing) {
  EXPECT_EQ(pluginErrorOf([&] { write(image_.view(), dir_.file("a"), false, size(2) - 1); }),
            kTooLarge);
  EXPECT_TRUE(dir_.entries().empty());
}

TEST_F(LadderTest, HugeLimitIsNoLimit) {
  EXPECT_EQ(writtenWith(std::numeric_limits<int64_t>::max()), rungs_[0]);
}

TEST(Write, ZeroOrNegativeLimitAlwaysFails) {
  ScratchDir dir;
  const Bitmap tiny = photo(4, 4);
  for (int64_t limit : {int64_t{0}, int64_t{-1}, std::numeric_limits<int64_t>::min()}) {
    for (bool alpha : {false, true}) {
      EXPECT_EQ(pluginErrorOf([&] { write(tiny.view(), dir.file("a"), alpha, limit); }), kTooLarge)
          << limit << " alpha " << alpha;
    }
  }
  EXPECT_TRUE(dir.entries().empty());
}

TEST(Write, PngOverTheLimitFailsWithoutFallingBackToJpeg) {
  ScratchDir dir;
  const Bitmap image = photo(64, 64, true);
  const auto png = platform::encodePng(image.view());
  ASSERT_TRUE(png);
  const auto limit = static_cast<int64_t>(png->size());
  EXPECT_EQ(pluginErrorOf([&] { write(image.view(), dir.file("a"), true, limit - 1); }), kTooLarge);
  EXPECT_TRUE(dir.entries().empty());

  write(image.view(), dir.file("a"), true, limit);
  EXPECT_EQ(readFile(dir.file("a.png")), *png);
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"a.png"});
}

TEST(Write, JpegResultMapDescribesTheFile) {
  ScratchDir dir;
  const Bitmap image = photo(120, 80);
  const EncodableMap result = write(image.view(), dir.file("a"), false, 8 << 20);
  EXPECT_EQ(keys(result), (std::vector<std::string>{"path", "filename", "mimeType", "width",
                                                    "height", "byteSize"}));
  EXPECT_EQ(testing::stringEntry(result, "path"), dir.file("a.jpg"));
  EXPECT_EQ(testing::stringEntry(result, "filename"), "a.jpg");
  EXPECT_EQ(testing::stringEntry(result, "mimeType"), "image/jpeg");
  EXPECT_EQ(testing::intEntry(result, "width"), 120);
  EXPECT_EQ(testing::intEntry(result, "height"), 80);
  EXPECT_EQ(testing::intEntry(result, "byteSize"),
            static_cast<int64_t>(fs::file_size(dir.file("a.jpg"))));
  EXPECT_EQ(testing::sniffFormat(dir.file("a.jpg")), "jpeg");
}

TEST(Write, ExtensionIsAppendedNeverSubstituted) {
  ScratchDir dir;
  const EncodableMap result = write(photo(8, 8, true).view(), dir.file("a.jpg"), true, 1 << 20);
  EXPECT_EQ(testing::stringEntry(result, "path"), dir.file("a.jpg.png"));
  EXPECT_EQ(testing::stringEntry(result, "filename"), "a.jpg.png");
  EXPECT_EQ(testing::stringEntry(result, "mimeType"), "image/png");
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"a.jpg.png"});
  EXPECT_EQ(testing::sniffFormat(dir.file("a.jpg.png")), "png");
}

TEST(Write, PngKeepsStraightColourAndAlpha) {
  ScratchDir dir;
  const Bitmap image = makeBitmap(3, 1, true, [](uint32_t x, uint32_t) {
    const uint32_t pixels[] = {platform::premultiply(255, 0, 0, 255),
                               platform::premultiply(0, 0, 255, 128), 0};
    return pixels[x];
  });
  write(image.view(), dir.file("a"), true, 1 << 20);
  const testing::RgbaImage decoded = testing::readImageFile(dir.file("a.png"));
  ASSERT_EQ(decoded.width, 3u);
  EXPECT_EQ(std::vector<uint8_t>(decoded.rgba.begin(), decoded.rgba.end()),
            (std::vector<uint8_t>{255, 0, 0, 255, 0, 0, 255, 128, 0, 0, 0, 0}));
}

TEST(Write, ReplacesAnExistingFileWhole) {
  ScratchDir dir;
  write(photo(400, 300).view(), dir.file("a"), false, 8 << 20);
  const EncodableMap second = write(photo(16, 16).view(), dir.file("a"), false, 8 << 20);
  EXPECT_EQ(testing::intEntry(second, "byteSize"),
            static_cast<int64_t>(fs::file_size(dir.file("a.jpg"))));
  EXPECT_EQ(testing::readImageFile(dir.file("a.jpg")).width, 16u);
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"a.jpg"});
}

// The file system's own error, not a catalogue message.
TEST(Write, FileSystemFailurePassesUpUnchanged) {
  ScratchDir dir;
  const std::string destination = dir.file("missing/a");
  try {
    write(photo(8, 8).view(), destination, false, 1 << 20);
    ADD_FAILURE() << "no error";
  } catch (const PluginError& e) {
    ADD_FAILURE() << "plugin error " << e.message();
  } catch (const std::system_error& e) {
    EXPECT_EQ(std::string(e.what()), "write " + destination + ".jpg: No such file or directory");
  }
  EXPECT_TRUE(dir.entries().empty());
}

TEST(Write, DestinationWithNulIsRefused) {
  ScratchDir dir;
  const std::string destination = dir.file("a") + std::string(1, '\0') + "b";
  EXPECT_THROW(write(photo(8, 8).view(), destination, false, 1 << 20), std::system_error);
  EXPECT_TRUE(dir.entries().empty());
}

// --- fileResult -----------------------------------------------------------------------

// libpng's pngtest.png: stored 91 x 69 with EXIF orientation 5, so displayed 69 x 91.
const std::string kForeignPng = "orientation/png_exif_chunk_orientation5_pngtest.png";

TEST(FileResult, DescribesAPngItDidNotWrite) {
  const std::string path = testing::dataPath(kForeignPng);
  const EncodableMap result = fileResult(path, "image/png");
  EXPECT_EQ(keys(result), (std::vector<std::string>{"path", "filename", "mimeType", "width",
                                                    "height", "byteSize"}));
  EXPECT_EQ(testing::stringEntry(result, "path"), path);
  EXPECT_EQ(testing::stringEntry(result, "filename"), "png_exif_chunk_orientation5_pngtest.png");
  EXPECT_EQ(testing::stringEntry(result, "mimeType"), "image/png");
  EXPECT_EQ(testing::intEntry(result, "width"), 69);
  EXPECT_EQ(testing::intEntry(result, "height"), 91);
  EXPECT_EQ(testing::intEntry(result, "byteSize"), 8759);
}

// The size is the target's, like the width and height, not the link's own length.
TEST(FileResult, SymlinkReportsItsTargetsSize) {
  ScratchDir dir;
  const std::string link = dir.file("tile.png");
  fs::create_symlink(testing::dataPath(kForeignPng), link);
  const EncodableMap result = fileResult(link, "image/png");
  EXPECT_EQ(testing::stringEntry(result, "path"), link);
  EXPECT_EQ(testing::stringEntry(result, "filename"), "tile.png");
  EXPECT_EQ(testing::intEntry(result, "width"), 69);
  EXPECT_EQ(testing::intEntry(result, "byteSize"), 8759);
}

TEST(FileResult, AgreesWithWhatWriteReported) {
  ScratchDir dir;
  const EncodableMap written = write(photo(33, 17, true).view(), dir.file("t"), true, 1 << 20);
  EXPECT_EQ(fileResult(dir.file("t.png"), "image/png"), written);
}

TEST(FileResult, NonImageFailsAsMetadataDoes) {
  EXPECT_EQ(pluginErrorOf([] { fileResult(testing::dataPath("bad/text_named.jpg"), "image/png"); }),
            kUnreadable);
  ScratchDir dir;
  EXPECT_EQ(pluginErrorOf([&] { fileResult(dir.file("absent.png"), "image/png"); }), kUnreadable);
  fs::create_directory(dir.file("folder.png"));
  EXPECT_EQ(pluginErrorOf([&] { fileResult(dir.file("folder.png"), "image/png"); }), kUnreadable);
}

}  // namespace
}  // namespace velmo
