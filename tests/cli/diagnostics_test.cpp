// What a call tells a developer beside its reply, seen from the command line: the reply on
// standard output stays what the channel's contract says, byte for byte, and standard error
// carries the English reason of a failure ("why: ...") and a warning for each thing the
// reading of the arguments forgave ("warning: ...").
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/image_files.h"
#include "tests/support/messages.h"
#include "tests/support/test_support.h"

namespace velmo {
namespace {

struct Outcome {
  int status = -1;
  std::string out, err;
};

// `velmo-image-tools call METHOD ARGS`, its standard output and standard error.
Outcome call(const std::string& method, const std::string& args) {
  testing::ScratchDir dir;
  std::ofstream(dir.file("args.json")) << args;
  std::string command = VELMO_CLI_PATH;
  command.append(" call ").append(method).append(" @").append(dir.file("args.json"));
  command.append(" >").append(dir.file("out")).append(" 2>").append(dir.file("err"));
  const int status = std::system(command.c_str());
  if (!WIFEXITED(status)) return {};
  return {WEXITSTATUS(status), testing::readText(dir.file("out")),
          testing::readText(dir.file("err"))};
}

std::string jsonString(const std::string& text) {
  return "\"" + text + "\"";
}

class CliDiagnostics : public ::testing::Test {
 protected:
  CliDiagnostics() {
    testing::writePngFile(photo_,
                          testing::RgbaImage::generate(64, 48,
                                                       [](uint32_t x, uint32_t y) {
                                                         return 0xFF000000u | (x * 4) << 16 |
                                                                (y * 5) << 8 | 0x40u;
                                                       }),
                          false);
  }

  // A render of the photo to 80 x 60 into |name| with |recipe| (JSON) and |extra| keys.
  Outcome render(const std::string& name, const std::string& recipe,
                 const std::string& extra = R"("width": 80, "height": 60)") {
    return call("render", R"({"path": )" + jsonString(photo_) + R"(, "destination": )" +
                              jsonString(dir_.file(name)) + ", " + extra + R"(, "recipe": )" +
                              recipe + "}");
  }

  testing::ScratchDir dir_;
  std::string photo_ = dir_.file("photo.png");
};

TEST_F(CliDiagnostics, EveryFailureHasItsReasonAndTheSameReply) {
  const std::string unreadable =
      R"({"error":{"code":")" + std::string(testing::messages::kProcessingCode) +
      R"(","message":")" + std::string(testing::messages::kUnreadableImage) +
      R"(","details":null}})" + "\n";
  std::ofstream(dir_.file("notes.txt")) << "not an image\n";
  std::filesystem::create_directory(dir_.file("folder"));
  const struct {
    std::string args;
    std::string why;
  } mistakes[] = {
      {R"({"path": 5})", R"(metadata: "path" is the number 5, not a string)"},
      {R"({"pth": "a.jpg"})", R"(metadata: "path" is absent)"},
      {R"({"path": ")" + dir_.file("absent.jpg") + "\"}",
       "metadata: " + dir_.file("absent.jpg") + ": No such file or directory"},
      {R"({"path": ")" + dir_.file("notes.txt") + "\"}",
       "metadata: " + dir_.file("notes.txt") +
           ": not an image of a known format (JPEG, PNG, GIF, WebP, HEIF/AVIF), or its header "
           "is damaged"},
      {R"({"path": ")" + dir_.file("folder") + "\"}",
       "metadata: " + dir_.file("folder") + ": a directory, not a file"},
  };
  for (const auto& mistake : mistakes) {
    SCOPED_TRACE(mistake.args);
    const Outcome outcome = call("metadata", mistake.args);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.out, unreadable);
    EXPECT_EQ(outcome.err, "why: " + mistake.why + "\n");
  }

  // Render's own checks name the numbers involved.
  Outcome outcome = render("small", "{}", R"("width": 80, "height": 60, "maxFileBytes": 100)");
  EXPECT_EQ(outcome.status, 1);
  EXPECT_NE(outcome.err.find("why: render: no JPEG quality of the ladder (92, 88, 84) fits "
                             "maxFileBytes 100 (92: "),
            std::string::npos)
      << outcome.err;
  outcome = render("wide", "{}", R"("width": 20000, "height": 60)");
  EXPECT_NE(outcome.err.find("why: render: the output size 20000 x 60"), std::string::npos)
      << outcome.err;
  outcome = render("crop", R"({"crop": [0, 0, 1]})");
  EXPECT_EQ(outcome.err,
            "why: render: \"crop\" [0, 0, 1] has 3 numbers, not 4 [x, y, width, height]\n");
  // A file that cannot be written: the reply is the file system's own reason, and so is why.
  outcome = call("render", R"({"path": )" + jsonString(photo_) +
                               R"(, "destination": "/no-such-dir/out", "width": 8, "height": 6})");
  EXPECT_EQ(outcome.status, 1);
  EXPECT_NE(outcome.out.find("No such file or directory"), std::string::npos) << outcome.out;
  EXPECT_NE(outcome.err.find("why: render: "), std::string::npos) << outcome.err;
  EXPECT_NE(outcome.err.find("/no-such-dir/out.jpg"), std::string::npos) << outcome.err;
}

