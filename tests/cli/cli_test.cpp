// The command-line host, run as a separate process with pipes on all three streams.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "host/standard_codec.h"
#include "plugin/error.h"
#include "tests/support/test_support.h"

extern char** environ;

namespace velmo {
namespace {

using host::Bytes;
using host::EncodableList;
using host::EncodableMap;
using host::EncodableValue;
using Json = nlohmann::ordered_json;

// A child process of the command-line tool. Pipes are closed and the child reaped on
// destruction, so a failing test leaves nothing behind.
class Child {
 public:
  explicit Child(const std::vector<std::string>& args) {
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) || ::pipe2(out, O_CLOEXEC) || ::pipe2(err, O_CLOEXEC)) {
      throw std::runtime_error("pipe failed");
    }
    // A child that exits early must show up as a failed write here, not kill the test.
    ::signal(SIGPIPE, SIG_IGN);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<std::string> argv = {VELMO_CLI_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> raw;
    for (auto& a : argv) raw.push_back(a.data());
    raw.push_back(nullptr);
    const int rc = posix_spawn(&pid_, VELMO_CLI_PATH, &actions, &attributes, raw.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    in_ = in[1];
    out_ = out[0];
    err_ = err[0];
    if (rc != 0) throw std::runtime_error("posix_spawn failed");
  }

  ~Child() {
    closeInput();
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) ::close(out_);
    if (err_ >= 0) ::close(err_);
  }

  void write(const Bytes& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(in_, bytes.data() + done, bytes.size() - done);
      if (n <= 0) throw std::runtime_error("write to child failed");
      done += static_cast<size_t>(n);
    }
  }

  void closeInput() {
    if (in_ >= 0) ::close(in_);
    in_ = -1;
  }

  // Reads |size| bytes of standard output, giving up after 20 s so that a tool that holds
  // its replies back fails the test instead of hanging it.
  Bytes readOutput(size_t size) {
    Bytes bytes;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (bytes.size() < size) {
      pollfd p{out_, POLLIN, 0};
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
      uint8_t buffer[4096];
      const ssize_t n = ::read(out_, buffer, std::min(sizeof buffer, size - bytes.size()));
      if (n <= 0) break;
      bytes.insert(bytes.end(), buffer, buffer + n);
    }
    return bytes;
  }

  struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
  };

  // Writes |input| (on a thread, so a child that answers while reading cannot deadlock on
  // full pipes), closes standard input, and collects everything until the child exits.
  Outcome finish(const Bytes& input = {}) {
    std::thread feeder([this, input] {
      try {
        write(input);
      } catch (const std::exception&) {
        // The child stopped reading; its exit status tells the rest.
      }
      closeInput();
    });
    Outcome outcome;
    pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
    std::string* sinks[2] = {&outcome.out, &outcome.err};
    int open = 2;
    while (open > 0) {
      if (::poll(fds, 2, 30000) <= 0) break;
      for (int i = 0; i < 2; ++i) {
        if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
        char buffer[4096];
        const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
        if (n <= 0) {
          fds[i].fd = -1;
          --open;
        } else {
          sinks[i]->append(buffer, static_cast<size_t>(n));
        }
      }
    }
    feeder.join();
    int status = 0;
    if (::waitpid(pid_, &status, 0) == pid_) {
      pid_ = -1;
      outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    return outcome;
  }

 private:
  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  int err_ = -1;
};

Child::Outcome run(const std::vector<std::string>& args, const std::string& input = "") {
  return Child(args).finish(Bytes(input.begin(), input.end()));
}

Json onlyLine(const std::string& out) {
  EXPECT_FALSE(out.empty());
  EXPECT_EQ(out.find('\n'), out.size() - 1) << out;
  return Json::parse(out);
}

std::string missingPath(const std::string& name) {
  return testing::dataPath("no-such-dir/" + name);
}

// --- call ----------------------------------------------------------------------------------

TEST(CliCall, NonMapArgumentIsRefused) {
  const auto outcome = run({"call", "render", "[1]"});
  EXPECT_EQ(outcome.status, 1);
  const Json expected = {{"error",
                          {{"code", "PHOTO_ARGUMENTS"},
                           {"message", std::string(messages::kInvalidArguments)},
                           {"details", nullptr}}}};
  EXPECT_EQ(onlyLine(outcome.out), expected);
  // Non-ASCII goes out as UTF-8, not as \u escapes.
  EXPECT_NE(outcome.out.find(std::string(messages::kInvalidArguments)), std::string::npos);
}

