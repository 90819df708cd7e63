// The command-line host, run as a separate process with its three streams on files.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <set>
#include <string>
#include <vector>

#include "capi/velmo_image_tools.h"
#include "host/standard_codec.h"
#include "tests/support/channel_names.h"
#include "tests/support/messages.h"
#include "tests/support/test_support.h"

namespace velmo {
namespace {

using host::Bytes;
using host::EncodableMap;

struct Outcome {
  int status = -1;
  std::string out, err;
};

// Runs |program| (the built tool unless told) through the shell with |input| as standard
// input and |environment| ("NAME=value ...") added, and waits for it to exit.
Outcome run(const std::vector<std::string>& args, const std::string& input = "",
            const std::string& program = VELMO_CLI_PATH, const std::string& environment = "") {
  testing::ScratchDir dir;
  std::ofstream(dir.file("in"), std::ios::binary) << input;
  const auto quote = [](const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
  };
  std::string command = environment;
  command.append(" ").append(quote(program));
  // Appended piece by piece: GCC 12 at -O3 reports a false -Wrestrict for literal + string.
  for (const auto& arg : args) command.append(" ").append(quote(arg));
  command.append(" <").append(quote(dir.file("in")));
  command.append(" >").append(quote(dir.file("out")));
  command.append(" 2>").append(quote(dir.file("err")));
  const int status = std::system(command.c_str());
  if (!WIFEXITED(status)) return {};
  return {WEXITSTATUS(status), testing::readText(dir.file("out")),
          testing::readText(dir.file("err"))};
}

std::string errorLine(std::string_view code, std::string_view message) {
  return R"({"error":{"code":")" + std::string(code) + R"(","message":")" + std::string(message) +
         R"(","details":null}})" + "\n";
}

TEST(CliCall, PrintsTheReplyAsOneJsonLineWithItsExitStatus) {
  testing::ScratchDir dir;
  std::ofstream(dir.file("args.json")) << R"({"path": "/no-such-dir/a.jpg"})";
  const std::string invalid =
      errorLine(testing::messages::kArgumentsCode, testing::messages::kInvalidArguments);
  const std::string unreadable =
      errorLine(testing::messages::kProcessingCode, testing::messages::kUnreadableImage);
  const struct {
    std::vector<std::string> args;
    int status;
    std::string out;       // non-ASCII text goes out as UTF-8, not as \u escapes
    std::string err = {};  // the reason after a failure; usage problems say something
  } cases[] = {
      {{"call", "metadata", R"({"path": ")" + testing::dataPath("formats/gif_still.gif") + "\"}"},
       0,
       "{\"result\":{\"width\":128,\"height\":128,\"frames\":1,\"orientation\":1}}\n"},
      {{"call", "render", "[1]"},
       1,
       invalid,
       "why: render: the arguments are a list of 1 element, not a map with string keys\n"},
      {{"call", "metadata"},  // no arguments means null
       1,
       invalid,
       "why: metadata: the arguments are null, not a map with string keys\n"},
      {{"call", "metadata", "{}"},
       1,
       unreadable,
       "why: metadata: the arguments are an empty map\n"},
      {{"call", "metadata", "@" + dir.file("args.json")},
       1,
       unreadable,
       "why: metadata: /no-such-dir/a.jpg: No such file or directory\n"},
      {{"call", "metadata", "@" + dir.file("absent.json")}, 2, ""},
      {{"call", "metadata", "{\"path\": "}, 2, ""},
      // Numbers that no double holds are malformed input, not a crash.
      {{"call", "render", R"({"destination": "x", "width": 1e400, "height": 1})"}, 2, ""},
      {{"call", "render", R"({"recipe": {"crop": [0, 0, -1e999, 1]}})"}, 2, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const Outcome outcome = run(c.args);
    EXPECT_EQ(outcome.status, c.status) << outcome.err;
    EXPECT_EQ(outcome.out, c.out);
    if (c.status == 2) {
      EXPECT_FALSE(outcome.err.empty());
    } else {
      EXPECT_EQ(outcome.err, c.err);
    }
  }
}