// A photo or window that does not decode: the reason ends with the decoding library's own
// words for what it found, the reply with the catalogue's message as before.
TEST_F(CliDiagnostics, DecodeFailuresEndInTheLibrarysWords) {
  // A JPEG whose entropy-coded data stops half-way, followed by its end marker.
  const std::string cut = dir_.file("cut.jpg");
  testing::writeJpegFile(cut, testing::RgbaImage::generate(64, 48, [](uint32_t x, uint32_t y) {
                           return 0xFF000000u | (x * 4) << 16 | (y * 5) << 8 | ((x * y) & 0xFF);
                         }));
  std::vector<uint8_t> bytes = testing::readBytes(cut);
  const size_t scan =
      std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()).find("\xFF\xDA");
  ASSERT_NE(scan, std::string_view::npos);
  bytes.resize(scan + (bytes.size() - scan) / 2);
  bytes.insert(bytes.end(), {0xFF, 0xD9});
  testing::writeBytes(cut, bytes);
  const std::string badCrc = testing::dataPath("bad/png_libpng_badcrc.png");
  const std::string cannotDecode =
      R"({"error":{"code":")" + std::string(testing::messages::kProcessingCode) +
      R"(","message":")" + std::string(testing::messages::kCannotDecode) + "\"";
  const auto renderOf = [&](const std::string& path) {
    return call("render", R"({"path": )" + jsonString(path) + R"(, "destination": )" +
                              jsonString(dir_.file("out")) + R"(, "width": 80, "height": 60})");
  };

  Outcome outcome = renderOf(cut);
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.out.rfind(cannotDecode, 0), 0u) << outcome.out;
  // A JPEG is read as a window of itself (the crop), a PNG decoded whole.
  EXPECT_EQ(outcome.err, "why: render: " + cut +
                             ": the JPEG decoder could not read the crop: Corrupt JPEG data: "
                             "premature end of data segment\n");

  outcome = renderOf(badCrc);
  EXPECT_EQ(outcome.out.rfind(cannotDecode, 0), 0u) << outcome.out;
  EXPECT_EQ(outcome.err, "why: render: " + badCrc +
                             ": the PNG decoder could not decode image 0 at up to 1 pixels on its "
                             "longer side: invalid chunk checksum\n");

  // The tile reader checks the image data's CRC itself, before libspng would.
  outcome = call("tile", R"({"path": )" + jsonString(badCrc) + R"(, "destination": )" +
                             jsonString(dir_.file("tile")) +
                             R"(, "x": 0, "y": 0, "width": 64, "height": 64})");
  EXPECT_EQ(outcome.status, 1);
  EXPECT_NE(outcome.out.find(testing::messages::kCannotReadLongImage), std::string::npos)
      << outcome.out;
  EXPECT_EQ(outcome.err, "why: tile: " + badCrc +
                             ": the window's rows could not be read: CRC mismatch in an IDAT "
                             "chunk\n");
}