TEST(CliCall, NoArgumentsMeansNull) {
  const auto outcome = run({"call", "metadata"});
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(onlyLine(outcome.out)["error"]["code"], "PHOTO_ARGUMENTS");
}

TEST(CliCall, UnknownMethodIsNotImplemented) {
  const auto outcome = run({"call", "resize", "{}"});
  EXPECT_EQ(outcome.status, 3);
  EXPECT_EQ(onlyLine(outcome.out), Json({{"notImplemented", true}}));
}

TEST(CliCall, MetadataWithEmptyMapFailsInTheMethod) {
  const auto outcome = run({"call", "metadata", "{}"});
  EXPECT_EQ(outcome.status, 1);
  const Json reply = onlyLine(outcome.out);
  EXPECT_EQ(reply["error"]["code"], "PHOTO_PROCESSING");
  EXPECT_EQ(reply["error"]["message"], std::string(messages::kUnreadableImage));
  EXPECT_TRUE(reply["error"]["details"].is_null());
}

TEST(CliCall, ArgumentsFromAFile) {
  testing::ScratchDir dir;
  std::ofstream(dir.file("args.json")) << R"({"path": ")" << missingPath("a.jpg") << R"("})";
  const auto outcome = run({"call", "metadata", "@" + dir.file("args.json")});
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(onlyLine(outcome.out)["error"]["message"], std::string(messages::kUnreadableImage));
  EXPECT_EQ(run({"call", "metadata", "@" + dir.file("absent.json")}).status, 2);
}

TEST(CliCall, UsageProblems) {
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"call", "metadata", "{\"path\": "},  // bad JSON
           {"call", "metadata", "{} x"},         // trailing text
           {"call"},                             // no method
           {"call", "metadata", "{}", "{}"},     // too many arguments
           {"frobnicate"},                       // unknown subcommand
           {"serve", "extra"},
           {"codec", "encode", "--method-call", "--envelope"}}) {
    const auto outcome = run(args);
    EXPECT_EQ(outcome.status, 2) << ::testing::PrintToString(args);
    EXPECT_TRUE(outcome.out.empty()) << outcome.out;
    EXPECT_FALSE(outcome.err.empty()) << ::testing::PrintToString(args);
  }
}

