// Bad input, swept: every damaged, hostile or mislabelled file of the test data through all
// three methods, with annotations on the render. Each answer is a result or a catalogue
// message; a refused call writes nothing and leaves no temporary file; and the whole sweep
// runs in a child process whose address space is capped, so that no file may cost more than
// a few hundred MiB.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "tests/support/messages.h"
#include "tests/support/test_support.h"

namespace velmo::testing {
namespace {

namespace fs = std::filesystem;
using host::EncodableList;
using host::EncodableMap;

std::vector<std::string> badFiles() {
  std::vector<std::string> files;
  for (const auto& entry : fs::directory_iterator(dataPath("bad"))) files.push_back(entry.path());
  for (const auto& entry : fs::directory_iterator(dataPath("pngsuite"))) {
    if (entry.path().filename().string().starts_with("x")) files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

// Runs the sweep; returns one line per problem found ("" when all is well).
std::string sweep(const ScratchDir& out) {
  const std::set<std::string> catalogue = {
      messages::kUnreadableImage,     messages::kInvalidImageSize,  messages::kNotStillImage,
      messages::kCannotDecode,        messages::kInvalidCrop,       messages::kOutputOutOfRange,
      messages::kCannotReadLongImage, messages::kInvalidTileWindow, messages::kCannotCreateTile,
      messages::kCannotScaleTile,     messages::kTileTooLarge,      messages::kOutputTooLarge};
  const EncodableList strokes{
      map({{"shape", "arrow"},
           {"points", EncodableList{EncodableList{0.1, 0.1}, EncodableList{0.9, 0.8}}},
           {"colorARGB", int64_t{0xFFFF0000}}}),
      map({{"shape", "blur"},
           {"points", EncodableList{EncodableList{0.3, 0.3}, EncodableList{0.6, 0.5}}},
           {"widthFraction", 0.1}})};
  const auto watermark =
      map({{"enabled", true}, {"text", "Velmo 維爾莫"}, {"style", "diagonalRepeat"}});
  std::string problems;
  PluginHarness harness;
  int n = 0;
  for (const std::string& file : badFiles()) {
    const std::string name = fs::path(file).filename().string();
    const std::string stem = out.file(std::to_string(n++));
    const std::vector<std::pair<std::string, EncodableMap>> calls = {
        {"metadata", map({{"path", file}})},
        {"render", map({{"path", file},
                        {"destination", stem + "r"},
                        {"width", 120},
                        {"height", 90},
                        {"recipe", map({{"crop", EncodableList{0.1, 0.1, 0.8, 0.8}},
                                        {"quarterTurns", 1},
                                        {"strokes", strokes},
                                        {"watermark", watermark}})}})},
        {"tile", map({{"path", file},
                      {"destination", stem + "t"},
                      {"y", 4},
                      {"width", 512},
                      {"height", 512},
                      {"sample", 2}})},
    };
    for (const auto& [method, arguments] : calls) {
      const auto before = out.entries();
      const Reply reply = harness.call(method, arguments);
      const std::string where = name + " " + method + ": ";
      if (reply.kind == Reply::Kind::None) {
        problems += where + "no answer\n";
      } else if (!reply.ok()) {
        if (!catalogue.contains(reply.errorMessage())) {
          problems += where + "not a catalogue message: " + reply.errorMessage() + "\n";
        }
        if (out.entries() != before) problems += where + "wrote something and failed\n";
      }
    }
  }
  // Every entry is a finished output: no temporary file anywhere.
  for (const std::string& entry : out.entries()) {
    if (!entry.ends_with(".jpg") && !entry.ends_with(".png")) problems += "left " + entry + "\n";
  }
  return problems;
}

TEST(BadInputSweep, EveryFileGetsAnAnswerFromTheCatalogueInBoundedMemory) {
  ScratchDir out;
  const int status = runInChild([&] {
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // The sanitizers reserve terabytes of address space; elsewhere: 512 MiB above the start.
    const uint64_t cap = processStatusBytes("VmSize") + (512u << 20);
    const rlimit limit{cap, cap};
    if (setrlimit(RLIMIT_AS, &limit) != 0) return 2;
#endif
    EXPECT_EQ(sweep(out), "");
    return ::testing::Test::HasFailure() ? 1 : 0;
  });
  EXPECT_EQ(status, 0) << "1: problems, printed by the child; 2: setrlimit failed; over 128: "
                          "the sweep died of a signal";
}

}  // namespace
}  // namespace velmo::testing
