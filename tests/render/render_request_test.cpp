// "render" through the channel: the order of its checks, the typing rules of its arguments,
// and the pictures it writes.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>

#include "tests/support/image_files.h"
#include "tests/support/messages.h"
#include "tests/support/test_support.h"

namespace velmo::testing {
namespace {

using host::EncodableList;
using host::EncodableMap;
using host::EncodableValue;

class RenderTest : public ::testing::Test {
 protected:
  Reply render(EncodableMap arguments) { return harness_.call("render", arguments); }

  static void expectError(const Reply& reply, const std::string& message) {
    ASSERT_EQ(reply.kind, Reply::Kind::Error) << "expected " << message;
    EXPECT_EQ(reply.error.code, "PHOTO_PROCESSING");
    EXPECT_EQ(reply.errorMessage(), message);
    EXPECT_TRUE(reply.error.details.isNull());
  }

  // A PNG photo whose pixel (x, y) encodes its position, so moves are visible exactly. With
  // |alpha| every pixel is translucent (alpha 128 to 255, varying), so that the canvas's
  // premultiplied pixels are exercised.
  std::string positionPng(uint32_t w, uint32_t h, bool alpha) {
    std::string path = dir_.file(std::string("photo") + (alpha ? "-alpha" : "") + ".png");
    writePngFile(path,
                 RgbaImage::generate(w, h,
                                     [alpha](uint32_t x, uint32_t y) {
                                       const uint32_t a =
                                           alpha ? 0x80 + ((x * 7 + y * 13) & 0x7F) : 0xFF;
                                       return (a << 24) | (x << 16) | (y << 8) | 0x40;
                                     }),
                 alpha);
    return path;
  }

  // Whether two straight RGBA pixels are the same after a trip through premultiplied 8-bit
  // values: alpha exact, colour within 1 (alpha is at least 128 here).
  static bool sameTranslucent(const uint8_t* a, const uint8_t* b) {
    if (a[3] != b[3]) return false;
    for (int i = 0; i < 3; ++i) {
      if (std::abs(int{a[i]} - int{b[i]}) > 1) return false;
    }
    return true;
  }