TEST(CliCall, Help) {
  const auto help = run({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("usage"), std::string::npos);
  const auto bare = run({});
  EXPECT_EQ(bare.status, 2);
  EXPECT_EQ(bare.out, help.out);
}

// --- serve ---------------------------------------------------------------------------------

Bytes frame(uint32_t id, const Bytes& payload) {
  Bytes out;
  for (uint32_t v : {static_cast<uint32_t>(payload.size()), id}) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

Bytes callFrame(uint32_t id, const std::string& method, const EncodableValue& args) {
  return frame(id, host::encodeMethodCall({method, args}));
}

struct ReplyFrame {
  uint32_t id;
  Bytes payload;
};

uint32_t le32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

std::vector<ReplyFrame> parseFrames(const std::string& out) {
  std::vector<ReplyFrame> frames;
  const auto* p = reinterpret_cast<const uint8_t*>(out.data());
  size_t at = 0;
  while (at + 8 <= out.size()) {
    const uint32_t length = le32(p + at);
    const uint32_t id = le32(p + at + 4);
    if (at + 8 + length > out.size()) break;
    frames.push_back({id, Bytes(p + at + 8, p + at + 8 + length)});
    at += 8 + length;
  }
  EXPECT_EQ(at, out.size()) << "trailing bytes after the last whole frame";
  return frames;
}

Bytes join(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

TEST(CliServe, AnswersEveryFrameWithItsId) {
  const Bytes input = join({
      callFrame(10, "metadata", EncodableMap{{"path", missingPath("a.jpg")}}),
      frame(11, {0x0f}),  // not a method call
      callFrame(12, "metadata", EncodableMap{{"path", missingPath("b.jpg")}}),
      callFrame(13, "metadata", EncodableList{int32_t{1}}),
      callFrame(14, "unknown", EncodableMap{}),
  });
  const auto outcome = Child({"serve"}).finish(input);
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  const auto frames = parseFrames(outcome.out);
  ASSERT_EQ(frames.size(), 5u);

  std::set<uint32_t> ids;
  std::vector<uint32_t> queuedOrder;
  for (const auto& f : frames) {
    ids.insert(f.id);
    const testing::Reply reply = testing::decodeReply(f.payload);
    switch (f.id) {
      case 10:
      case 12:
        EXPECT_EQ(reply.error.code, "PHOTO_PROCESSING");
        EXPECT_EQ(reply.errorMessage(), std::string(messages::kUnreadableImage));
        queuedOrder.push_back(f.id);
        break;
      case 11:
        EXPECT_TRUE(f.payload.empty());
        break;
      case 13:
        EXPECT_EQ(reply.error.code, "PHOTO_ARGUMENTS");
        EXPECT_TRUE(reply.error.details.isNull());
        break;
      case 14:
        EXPECT_EQ(reply.kind, testing::Reply::Kind::NotImplemented);
        queuedOrder.push_back(f.id);
        break;
    }
  }
  EXPECT_EQ(ids, (std::set<uint32_t>{10, 11, 12, 13, 14}));
  // Immediate replies (11, 13) may overtake; queued calls are answered in call order.
  EXPECT_EQ(queuedOrder, (std::vector<uint32_t>{10, 12, 14}));
  EXPECT_NE(outcome.err.find("undecodable"), std::string::npos) << outcome.err;
}

TEST(CliServe, RepliesWhileInputStaysOpen) {
  Child child({"serve"});
  child.write(callFrame(7, "metadata", EncodableMap{}));
  const Bytes header = child.readOutput(8);
  ASSERT_EQ(header.size(), 8u) << "no reply while standard input was still open";
  EXPECT_EQ(le32(header.data() + 4), 7u);
  const Bytes payload = child.readOutput(le32(header.data()));
  EXPECT_EQ(testing::decodeReply(payload).errorMessage(), std::string(messages::kUnreadableImage));
  const auto outcome = child.finish();
  EXPECT_EQ(outcome.status, 0);
  EXPECT_TRUE(outcome.out.empty());
}

TEST(CliServe, EmptyInputExitsCleanly) {
  const auto outcome = Child({"serve"}).finish();
  EXPECT_EQ(outcome.status, 0);
  EXPECT_TRUE(outcome.out.empty());
}

TEST(CliServe, BrokenFramesEndWithStatus2AfterAnsweringEarlierCalls) {
  const Bytes good = callFrame(1, "metadata", EncodableMap{});
  Bytes oversized = frame(2, {});
  oversized[0] = 0x01;
  oversized[3] = 0x10;  // 256 MiB + 1
  const std::vector<Bytes> broken = {
      oversized, Bytes(good.begin(), good.begin() + 5),  // inside the header
      Bytes(good.begin(), good.end() - 1),               // inside the payload
  };
  for (const Bytes& tail : broken) {
    const auto outcome = Child({"serve"}).finish(join({good, tail}));
    EXPECT_EQ(outcome.status, 2);
    EXPECT_FALSE(outcome.err.empty());
    const auto frames = parseFrames(outcome.out);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].id, 1u);
  }
}

// --- codec ---------------------------------------------------------------------------------

struct CodecCase {
  std::vector<std::string> flags;
  std::string json;
  std::string hex;
};

TEST(CliCodec, HexRoundTrips) {
  const std::vector<CodecCase> cases = {
      {{},
       R"({"list":[{"null":null},{"int32list":[]},{"int32":5}]})",
       "0c030009000000000305000000"},
      {{}, R"({"float64":1.0})", "0600000000000000000000000000f03f"},
      {{}, R"({"int32":2147483647})", "03ffffff7f"},
      {{}, R"({"int64":2147483648})", "040000008000000000"},
      {{}, R"({"int64":-9223372036854775808})", "040000000000000080"},
      {{}, R"({"string":"h😂w"})", "070668f09f988277"},
      {{},
       R"({"map":[[{"string":"z"},{"bool":true}],[{"int32":1},{"float64":"NaN"}]]})",
       "0d0207017a01"
       "0301000000"
       "06"
       "00000000"
       "000000000000f87f"},
      {{"--method-call"}, R"({"method":"hello","args":{"null":null}})", "070568656c6c6f00"},
      {{"--method-call"},
       R"({"method":"render","args":{"map":[[{"string":"w"},{"float64":1.5}]]}})",
       "070672656e646572"
       "0d01070177060000"
       "000000000000f83f"},
      {{"--envelope"}, R"({"result":{"float64":3.14}})", "00060000000000001f85eb51b81e0940"},
      {{"--envelope"},
       R"({"error":{"code":"E","message":null,"details":{"null":null}}})",
       "0107014500"
       "00"},
      {{"--envelope"}, R"({"notImplemented":true})", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.json);
    std::vector<std::string> encode = {"codec", "encode", "--hex"};
    std::vector<std::string> decode = {"codec", "decode", "--hex"};
    encode.insert(encode.end(), c.flags.begin(), c.flags.end());
    decode.insert(decode.end(), c.flags.begin(), c.flags.end());
    const auto encoded = run(encode, c.json);
    EXPECT_EQ(encoded.status, 0) << encoded.err;
    EXPECT_EQ(encoded.out, c.hex + "\n");
    // Hex input may be spread over lines and in either case.
    std::string spaced;
    for (size_t i = 0; i < c.hex.size(); ++i) {
      spaced += static_cast<char>(std::toupper(c.hex[i]));
      if (i % 2 == 1) spaced += i % 16 == 15 ? "\n" : " ";
    }
    const auto decoded = run(decode, spaced);
    EXPECT_EQ(decoded.status, 0) << decoded.err;
    EXPECT_EQ(onlyLine(decoded.out), Json::parse(c.json));
  }
}

TEST(CliCodec, BinaryRoundTrip) {
  const std::string json =
      R"({"list":[{"uint8list":[0,10,255]},{"float32list":[1.5,"-Infinity"]}]})";
  const auto encoded = run({"codec", "encode"}, json);
  ASSERT_EQ(encoded.status, 0) << encoded.err;
  const Bytes expected = host::encodeMessage(
      EncodableList{std::vector<uint8_t>{0, 10, 255},
                    std::vector<float>{1.5f, -std::numeric_limits<float>::infinity()}});
  EXPECT_EQ(encoded.out, std::string(expected.begin(), expected.end()));
  const auto decoded = run({"codec", "decode"}, encoded.out);
  EXPECT_EQ(decoded.status, 0) << decoded.err;
  EXPECT_EQ(onlyLine(decoded.out), Json::parse(json));
}

TEST(CliCodec, BadInputIsRefused) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"codec", "decode", "--hex"}, "0f"},    // reserved tag
      {{"codec", "decode", "--hex"}, "0300"},  // truncated
      {{"codec", "decode", "--hex"}, "0000"},  // byte left over
      {{"codec", "decode", "--hex"}, "030"},   // odd digit count
      {{"codec", "decode", "--hex"}, "zz"},    // not hex
      {{"codec", "decode", "--hex", "--envelope"}, "02 00"},
      {{"codec", "decode", "--hex", "--method-call"}, "0000"},
      {{"codec", "encode"}, R"({"int32":2147483648})"},  // out of range
      {{"codec", "encode"}, R"({"int32":1.5})"},
      {{"codec", "encode"}, R"({"uint8list":[256]})"},
      {{"codec", "encode"}, R"({"float64":"nan"})"},
      {{"codec", "encode"}, R"({"int32":1,"int64":2})"},  // two types
      {{"codec", "encode"}, R"({"tuple":[]})"},
      {{"codec", "encode"}, R"({"map":[[{"null":null}]]})"},
      {{"codec", "encode"}, R"([1])"},
      {{"codec", "encode", "--method-call"}, R"({"method":1})"},
      {{"codec", "encode", "--envelope"}, R"({"error":{"code":null}})"},
      {{"codec", "encode"}, "{"},
  };
  for (const auto& [args, input] : cases) {
    const auto outcome = run(args, input);
    EXPECT_EQ(outcome.status, 2) << input;
    EXPECT_FALSE(outcome.err.empty()) << input;
  }
}

}  // namespace
}  // namespace velmo