// What the contract forgives is drawn exactly as before: the same file as the request that
// says what was done instead, and a warning that names the key and the value.
TEST_F(CliDiagnostics, ForgivenKeysDrawAsBeforeAndAreWarnedOf) {
  const std::string stroke = R"("points": [[0.2, 0.2], [0.8, 0.7]], "widthFraction": 0.05)";
  const std::string mark = R"("enabled": true, "text": "Velmo")";
  const struct {
    std::string what;
    std::string forgiven;  // recipe
    std::string meant;     // recipe drawn the same
    std::string extra;     // the call's other keys
    std::string warning;   // a part of the warning
  } cases[] = {
      {"unknown shape", R"({"strokes": [{"shape": "squiggle", )" + stroke + "}]}",
       R"({"strokes": [{"shape": "freehand", )" + stroke + "}]}", "",
       R"(stroke 0: "shape" the string "squiggle" is not a known shape)"},
      {"colour as text", R"({"strokes": [{"colorARGB": "#ff0000", )" + stroke + "}]}",
       R"({"strokes": [{)" + stroke + "}]}", "",
       R"(stroke 0: "colorARGB" is the string "#ff0000", not a 0xAARRGGBB number; opaque white)"},
      {"points as objects",
       R"({"strokes": [{"shape": "line", "points": [{"x": 0.1, "y": 0.1}, {"x": 0.9, "y": 0.9}]}]})",
       R"({"strokes": [{"shape": "line"}]})", "",
       "point 0 of stroke 0 is a map, not an [x, y] pair of numbers"},
      {"enabled as text", R"({"watermark": {"enabled": "true", "text": "Velmo"}})", "{}", "",
       R"(the watermark's "enabled" is the string "true", not a boolean; no watermark)"},
      {"misspelt style", R"({"watermark": {)" + mark + R"(, "style": "diagnolRepeat"}})",
       R"({"watermark": {)" + mark + R"(, "style": "minimalSignature"}})", "",
       R"(the watermark's "style" the string "diagnolRepeat" is not a known style)"},
      {"five quarter turns", R"({"quarterTurns": 5})", R"({"quarterTurns": 1})", "",
       R"("quarterTurns" 5 is outside 0 to 3; 1 (the same turn) was used)"},
      {"fractional width", "{}", "{}", R"("width": 80.6, "height": 60)",
       R"("width" is the number 80.599999999999994, not a whole number; 80 was used)"},
      {"unknown stroke key", R"({"strokes": [{"colour": 255, )" + stroke + "}]}",
       R"({"strokes": [{)" + stroke + "}]}", "",
       R"(stroke 0 has the unknown key "colour"; it was ignored)"},
      {"unknown recipe key", R"({"crops": [0, 0, 0.5, 0.5]})", "{}", "",
       R"(the recipe has the unknown key "crops"; it was ignored)"},
      {"unknown watermark key", R"({"watermark": {)" + mark + R"(, "size": 30}})",
       R"({"watermark": {)" + mark + "}}", "",
       R"(the watermark has the unknown key "size"; it was ignored)"},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string extra = c.extra.empty() ? R"("width": 80, "height": 60)" : c.extra;
    const std::string forgivenName = "forgiven" + std::to_string(++n);
    const Outcome forgiven = render(forgivenName, c.forgiven, extra);
    const Outcome meant = render("meant" + std::to_string(n), c.meant);
    ASSERT_EQ(forgiven.status, 0) << forgiven.out << forgiven.err;
    ASSERT_EQ(meant.status, 0) << meant.out << meant.err;
    EXPECT_EQ(testing::readBytes(dir_.file(forgivenName + ".jpg")),
              testing::readBytes(dir_.file("meant" + std::to_string(n) + ".jpg")));
    EXPECT_NE(forgiven.err.find("warning: render: " + c.warning), std::string::npos)
        << forgiven.err;
    // Nothing told for the request that says what it means (a sanitizer's leak summary may
    // stand there under the sanitizer builds).
    EXPECT_EQ(meant.err.find("warning:"), std::string::npos) << meant.err;
    EXPECT_EQ(meant.err.find("why:"), std::string::npos) << meant.err;
  }
}

}  // namespace
}  // namespace velmo
