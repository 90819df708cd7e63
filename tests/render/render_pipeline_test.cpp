// "render" from end to end with every annotation present: the first failing step decides the
// message, strokes and the watermark land where they should after a crop and a turn, the
// output format follows the photo, and the byte limit works with annotations drawn.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/image_files.h"
#include "tests/support/messages.h"
#include "tests/support/test_support.h"

namespace velmo::testing {
namespace {

using host::EncodableList;
using host::EncodableMap;
using host::EncodableValue;

class RenderPipelineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    grey_ = dir_.file("grey.png");
    writePngFile(grey_, RgbaImage::filled(400, 300, 0xFF808080u), false);
  }

  // A red dot at |point| (fractions of the oriented photo), a blur brush, and a watermark.
  static EncodableMap recipe(EncodableValue crop, int turns, EncodableList point) {
    return map({{"crop", std::move(crop)},
                {"quarterTurns", turns},
                {"strokes", EncodableList{map({{"shape", "blur"},
                                               {"points", EncodableList{EncodableList{0.9, 0.1}}},
                                               {"widthFraction", 0.05}}),
                                          map({{"shape", "freehand"},
                                               {"points", EncodableList{std::move(point)}},
                                               {"colorARGB", int64_t{0xFFFF0000}},
                                               {"widthFraction", 0.1}})}},
                {"watermark", map({{"enabled", true}, {"text", "Velmo 維爾莫"}})}});
  }

  std::string answer(const EncodableMap& arguments) {
    return outcome(harness_.call("render", arguments));
  }

  ScratchDir dir_;
  std::string grey_;
  PluginHarness harness_;
};

TEST_F(RenderPipelineTest, FirstFailingStepDecidesWithEveryAnnotationPresent) {
  expectError(harness_.call("render", EncodableMap{}), messages::kProcessingCode,
              messages::kNoDestination);
  const std::string animated = dataPath("formats/gif_anim_31frames.gif");
  const std::string cut = dataPath("bad/jpeg_truncated_progressive.jpg");
  // Each row fixes the step that failed in the row before; everything after it stays wrong.
  struct Row {
    EncodableValue destination, width, path, crop, reference, maxFileBytes;
    std::string expected;
  };
  const EncodableValue none;
  const EncodableValue badCrop = EncodableList{0, 0, 1};
  const EncodableValue offCrop = EncodableList{1.5, 0, 1, 1};  // passes the early check only
  const EncodableValue goodCrop = EncodableList{0, 0, 1, 1};
  const std::string out = dir_.file("out");
  const std::string nowhere = dir_.file("missing/out");
  const std::vector<Row> rows = {
      {5, 0, none, badCrop, 0.0, 0, messages::kNoDestination},
      {nowhere, 0, none, badCrop, 0.0, 0, messages::kOutputOutOfRange},
      {nowhere, 40, none, badCrop, 0.0, 0, messages::kInvalidCrop},
      {nowhere, 40, none, offCrop, 0.0, 0, messages::kUnreadableImage},
      {nowhere, 40, animated, offCrop, 0.0, 0, messages::kNotStillImage},
      {nowhere, 40, cut, offCrop, 0.0, 0, messages::kCannotDecode},
      {nowhere, 40, grey_, offCrop, 0.0, 0, messages::kInvalidCrop},
      {nowhere, 40, grey_, goodCrop, 0.0, 0, messages::kInvalidWatermarkSize},
      {nowhere, 40, grey_, goodCrop, 40.0, 0, messages::kOutputTooLarge},
      {out, 40, grey_, goodCrop, 40.0, 1'000'000, "ok"},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    const Row& r = rows[i];
    EncodableMap arguments{{"destination", r.destination},
                           {"width", r.width},
                           {"height", 30},
                           {"referenceWidth", r.reference},
                           {"maxFileBytes", r.maxFileBytes},
                           {"recipe", recipe(r.crop, 1, EncodableList{0.5, 0.5})}};
    if (!r.path.isNull()) arguments.emplace_back("path", r.path);
    EXPECT_EQ(answer(arguments), r.expected) << "row " << i;
  }
  // With every check passed, only the write is left to fail, with the file system's reason.
  const Reply failed = harness_.call(
      "render",
      renderArguments(grey_, nowhere, 40, 30, recipe(goodCrop, 1, EncodableList{0.5, 0.5})));
  ASSERT_EQ(failed.kind, Reply::Kind::Error);
  EXPECT_EQ(failed.error.code, messages::kProcessingCode);
  EXPECT_NE(failed.errorMessage().find(nowhere + ".jpg"), std::string::npos)
      << failed.errorMessage();
  EXPECT_NE(failed.errorMessage().find("No such file or directory"), std::string::npos);
  EXPECT_EQ(dir_.entries(), (std::vector<std::string>{"grey.png", "out.jpg"}));
}

