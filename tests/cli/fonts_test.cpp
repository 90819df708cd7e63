// Fonts are loaded only when a watermark is drawn. The tool runs with the font configuration
// pointed at a missing file: fontconfig complains on standard error the moment anything
// loads it, so a silent run never touched it.
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/support/test_support.h"

namespace velmo {
namespace {

// Standard error of one "call", or "exit N" when it did not succeed.
std::string callStderr(const std::string& method, const std::string& json) {
  testing::ScratchDir dir;
  std::ofstream(dir.file("args.json")) << json;
  std::string command = "FONTCONFIG_FILE=/nonexistent/fonts.conf '";
  command.append(VELMO_CLI_PATH).append("' call ").append(method).append(" @");
  command.append(dir.file("args.json")).append(" >/dev/null 2>").append(dir.file("err"));
  const int status = std::system(command.c_str());
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "exit " + std::to_string(status);
  std::ostringstream err;
  err << std::ifstream(dir.file("err")).rdbuf();
  return err.str();
}

TEST(Fonts, LoadedOnlyForAWatermark) {
  testing::ScratchDir out;
  const std::string photo = testing::dataPath("formats/png_rgba_interlaced.png");
  const std::string render = R"({"path": ")" + photo + R"(", "destination": ")" + out.file("r") +
                             R"(", "width": 40, "height": 40, "recipe": {"watermark": )";
  EXPECT_EQ(callStderr("metadata", R"({"path": ")" + photo + "\"}"), "");
  EXPECT_EQ(callStderr("tile", R"({"path": ")" + photo + R"(", "destination": ")" + out.file("t") +
                                   R"(", "width": 16, "height": 16})"),
            "");
  EXPECT_EQ(callStderr("render", render + R"({"enabled": false, "text": "Velmo"}}})"), "");
  EXPECT_NE(
      callStderr("render", render + R"({"enabled": true, "text": "Velmo"}}})").find("Fontconfig"),
      std::string::npos);
}

}  // namespace
}  // namespace velmo
