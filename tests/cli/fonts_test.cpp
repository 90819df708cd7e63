// Fonts are loaded only when a watermark is drawn. The tool runs with the font configuration
// pointed at a missing file: fontconfig complains on standard error the moment anything
// loads it, so a silent run never touched it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/support/test_support.h"

namespace velmo {
namespace {

TEST(Fonts, LoadedOnlyForAWatermark) {
  testing::ScratchDir dir;
  const auto standardError = [&](const std::string& method, const std::string& json) {
    std::ofstream(dir.file("args.json")) << json;
    const std::string command = "FONTCONFIG_FILE=/nonexistent/fonts.conf '" +
                                std::string(VELMO_CLI_PATH) + "' call " + method + " @" +
                                dir.file("args.json") + " >/dev/null 2>" + dir.file("err");
    EXPECT_EQ(std::system(command.c_str()), 0) << method;
    std::ostringstream err;
    err << std::ifstream(dir.file("err")).rdbuf();
    return err.str();
  };
  const std::string photo = "{\"path\": \"" + testing::dataPath("formats/png_rgba_interlaced.png");
  const std::string render = photo + "\", \"destination\": \"" + dir.file("r") +
                             "\", \"width\": 40, \"height\": 40, \"recipe\": {\"watermark\": ";
  EXPECT_EQ(standardError("metadata", photo + "\"}"), "");
  EXPECT_EQ(standardError("tile", photo + "\", \"destination\": \"" + dir.file("t") +
                                      "\", \"width\": 16, \"height\": 16}"),
            "");
  EXPECT_EQ(standardError("render", render + R"({"enabled": false, "text": "Velmo"}}})"), "");
  EXPECT_NE(standardError("render", render + R"({"enabled": true, "text": "Velmo"}}})")
                .find("Fontconfig"),
            std::string::npos);
}

}  // namespace
}  // namespace velmo