TEST_F(RenderPipelineTest, AnnotationsLandWhereTheyShouldAfterACropAndATurn) {
  // Turned once, the 400 x 300 photo is 300 x 400; the crop keeps its right half (150 x 400).
  // A dot at (0.75, 0.5) of the turned photo lands at (75, 200) of the 150 x 400 output; the
  // watermark box ends pad = 6 px from the bottom-right corner.
  ASSERT_EQ(
      answer(renderArguments(grey_, dir_.file("t"), 150, 400,
                             recipe(EncodableList{0.5, 0, 0.5, 1}, 1, EncodableList{0.75, 0.5}))),
      "ok");
  const RgbaImage out = readImageFile(dir_.file("t.jpg"));
  ASSERT_EQ(out.width, 150u);
  ASSERT_EQ(out.height, 400u);
  auto near = [](const uint8_t* p, int r, int g, int b, int tolerance) {
    return std::abs(p[0] - r) <= tolerance && std::abs(p[1] - g) <= tolerance &&
           std::abs(p[2] - b) <= tolerance;
  };
  EXPECT_TRUE(near(out.at(75, 200), 255, 0, 0, 40)) << "the dot";
  EXPECT_TRUE(near(out.at(20, 200), 128, 128, 128, 6)) << "beside the dot";
  EXPECT_TRUE(near(out.at(75, 120), 128, 128, 128, 6)) << "above the dot";
  // Black at 0.48 over grey 128 is about 67, in the box's padding band just inside its corner.
  EXPECT_TRUE(near(out.at(150 - 6 - 3, 400 - 6 - 3), 67, 67, 67, 12)) << "the watermark box";
  EXPECT_TRUE(near(out.at(148, 398), 128, 128, 128, 6)) << "outside the box";
}

TEST_F(RenderPipelineTest, FormatFollowsThePhotoWhateverIsDrawn) {
  const std::string rgba = dir_.file("rgba.png");
  writePngFile(rgba, RgbaImage::filled(40, 30, 0xFF204060u), true);
  const EncodableMap opaqueMarks = recipe(EncodableList{0, 0, 1, 1}, 0, EncodableList{0.5, 0.5});
  auto render = [&](const std::string& path, const char* name) {
    const Reply reply =
        harness_.call("render", renderArguments(path, dir_.file(name), 40, 30, opaqueMarks));
    return reply.ok() ? stringEntry(reply.map(), "mimeType").value_or("") : reply.errorMessage();
  };
  EXPECT_EQ(render(rgba, "a"), "image/png");  // declared alpha, opaque pixels and marks
  EXPECT_EQ(render(grey_, "b"), "image/jpeg");
}

TEST_F(RenderPipelineTest, ByteLimitLadderWithAnnotationsDrawn) {
  const std::string noisy = dir_.file("noisy.png");
  writePngFile(noisy,
               RgbaImage::generate(600, 400,
                                   [](uint32_t x, uint32_t y) {
                                     const uint32_t v = (x * 2654435761u) ^ (y * 40503u) ^ (x * y);
                                     return 0xFF000000u | (v & 0xFFFFFF);
                                   }),
               false);
  auto render = [&](EncodableValue limit) {
    EncodableMap arguments =
        renderArguments(noisy, dir_.file("l"), 600, 400,
                        recipe(EncodableList{0, 0, 1, 1}, 0, EncodableList{0.5, 0.5}));
    if (!limit.isNull()) arguments.emplace_back("maxFileBytes", limit);
    return harness_.call("render", arguments);
  };
  const Reply unlimited = render(EncodableValue());  // the default 8 MiB: the first rung fits
  ASSERT_TRUE(unlimited.ok()) << unlimited.errorMessage();
  const int64_t first = intEntry(unlimited.map(), "byteSize").value_or(0);
  const Reply lower = render(first - 1);  // a lower rung
  ASSERT_TRUE(lower.ok()) << lower.errorMessage();
  EXPECT_LT(intEntry(lower.map(), "byteSize").value_or(first), first);
  EXPECT_EQ(render(first / 4).errorMessage(), messages::kOutputTooLarge);
}

}  // namespace
}  // namespace velmo::testing