// The point of keeping the playground's server in a program of its own: a call starts without
// the HTTP server and the TLS library behind it. The loader's own account of the files it maps
// tells, whatever links them in.
TEST(CliCall, LoadsNoHttpOrTlsLibrary) {
  const Outcome outcome = run(
      {"call", "metadata", R"({"path": ")" + testing::dataPath("formats/gif_still.gif") + "\"}"},
      "", VELMO_CLI_PATH, "LD_DEBUG=files");
  EXPECT_EQ(outcome.status, 0);
  EXPECT_NE(outcome.err.find("file=libjpeg"), std::string::npos) << "no loader trace";
  for (const char* library : {"httplib", "libssl", "libcrypto"}) {
    EXPECT_EQ(outcome.err.find(library), std::string::npos) << library;
  }
}

// Fonts are loaded only when a watermark is drawn. With the font configuration pointed at a
// missing file, fontconfig complains on standard error the moment anything loads it, so a
// silent run never touched it.
TEST(CliCall, LoadsFontsOnlyForAWatermark) {
  testing::ScratchDir dir;
  const auto standardError = [&](const std::string& method, const std::string& json) {
    const Outcome outcome =
        run({"call", method, json}, "", VELMO_CLI_PATH, "FONTCONFIG_FILE=/nonexistent/fonts.conf");
    EXPECT_EQ(outcome.status, 0) << method;
    return outcome.err;
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

// A name the plug-in does not serve keeps the contract's reply byte for byte (not-implemented,
// or the refusal of arguments that are not a map, which comes first whatever the name); only
// standard error adds the method that was probably meant.
TEST(CliCall, AMistypedMethodKeepsItsReplyAndNamesTheNearestMethod) {
  const std::string notImplemented = "{\"notImplemented\":true}\n";
  const struct {
    std::vector<std::string> args;
    int status;
    std::string out;
    std::string hint;
  } cases[] = {
      {{"call", "rendr", "{}"}, 3, notImplemented, "did you mean \"render\"?"},
      {{"call", "Metadata", "{}"}, 3, notImplemented, "did you mean \"metadata\"?"},
      {{"call", "metadata ", "{}"}, 3, notImplemented, "did you mean \"metadata\"?"},
      {{"call", "tiles", "{\"path\": \"a.png\"}"}, 3, notImplemented, "did you mean \"tile\"?"},
      {{"call", "resize", "{}"},
       3,
       notImplemented,
       "(it serves \"metadata\", \"render\" and \"tile\")"},
      {{"call", "rendr"},
       1,
       errorLine(testing::messages::kArgumentsCode, testing::messages::kInvalidArguments),
       "did you mean \"render\"?"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const Outcome outcome = run(c.args);
    EXPECT_EQ(outcome.status, c.status);
    EXPECT_EQ(outcome.out, c.out);
    EXPECT_NE(outcome.err.find("the plug-in serves no method \"" + c.args[1] + "\""),
              std::string::npos)
        << outcome.err;
    EXPECT_NE(outcome.err.find(c.hint), std::string::npos) << outcome.err;
  }
  // A served name gets no hint.
  EXPECT_EQ(run({"call", "metadata", "{}"}).err.find("serves no method"), std::string::npos);
}

TEST(CliCall, ReadsTheArgumentsFromStandardInputForAtDash) {
  const std::string args = R"({"path": ")" + testing::dataPath("formats/gif_still.gif") + R"("})";
  const Outcome given = run({"call", "metadata", args});
  const Outcome piped = run({"call", "metadata", "@-"}, args);
  EXPECT_EQ(piped.status, 0) << piped.err;
  EXPECT_EQ(piped.out, given.out);
  EXPECT_NE(piped.out.find("\"width\":128"), std::string::npos) << piped.out;
  // Nothing on standard input is no JSON at all: a usage problem, not a call with null.
  const Outcome empty = run({"call", "metadata", "@-"}, "");
  EXPECT_EQ(empty.status, 2);
  EXPECT_EQ(empty.out, "");
}

// Each method's help names every key the method reads, and the names the recipe knows.
TEST(CliCall, MethodHelpNamesEveryKeyTheMethodReads) {
  using testing::channel::Names;
  const auto joined = [](std::initializer_list<const Names*> groups, Names extra) {
    for (const Names* group : groups) extra.insert(group->begin(), group->end());
    return extra;
  };
  const struct {
    std::string method;
    Names words;
  } cases[] = {
      {"metadata", testing::channel::kMetadataKeys},
      {"render", joined({&testing::channel::kRenderKeys, &testing::channel::kRecipeKeys,
                         &testing::channel::kStrokeKeys, &testing::channel::kWatermarkKeys},
                        {"\"freehand\"", "\"line\"", "\"arrow\"", "\"rectangle\"", "\"rect\"",
                         "\"circle\"", "\"oval\"", "\"blur\"", "\"minimalSignature\"",
                         "\"cornerStamp\"", "\"diagonalRepeat\"", "8388608", "16380"})},
      {"tile", joined({&testing::channel::kTileKeys}, {"x, y", "2048"})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.method);
    const Outcome outcome = run({"call", c.method, "--help"});
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.err, "");
    EXPECT_TRUE(outcome.out.starts_with("usage: velmo-image-tools call " + c.method + " ARGS\n"))
        << outcome.out;
    for (const std::string& word : c.words) {
      EXPECT_NE(outcome.out.find(word), std::string::npos) << word;
    }
  }
  const Outcome mistyped = run({"call", "rendr", "--help"});
  EXPECT_EQ(mistyped.status, 2);
  EXPECT_EQ(mistyped.out, "");
  EXPECT_NE(mistyped.err.find("did you mean \"render\"?"), std::string::npos) << mistyped.err;
}

TEST(Cli, VersionIsTheLibrarysVersion) {
  const Outcome outcome = run({"--version"});
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.out, "velmo-image-tools " + std::string(velmo_image_tools_version()) + "\n");
  EXPECT_EQ(outcome.err, "");
}

TEST(CliPlayground, RunsTheServerProgramBesideItWithTheSameArguments) {
  // Both answers come from the server program, before it listens.
  const Outcome noRoot = run({"playground", "--port", "0", "--root", "/no-such-dir/photos"});
  EXPECT_EQ(noRoot.status, 2);
  EXPECT_EQ(noRoot.out, "");
  EXPECT_EQ(noRoot.err, "velmo-image-tools playground: no folder at /no-such-dir/photos\n");
  const Outcome badPort = run({"playground", "--port", "65536"});
  EXPECT_EQ(badPort.status, 2);
  EXPECT_NE(badPort.err.find("--port needs a number"), std::string::npos) << badPort.err;
}

TEST(CliPlayground, SaysSoWhenTheServerProgramIsMissing) {
  testing::ScratchDir dir;
  const std::string alone = dir.file("velmo-image-tools");
  std::filesystem::copy_file(VELMO_CLI_PATH, alone);
  const Outcome outcome = run({"playground"}, "", alone);
  EXPECT_EQ(outcome.status, 2);
  EXPECT_EQ(outcome.out, "");
  EXPECT_NE(outcome.err.find(dir.file("velmo-image-tools-playground") + ": No such file"),
            std::string::npos)
      << outcome.err;
  // The rest of the program does not need it.
  EXPECT_EQ(run({"call", "resize", "{}"}, "", alone).status, 3);
}

// A serve frame: payload length and call id, both little-endian, then the payload.
std::string frame(uint32_t id, const Bytes& payload) {
  std::string out;
  for (uint32_t v : {static_cast<uint32_t>(payload.size()), id}) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
  }
  return out.append(payload.begin(), payload.end());
}