  PluginHarness harness_;
  ScratchDir dir_;
};

TEST_F(RenderTest, FirstFailingCheckDecides) {
  // Everything after each check is wrong as well, so only the order can pick the message.
  const EncodableValue badCrop = EncodableList{0, 0, 0};
  expectError(render({}), messages::kNoDestination);
  expectError(render(map({{"destination", 5}, {"width", 0}, {"recipe", map({{"crop", badCrop}})}})),
              messages::kNoDestination);
  expectError(render(map({{"destination", dir_.file("a")},
                          {"width", 0},
                          {"height", 10},
                          {"recipe", map({{"crop", badCrop}})}})),
              messages::kOutputOutOfRange);
  expectError(render(map({{"destination", dir_.file("a")},
                          {"width", 10},
                          {"height", 10},
                          {"recipe", map({{"crop", badCrop}})}})),
              messages::kInvalidCrop);
  // With a valid crop the file is opened next: "path" is missing.
  expectError(render(map({{"destination", dir_.file("a")}, {"width", 10}, {"height", 10}})),
              messages::kUnreadableImage);
  EXPECT_TRUE(dir_.entries().empty());
}

TEST_F(RenderTest, OutputSizeLimits) {
  auto sized = [&](EncodableValue w, EncodableValue h) {
    // No "path": a size that passes reaches the source check instead.
    return render(map({{"destination", dir_.file("a")}, {"width", w}, {"height", h}}));
  };
  const double inf = std::numeric_limits<double>::infinity();
  expectError(sized(4000, 4000), messages::kUnreadableImage);
  expectError(sized(16380, 976), messages::kUnreadableImage);
  expectError(sized(1080.9, 1.5), messages::kUnreadableImage);
  expectError(sized(int64_t{5}, int64_t{5}), messages::kUnreadableImage);
  expectError(sized(4001, 4000), messages::kOutputOutOfRange);
  expectError(sized(16381, 1), messages::kOutputOutOfRange);
  expectError(sized(0, 10), messages::kOutputOutOfRange);
  expectError(sized(-10, 10), messages::kOutputOutOfRange);
  expectError(sized("100", 10), messages::kOutputOutOfRange);
  expectError(sized(true, 10), messages::kOutputOutOfRange);
  expectError(sized(std::nan(""), 10), messages::kOutputOutOfRange);
  expectError(sized(inf, 10), messages::kOutputOutOfRange);
  expectError(sized(1e12, 1e12), messages::kOutputOutOfRange);
  expectError(sized(int64_t{1} << 40, int64_t{1} << 40), messages::kOutputOutOfRange);
  expectError(sized(0.9, 10), messages::kOutputOutOfRange);
}

TEST_F(RenderTest, CropIsCheckedBeforeTheFileIsOpened) {
  auto cropped = [&](EncodableValue crop) {
    return render(map({{"destination", dir_.file("a")},
                       {"width", 10},
                       {"height", 10},
                       {"recipe", map({{"crop", crop}})}}));
  };
  expectError(cropped(EncodableList{0, 0, 1}), messages::kInvalidCrop);
  expectError(cropped(EncodableList{0, 0, 0, 1}), messages::kInvalidCrop);
  expectError(cropped(EncodableList{0, 0, 1, -1}), messages::kInvalidCrop);
  expectError(cropped(EncodableList{0, 0, std::nan(""), 1}), messages::kInvalidCrop);
  expectError(cropped(EncodableList{0, 0, 1, 1, 1}), messages::kInvalidCrop);
  // Lists that count as absent give the whole photo, so the request goes on to the file.
  expectError(cropped(EncodableList{0, 0, "1", 1}), messages::kUnreadableImage);
  expectError(cropped(std::vector<double>{0, 0, 0, 0}), messages::kUnreadableImage);
  expectError(cropped("0,0,1,1"), messages::kUnreadableImage);
  // x and y are not checked before the decode.
  expectError(cropped(EncodableList{1.5, 0, 1, 1}), messages::kUnreadableImage);
}

TEST_F(RenderTest, WritesJpegForOpaquePhotosAtTheRequestedSize) {
  const std::string photo = positionPng(64, 48, false);
  Reply reply = render(
      map({{"path", photo}, {"destination", dir_.file("out")}, {"width", 101.9}, {"height", 37}}));
  ASSERT_TRUE(reply.ok()) << reply.errorMessage();
  EXPECT_EQ(stringEntry(reply.map(), "path"), dir_.file("out.jpg"));
  EXPECT_EQ(stringEntry(reply.map(), "filename"), "out.jpg");
  EXPECT_EQ(stringEntry(reply.map(), "mimeType"), "image/jpeg");
  EXPECT_EQ(intEntry(reply.map(), "width"), 101);
  EXPECT_EQ(intEntry(reply.map(), "height"), 37);
  EXPECT_EQ(intEntry(reply.map(), "byteSize"),
            static_cast<int64_t>(std::filesystem::file_size(dir_.file("out.jpg"))));
  EXPECT_EQ(sniffFormat(dir_.file("out.jpg")), "jpeg");
  RgbaImage out = readImageFile(dir_.file("out.jpg"));
  EXPECT_EQ(out.width, 101u);
  EXPECT_EQ(out.height, 37u);
  EXPECT_EQ(dir_.entries(), (std::vector<std::string>{"out.jpg", "photo.png"}));
}

TEST_F(RenderTest, PhotoWithAlphaGivesPng) {
  const std::string photo = positionPng(20, 10, true);
  Reply reply = render(
      map({{"path", photo}, {"destination", dir_.file("a.jpg")}, {"width", 20}, {"height", 10}}));
  ASSERT_TRUE(reply.ok()) << reply.errorMessage();
  EXPECT_EQ(stringEntry(reply.map(), "filename"), "a.jpg.png");
  EXPECT_EQ(stringEntry(reply.map(), "mimeType"), "image/png");
  const RgbaImage out = readImageFile(dir_.file("a.jpg.png"));
  const RgbaImage source = readImageFile(photo);
  int mismatches = 0;
  for (uint32_t y = 0; y < 10; ++y) {
    for (uint32_t x = 0; x < 20; ++x) mismatches += !sameTranslucent(out.at(x, y), source.at(x, y));
  }
  EXPECT_EQ(mismatches, 0);
}

TEST_F(RenderTest, QuarterTurnsAndCropsAreExactOnPngSources) {
  const uint32_t w = 30, h = 20;
  const std::string photo = positionPng(w, h, true);
  const RgbaImage source = readImageFile(photo);
  struct Case {
    EncodableValue turns;
    int expected;  // clockwise quarter turns
  };
  for (const Case& c : {Case{1, 1}, Case{2.0, 2}, Case{-1, 3}, Case{4, 0}, Case{1.5, 0},
                        Case{int64_t{6}, 2}, Case{"1", 0}}) {
    SCOPED_TRACE(c.expected);
    const bool swap = c.expected % 2 == 1;
    const uint32_t ow = swap ? h : w, oh = swap ? w : h;
    // Keep the right half of the turned image (touching edges exactly).
    const uint32_t cw = ow / 2;
    Reply reply = render(map(
        {{"path", photo},
         {"destination", dir_.file("t")},
         {"width", static_cast<int32_t>(cw)},
         {"height", static_cast<int32_t>(oh)},
         {"recipe", map({{"quarterTurns", c.turns}, {"crop", EncodableList{0.5, 0, 0.5, 1}}})}}));
    ASSERT_TRUE(reply.ok()) << reply.errorMessage();
    RgbaImage out = readImageFile(dir_.file("t.png"));
    ASSERT_EQ(out.width, cw);
    ASSERT_EQ(out.height, oh);
    int mismatches = 0;
    for (uint32_t y = 0; y < h; ++y) {
      for (uint32_t x = 0; x < w; ++x) {
        uint32_t dx = c.expected == 1   ? h - 1 - y
                      : c.expected == 2 ? w - 1 - x
                      : c.expected == 3 ? y
                                        : x;
        uint32_t dy = c.expected == 1   ? x
                      : c.expected == 2 ? h - 1 - y
                      : c.expected == 3 ? w - 1 - x
                                        : y;
        if (dx < ow - cw) continue;
        if (!sameTranslucent(out.at(dx - (ow - cw), dy), source.at(x, y))) ++mismatches;
      }
    }
    EXPECT_EQ(mismatches, 0);
  }
}

TEST_F(RenderTest, CameraPhotosRenderUpright) {
  // Portrait_2 to _8 hold the picture of Portrait_1 stored mirrored or turned and tagged with
  // the orientation that lays it upright: rendered with the same crop and turns, each must
  // match Portrait_1. A JPEG's crop is decoded on its own, so this also checks that the crop
  // is found in the stored picture for every orientation and turn.
  for (int turns = 0; turns < 4; ++turns) {
    auto renderPhoto = [&](const std::string& name) {
      Reply reply = render(map({{"path", dataPath("orientation/" + name)},
                                {"destination", dir_.file(name)},
                                {"width", 240},
                                {"height", 180},
                                {"recipe", map({{"quarterTurns", turns},
                                                {"crop", EncodableList{0.1, 0.25, 0.7, 0.5}}})}}));
      EXPECT_TRUE(reply.ok()) << reply.errorMessage();
      return readImageFile(dir_.file(name + ".jpg"));
    };
    const RgbaImage upright = renderPhoto("Portrait_1.jpg");
    ASSERT_EQ(upright.width, 240u);
    for (int orientation = 2; orientation <= 8; ++orientation) {
      SCOPED_TRACE(::testing::Message() << "orientation " << orientation << ", turns " << turns);
      // A mirror or turn applied wrongly would not come close.
      EXPECT_GT(psnr(renderPhoto("Portrait_" + std::to_string(orientation) + ".jpg"), upright),
                28.0);
    }
  }
}

TEST_F(RenderTest, StretchedEdgesKeepTheirColour) {
  // A uniform photo stays exactly uniform at any output size: no edge fades toward
  // transparent or black when the canvas is larger or smaller than the crop.
  const std::string photo = dir_.file("uniform.png");
  writePngFile(photo, RgbaImage::generate(7, 5, [](uint32_t, uint32_t) { return 0xFF3C8AD2u; }),
               true);
  for (auto [w, h] : {std::pair{50, 33}, {3, 2}, {1, 1}, {7, 40}}) {
    SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
    ASSERT_TRUE(render(map({{"path", photo},
                            {"destination", dir_.file("u")},
                            {"width", w},
                            {"height", h},
                            {"recipe", map({{"crop", EncodableList{0.1, 0.2, 0.7, 0.6}}})}}))
                    .ok());
    const RgbaImage out = readImageFile(dir_.file("u.png"));
    ASSERT_EQ(out.width, static_cast<uint32_t>(w));
    EXPECT_EQ(maxDifference(
                  out, RgbaImage::generate(w, h, [](uint32_t, uint32_t) { return 0xFF3C8AD2u; })),
              0);
  }
}

TEST_F(RenderTest, CropMissingTheTurnedImageFailsAfterDecoding) {
  const std::string photo = positionPng(20, 10, false);
  auto cropped = [&](EncodableValue crop) {
    return render(map({{"path", photo},
                       {"destination", dir_.file("c")},
                       {"width", 10},
                       {"height", 10},
                       {"recipe", map({{"crop", crop}})}}));
  };
  expectError(cropped(EncodableList{1.5, 0, 1, 1}), messages::kInvalidCrop);
  expectError(cropped(EncodableList{1, 0, 0.5, 1}), messages::kInvalidCrop);
  expectError(cropped(EncodableList{0, 0, 1e308, 1e308}), messages::kInvalidCrop);
  expectError(cropped(EncodableList{-std::numeric_limits<double>::infinity(), 0,
                                    std::numeric_limits<double>::infinity(), 1}),
              messages::kInvalidCrop);
  EXPECT_TRUE(cropped(EncodableList{-0.5, 0, 1, 1}).ok());
  EXPECT_TRUE(cropped(EncodableList{0, 0, 2, 2}).ok());
}

TEST_F(RenderTest, ReferenceSizeIsCheckedAfterTheDecode) {
  const std::string photo = positionPng(20, 10, false);
  auto withReference = [&](EncodableValue rw, EncodableValue rh, const std::string& path) {
    return render(map({{"path", path},
                       {"destination", dir_.file("r")},
                       {"width", 10},
                       {"height", 10},
                       {"referenceWidth", rw},
                       {"referenceHeight", rh}}));
  };
  // A bad reference size with an unreadable file reports the file.
  expectError(withReference(0, 10, dir_.file("missing.png")), messages::kUnreadableImage);
  expectError(withReference(0, 10, photo), messages::kInvalidWatermarkSize);
  expectError(withReference(16380.5, 10, photo), messages::kInvalidWatermarkSize);
  expectError(withReference(10, std::nan(""), photo), messages::kInvalidWatermarkSize);
  expectError(withReference(10, -1, photo), messages::kInvalidWatermarkSize);
  EXPECT_TRUE(withReference(16380, 0.001, photo).ok());
  // Non-numbers take the output size.
  EXPECT_TRUE(withReference("0", EncodableValue(), photo).ok());
}

TEST_F(RenderTest, ByteLimit) {
  const std::string photo = positionPng(64, 48, false);
  auto limited = [&](EncodableValue limit) {
    return render(map({{"path", photo},
                       {"destination", dir_.file("l")},
                       {"width", 64},
                       {"height", 48},
                       {"maxFileBytes", limit}}));
  };
  expectError(limited(100), messages::kOutputTooLarge);
  expectError(limited(-1), messages::kOutputTooLarge);
  expectError(limited(-std::numeric_limits<double>::infinity()), messages::kOutputTooLarge);
  EXPECT_FALSE(std::filesystem::exists(dir_.file("l.jpg")));
  EXPECT_TRUE(limited(std::numeric_limits<double>::infinity()).ok());
  EXPECT_TRUE(limited(std::nan("")).ok());
  EXPECT_TRUE(limited("12").ok());
  // 2^63 as a double (a client's INT64_MAX sent as a float) saturates; it must not wrap.
  EXPECT_TRUE(limited(9223372036854775808.0).ok());
  EXPECT_TRUE(limited(std::numeric_limits<int64_t>::max()).ok());
  expectError(limited(-9223372036854775808.0), messages::kOutputTooLarge);
}

// Each numeric argument given each awkward value: the reading rules (a wrong type is absent,
// NaN is absent or fails a comparison, infinities and huge values saturate) decide the answer.
TEST_F(RenderTest, AwkwardNumbersGetTheirDefinedResults) {
  const std::string photo = positionPng(40, 30, false);
  const double inf = std::numeric_limits<double>::infinity();
  const std::vector<std::pair<const char*, EncodableValue>> values = {{"NaN", std::nan("")},
                                                                      {"+Inf", inf},
                                                                      {"-Inf", -inf},
                                                                      {"1e300", 1e300},
                                                                      {"-1", -1},
                                                                      {"string", "12"},
                                                                      {"bool", true},
                                                                      {"list", EncodableList{1}}};
  auto call = [&](const char* key, const EncodableValue& value, bool inRecipe) {
    EncodableMap recipe;
    EncodableMap arguments{
        {"path", photo}, {"destination", dir_.file("n")}, {"width", 40}, {"height", 30}};
    if (inRecipe) {
      recipe.emplace_back(key, value);
    } else {
      std::erase_if(arguments, [&](const auto& e) { return e.first == EncodableValue(key); });
      arguments.emplace_back(key, value);
    }
    arguments.emplace_back("recipe", recipe);
    const Reply reply = render(arguments);
    return reply.ok() ? std::string("ok") : reply.errorMessage();
  };
  const std::string ok = "ok";
  const std::string size = messages::kOutputOutOfRange, crop = messages::kInvalidCrop,
                    reference = messages::kInvalidWatermarkSize, bytes = messages::kOutputTooLarge;
  struct Row {
    const char* key;
    bool inRecipe;
    // Expected for NaN, +Inf, -Inf, 1e300, -1, string, bool, list.
    std::array<std::string, 8> expected;
  };
  const Row rows[] = {
      {"width", false, {size, size, size, size, size, size, size, size}},
      {"height", false, {size, size, size, size, size, size, size, size}},
      {"referenceWidth",
       false,
       {reference, reference, reference, reference, reference, ok, ok, ok}},
      {"referenceHeight",
       false,
       {reference, reference, reference, reference, reference, ok, ok, ok}},
      {"maxFileBytes", false, {ok, ok, bytes, ok, bytes, ok, ok, ok}},
      // Not integral, or beyond int64: absent, so no turn; -1 is three turns.
      {"quarterTurns", true, {ok, ok, ok, ok, ok, ok, ok, ok}},
      // Not a list: the whole photo.
      {"crop", true, {ok, ok, ok, ok, ok, ok, ok, crop}},
  };
  for (const Row& row : rows) {
    for (size_t i = 0; i < values.size(); ++i) {
      EXPECT_EQ(call(row.key, values[i].second, row.inRecipe), row.expected[i])
          << row.key << " = " << values[i].first;
    }
  }
  // Inside the crop list, each element given each value.
  for (size_t element = 0; element < 4; ++element) {
    for (const auto& [name, value] : values) {
      EncodableList list{0.0, 0.0, 1.0, 1.0};
      list[element] = value;
      const std::string answer = call("crop", list, true);
      const bool number =
          std::holds_alternative<double>(value) || std::holds_alternative<int32_t>(value);
      // A non-number makes the list absent (the whole photo). A number: NaN, non-positive or
      // non-finite edges fail the crop checks, before or after the decode, and so does an
      // origin that leaves the image; a huge finite size is clipped to the image.
      std::string expected = number ? crop : ok;
      if (element >= 2 && std::string(name) == "1e300") expected = ok;
      EXPECT_EQ(answer, expected) << "crop[" << element << "] = " << name;
    }
  }
}

TEST_F(RenderTest, WriteFailuresCarryTheFileSystemsReason) {
  const std::string photo = positionPng(8, 8, false);
  const std::string destination = dir_.file("no-such-dir/out");
  Reply reply =
      render(map({{"path", photo}, {"destination", destination}, {"width", 8}, {"height", 8}}));
  ASSERT_EQ(reply.kind, Reply::Kind::Error);
  EXPECT_EQ(reply.error.code, "PHOTO_PROCESSING");
  EXPECT_NE(reply.errorMessage().find(destination + ".jpg"), std::string::npos)
      << reply.errorMessage();
  EXPECT_NE(reply.errorMessage().find("No such file or directory"), std::string::npos);
}

TEST_F(RenderTest, AnimationsAreRefused) {
  expectError(render(map({{"path", dataPath("formats/gif_anim_31frames.gif")},
                          {"destination", dir_.file("g")},
                          {"width", 10},
                          {"height", 10}})),
              messages::kNotStillImage);
}

}  // namespace
}  // namespace velmo::testing
