// "render" through the channel: the order of its checks, the typing rules of its arguments,
// and the pictures it writes.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdlib>
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

  static void expectFailure(const Reply& reply, const std::string& message) {
    expectError(reply, messages::kProcessingCode, message);
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

// The order of the checks is in RenderPipelineTest.FirstFailingStepDecidesWithEveryAnnotation-
// Present, and the awkward values of every number in AwkwardNumbersGetTheirDefinedResults below;
// the tests before it hold the boundaries of each check.
TEST_F(RenderTest, OutputSizeLimits) {
  auto sized = [&](EncodableValue w, EncodableValue h) {
    // No "path": a size that passes reaches the source check instead.
    return render(map({{"destination", dir_.file("a")}, {"width", w}, {"height", h}}));
  };
  expectFailure(sized(4000, 4000), messages::kUnreadableImage);
  expectFailure(sized(16380, 976), messages::kUnreadableImage);
  expectFailure(sized(1080.9, 1.5), messages::kUnreadableImage);
  expectFailure(sized(int64_t{5}, int64_t{5}), messages::kUnreadableImage);
  expectFailure(sized(4001, 4000), messages::kOutputOutOfRange);
  expectFailure(sized(16381, 1), messages::kOutputOutOfRange);
  expectFailure(sized(0, 10), messages::kOutputOutOfRange);
  expectFailure(sized(-10, 10), messages::kOutputOutOfRange);
  expectFailure(sized(1e12, 1e12), messages::kOutputOutOfRange);
  expectFailure(sized(int64_t{1} << 40, int64_t{1} << 40), messages::kOutputOutOfRange);
  expectFailure(sized(0.9, 10), messages::kOutputOutOfRange);
}

TEST_F(RenderTest, CropIsCheckedBeforeTheFileIsOpened) {
  auto cropped = [&](EncodableValue crop) {
    return render(map({{"destination", dir_.file("a")},
                       {"width", 10},
                       {"height", 10},
                       {"recipe", map({{"crop", crop}})}}));
  };
  expectFailure(cropped(EncodableList{0, 0, 1}), messages::kInvalidCrop);
  expectFailure(cropped(EncodableList{0, 0, 0, 1}), messages::kInvalidCrop);
  expectFailure(cropped(EncodableList{0, 0, 1, -1}), messages::kInvalidCrop);
  expectFailure(cropped(EncodableList{0, 0, std::nan(""), 1}), messages::kInvalidCrop);
  expectFailure(cropped(EncodableList{0, 0, 1, 1, 1}), messages::kInvalidCrop);
  // A typed-data list counts as absent and gives the whole photo, so the request goes on to
  // the file. (So are a list holding a string and a string: see
  // AwkwardNumbersGetTheirDefinedResults.)
  expectFailure(cropped(std::vector<double>{0, 0, 0, 0}), messages::kUnreadableImage);
  // x and y are not checked before the decode.
  expectFailure(cropped(EncodableList{1.5, 0, 1, 1}), messages::kUnreadableImage);
}

// An opaque photo gives a JPEG, one with alpha a PNG, whose extension is appended to any name.
// Its pixels are compared exactly in QuarterTurnsAndCropsAreExactOnPngSources.
TEST_F(RenderTest, WritesTheFormatOfThePhotoAtTheRequestedSize) {
  for (const bool alpha : {false, true}) {
    SCOPED_TRACE(alpha ? "alpha" : "opaque");
    const std::string out = dir_.file(alpha ? "a.jpg.png" : "out.jpg");
    const Reply reply = render(
        renderArguments(positionPng(64, 48, alpha), dir_.file(alpha ? "a.jpg" : "out"), 101.9, 37));
    ASSERT_TRUE(reply.ok()) << reply.errorMessage();
    EXPECT_EQ(describe(reply.map()),
              fileDescription(out, alpha ? "image/png" : "image/jpeg", 101, 37));
    EXPECT_EQ(sniffFormat(out), alpha ? "png" : "jpeg");
    const RgbaImage image = readImageFile(out);
    EXPECT_EQ(image.width, 101u);
    EXPECT_EQ(image.height, 37u);
  }
  EXPECT_EQ(dir_.entries(),
            (std::vector<std::string>{"a.jpg.png", "out.jpg", "photo-alpha.png", "photo.png"}));
}

TEST_F(RenderTest, QuarterTurnsAndCropsAreExactOnPngSources) {
  const uint32_t w = 30, h = 20;
  const std::string photo = positionPng(w, h, true);
  const RgbaImage source = readImageFile(photo);
  struct Case {
    EncodableValue turns;
    int expected;  // clockwise quarter turns
  };
  // Turns count modulo four, the most negative int64 included; a fraction or a string is
  // no turn.
  for (const Case& c :
       {Case{1, 1}, Case{2.0, 2}, Case{-1, 3}, Case{-2, 2}, Case{4, 0}, Case{5, 1}, Case{1.5, 0},
        Case{int64_t{6}, 2}, Case{std::numeric_limits<int64_t>::min(), 0}, Case{"1", 0}}) {
    SCOPED_TRACE(c.expected);
    const bool swap = c.expected % 2 == 1;
    const uint32_t ow = swap ? h : w, oh = swap ? w : h;
    // Keep the right half of the turned image (touching edges exactly).
    const uint32_t cw = ow / 2;
    Reply reply = render(
        renderArguments(photo, dir_.file("t"), static_cast<int32_t>(cw), static_cast<int32_t>(oh),
                        map({{"quarterTurns", c.turns}, {"crop", EncodableList{0.5, 0, 0.5, 1}}})));
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
      Reply reply = render(renderArguments(
          dataPath("orientation/" + name), dir_.file(name), 240, 180,
          map({{"quarterTurns", turns}, {"crop", EncodableList{0.1, 0.25, 0.7, 0.5}}})));
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
  writePngFile(photo, RgbaImage::filled(7, 5, 0xFF3C8AD2u), true);
  for (auto [w, h] : {std::pair{50u, 33u}, {3u, 2u}, {1u, 1u}, {7u, 40u}}) {
    SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
    ASSERT_TRUE(render(renderArguments(photo, dir_.file("u"), int64_t{w}, int64_t{h},
                                       map({{"crop", EncodableList{0.1, 0.2, 0.7, 0.6}}})))
                    .ok());
    EXPECT_EQ(
        maxDifference(readImageFile(dir_.file("u.png")), RgbaImage::filled(w, h, 0xFF3C8AD2u)), 0);
  }
}

TEST_F(RenderTest, CropMissingTheTurnedImageFailsAfterDecoding) {
  const std::string photo = positionPng(20, 10, false);
  auto cropped = [&](EncodableValue crop) {
    return render(renderArguments(photo, dir_.file("c"), 10, 10, map({{"crop", crop}})));
  };
  expectFailure(cropped(EncodableList{1.5, 0, 1, 1}), messages::kInvalidCrop);
  // Touching the right edge only, or ending at the top edge.
  expectFailure(cropped(EncodableList{1, 0, 0.5, 1}), messages::kInvalidCrop);
  expectFailure(cropped(EncodableList{0, -1, 1, 1}), messages::kInvalidCrop);
  expectFailure(cropped(EncodableList{0, 0, 1e308, 1e308}), messages::kInvalidCrop);
  expectFailure(cropped(EncodableList{-std::numeric_limits<double>::infinity(), 0,
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
  expectFailure(withReference(0, 10, dir_.file("missing.png")), messages::kUnreadableImage);
  expectFailure(withReference(0, 10, photo), messages::kInvalidWatermarkSize);
  expectFailure(withReference(16380.5, 10, photo), messages::kInvalidWatermarkSize);
  EXPECT_TRUE(withReference(16380, 0.001, photo).ok());
}

TEST_F(RenderTest, ByteLimit) {
  const std::string photo = positionPng(64, 48, false);
  auto limited = [&](EncodableValue limit) {
    EncodableMap arguments = renderArguments(photo, dir_.file("l"), 64, 48);
    arguments.emplace_back("maxFileBytes", limit);
    return render(arguments);
  };
  expectFailure(limited(100), messages::kOutputTooLarge);
  EXPECT_FALSE(std::filesystem::exists(dir_.file("l.jpg")));
  // 2^63 as a double (a client's INT64_MAX sent as a float) saturates; it must not wrap.
  EXPECT_TRUE(limited(9223372036854775808.0).ok());
  EXPECT_TRUE(limited(std::numeric_limits<int64_t>::max()).ok());
  expectFailure(limited(-9223372036854775808.0), messages::kOutputTooLarge);
}

// Each numeric argument given each awkward value: the reading rules (a wrong type is absent,
// NaN is absent or fails a comparison, infinities and huge values saturate) decide the answer.
TEST_F(RenderTest, AwkwardNumbersGetTheirDefinedResults) {
  const std::string photo = positionPng(40, 30, false);
  const double inf = std::numeric_limits<double>::infinity();
  const char* const names[] = {"NaN", "+Inf", "-Inf", "1e300", "-1", "string", "bool", "list"};
  const EncodableValue values[] = {std::nan(""), inf,  -inf, 1e300,
                                   -1,           "12", true, EncodableList{1}};
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
    return outcome(render(arguments));
  };
  const std::string ok = "ok";
  const std::string size = messages::kOutputOutOfRange, crop = messages::kInvalidCrop,
                    ref = messages::kInvalidWatermarkSize, bytes = messages::kOutputTooLarge;
  struct Row {
    const char* key;
    bool inRecipe;
    // Expected for NaN, +Inf, -Inf, 1e300, -1, string, bool, list.
    std::array<std::string, 8> expected;
  };
  const Row rows[] = {
      {"width", false, {size, size, size, size, size, size, size, size}},
      {"height", false, {size, size, size, size, size, size, size, size}},
      {"referenceWidth", false, {ref, ref, ref, ref, ref, ok, ok, ok}},
      {"referenceHeight", false, {ref, ref, ref, ref, ref, ok, ok, ok}},
      {"maxFileBytes", false, {ok, ok, bytes, ok, bytes, ok, ok, ok}},
      // Not integral, or beyond int64: absent, so no turn; -1 is three turns.
      {"quarterTurns", true, {ok, ok, ok, ok, ok, ok, ok, ok}},
      // Not a list: the whole photo.
      {"crop", true, {ok, ok, ok, ok, ok, ok, ok, crop}},
  };
  for (const Row& row : rows) {
    for (size_t i = 0; i < std::size(values); ++i) {
      EXPECT_EQ(call(row.key, values[i], row.inRecipe), row.expected[i])
          << row.key << " = " << names[i];
    }
  }
  // Inside the crop list, each element given each value.
  for (size_t element = 0; element < 4; ++element) {
    for (size_t i = 0; i < std::size(values); ++i) {
      const EncodableValue& value = values[i];
      EncodableList list{0.0, 0.0, 1.0, 1.0};
      list[element] = value;
      const std::string answer = call("crop", list, true);
      const bool number =
          std::holds_alternative<double>(value) || std::holds_alternative<int32_t>(value);
      // A non-number makes the list absent (the whole photo). A number: NaN, non-positive or
      // non-finite edges fail the crop checks, before or after the decode, and so does an
      // origin that leaves the image; a huge finite size is clipped to the image.
      std::string expected = number ? crop : ok;
      if (element >= 2 && std::string(names[i]) == "1e300") expected = ok;
      EXPECT_EQ(answer, expected) << "crop[" << element << "] = " << names[i];
    }
  }
}

}  // namespace
}  // namespace velmo::testing