TEST(CliServe, AnswersEveryFrameWithItsId) {
  const auto call = [](uint32_t id, const char* method, const host::EncodableValue& arguments) {
    return frame(id, host::encodeMethodCall({method, arguments}));
  };
  const auto error = [](std::string_view code, std::string_view message) {
    return host::encodeErrorEnvelope({std::string(code), std::string(message), {}});
  };
  // The calls answered at once come first, which fixes the order of every reply: the queued
  // calls are answered after them, in call order.
  const Outcome outcome =
      run({"serve"}, frame(7, {0x0f}) +  // not a method call
                         call(3, "metadata", host::EncodableList{}) +
                         call(9, "metadata", EncodableMap{}) + call(5, "unknown", EncodableMap{}));
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(
      outcome.out,
      frame(7, {}) +  // the empty not-implemented reply
          frame(3, error(testing::messages::kArgumentsCode, testing::messages::kInvalidArguments)) +
          frame(9, error(testing::messages::kProcessingCode, testing::messages::kUnreadableImage)) +
          frame(5, {}));
  EXPECT_NE(outcome.err.find("call 7: why: velmo/image_tools: the message is not a method call"),
            std::string::npos)
      << outcome.err;
}

TEST(CliServe, PipelinedLoadIsAnsweredOnceInOrder) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  constexpr uint32_t kCalls = 1'500;
#else
  constexpr uint32_t kCalls = 10'000;
#endif
  testing::ScratchDir dir;
  const std::string photo = testing::dataPath("formats/webp_lossy_alpha_small.webp");
  const std::vector<host::Bytes> calls = {
      host::encodeMethodCall({"metadata", EncodableMap{{"path", photo}}}),
      host::encodeMethodCall(
          {"render",
           EncodableMap{
               {"path", photo}, {"destination", dir.file("r")}, {"width", 24}, {"height", 16}}}),
      host::encodeMethodCall({"metadata", host::EncodableList{}}),  // refused at once
      host::encodeMethodCall({"nothing", EncodableMap{}}),
  };
  std::string input;
  for (uint32_t id = 0; id < kCalls; ++id) input += frame(id, calls[id % calls.size()]);
  const Outcome outcome = run({"serve"}, input);
  ASSERT_EQ(outcome.status, 0) << outcome.err;

  std::vector<int> answers(kCalls, 0);
  int64_t lastQueued = -1;
  size_t at = 0;
  const auto u32 = [&](size_t offset) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= uint32_t(uint8_t(outcome.out[offset + i])) << (8 * i);
    return v;
  };
  while (at + 8 <= outcome.out.size()) {
    const uint32_t length = u32(at), id = u32(at + 4);
    at += 8 + length;
    ASSERT_LT(id, kCalls);
    ++answers[id];
    if (id % calls.size() == 2) continue;  // answered before the queue
    EXPECT_GT(int64_t{id}, lastQueued);
    lastQueued = id;
    EXPECT_EQ(length == 0, id % calls.size() == 3) << id;
  }
  EXPECT_EQ(at, outcome.out.size());
  EXPECT_EQ(std::count(answers.begin(), answers.end(), 1), int64_t{kCalls});
}

// |body| run in a child process of its own; returns the peak resident memory, in KiB, of the
// largest process that child waited for (ru_maxrss of its children), or -1.
template <typename Body>
long peakOfChildren(Body body) {
  int fds[2];
  if (::pipe(fds) != 0) return -1;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    body();
    rusage usage{};
    ::getrusage(RUSAGE_CHILDREN, &usage);
    const long peak = usage.ru_maxrss;
    const bool written = ::write(fds[1], &peak, sizeof peak) == sizeof peak;
    ::_exit(written ? 0 : 1);
  }
  ::close(fds[1]);
  long peak = -1;
  if (pid < 0 || ::read(fds[0], &peak, sizeof peak) != sizeof peak) peak = -1;
  ::close(fds[0]);
  if (pid > 0) ::waitpid(pid, nullptr, 0);
  return peak;
}

// A 16 MiB frame of nulls (16 million values once decoded, 2 GB before the decoding budget) is
// answered as a message that is not a method call, and the pipe host stays small: its peak
// resident memory under 256 MiB covers the payload, its copy, the values decoded up to the
// budget (1,048,576 of 40 bytes, in a vector that may double) and the program itself.
TEST(CliServe, AFrameOfNullsStaysWithinTheDecodingBudget) {
  Bytes nulls = host::encodeMethodCall({"metadata", host::EncodableValue()});
  nulls.pop_back();
  const uint32_t count = 16u << 20;
  nulls.insert(nulls.end(), {0x0c, 0xff});
  for (int i = 0; i < 4; ++i) nulls.push_back(static_cast<uint8_t>(count >> (8 * i)));
  nulls.resize(nulls.size() + count, 0x00);
  const std::string input =
      frame(1, nulls) + frame(2, host::encodeMethodCall({"metadata", host::EncodableList{}}));
  const testing::ScratchDir dir;
  const long peakKiB = peakOfChildren(
      [&] { std::ofstream(dir.file("out"), std::ios::binary) << run({"serve"}, input).out; });
  ASSERT_GT(peakKiB, 0);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // A sanitizer's shadow memory adds to every byte touched; the bound is for the plain build.
  EXPECT_LT(peakKiB, 256 << 10);
#endif
  EXPECT_EQ(testing::readText(dir.file("out")),
            frame(1, {}) + frame(2, host::encodeErrorEnvelope({testing::messages::kArgumentsCode,
                                                               testing::messages::kInvalidArguments,
                                                               {}})));
}

TEST(CliCodec, RoundTripsTypedJsonAndRefusesMalformedInput) {
  const struct {
    const char* flag;
    std::string json;
    std::string hex;
  } cases[] = {
      {nullptr, R"({"list":[{"null":null},{"int32list":[]},{"int32":5}]})",
       "0c030009000000000305000000"},
      {nullptr, R"({"map":[[{"string":"h😂w"},{"bool":true}],[{"int32":1},{"float64":"NaN"}]]})",
       "0d02070668f09f98827701030100000006"
       "00000000000000"
       "000000000000f87f"},
      {"--method-call", R"({"method":"render","args":{"map":[[{"string":"w"},{"float64":1.5}]]}})",
       "070672656e6465720d01070177060000000000000000f83f"},
      {"--envelope", R"({"error":{"code":"E","message":null,"details":{"null":null}}})",
       "010701450000"},
      {"--envelope", R"({"notImplemented":true})", ""},
  };
  for (const char* malformed :
       {R"({"float64":1e400})", R"({"list":[{"float64":-1e400}]})", R"({"int32":3000000000})",
        R"({"int64":1.5})", R"({"map":[[1]]})", R"({"float64list":[1e999]})", "{"}) {
    SCOPED_TRACE(malformed);
    const Outcome refused = run({"codec", "encode", "--hex"}, malformed);
    EXPECT_EQ(refused.status, 2);
    EXPECT_EQ(refused.out, "");
    EXPECT_NE(refused.err, "");
  }
  for (const auto& c : cases) {
    SCOPED_TRACE(c.json);
    std::vector<std::string> args = {"codec", "encode", "--hex"};
    if (c.flag) args.push_back(c.flag);
    const Outcome encoded = run(args, c.json);
    EXPECT_EQ(encoded.status, 0) << encoded.err;
    EXPECT_EQ(encoded.out, c.hex + "\n");
    args[1] = "decode";
    const Outcome decoded = run(args, c.hex);
    EXPECT_EQ(decoded.status, 0) << decoded.err;
    EXPECT_EQ(decoded.out, c.json + "\n");
  }
}

}  // namespace
}  // namespace velmo
