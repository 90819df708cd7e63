// The dispatcher seen from the channel: which calls are refused at once, which are queued,
// the order of replies, exactly one reply per call under load, and the host letting go
// mid-stream.
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host/method_channel.h"
#include "host/method_result.h"
#include "plugin/velmo_image_tools_plugin.h"
#include "tests/support/image_files.h"
#include "tests/support/messages.h"
#include "tests/support/test_support.h"

namespace velmo::testing {
namespace {

using host::EncodableList;
using host::EncodableMap;
using host::EncodableValue;

// Collects reports of misused results (second replies, dropped results) from any thread.
struct ResultReports {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> texts;
  host::MethodResult::Reporter previous =
      host::MethodResult::setReporter([this](const std::string& text) {
        std::lock_guard lock(mutex);
        texts.push_back(text);
        changed.notify_all();
      });
  ~ResultReports() { host::MethodResult::setReporter(std::move(previous)); }
  // Waits for |count| reports and returns all there are.
  std::vector<std::string> waitFor(size_t count) {
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return texts.size() >= count; });
    return texts;
  }
  // The reports made so far. Misused results are reported on the main thread as they are
  // answered, and a dropped one by the worker before it takes the next call; so once a later
  // call's reply has run on the main thread, every report of the calls before it is in.
  std::vector<std::string> now() {
    std::lock_guard lock(mutex);
    return texts;
  }
};

TEST(Dispatch, ArgumentsThatAreNotAStringKeyedMapAreRefusedBeforeHandleReturns) {
  ResultReports reports;
  auto mainThread = std::make_shared<host::TaskRunner>();
  auto plugin = std::make_shared<VelmoImageToolsPlugin>(mainThread);
  int refused = 0;
  int replies = 0;
  for (const char* method : {"metadata", "render", "tile", "unknown", ""}) {
    for (const EncodableValue& arguments : std::vector<EncodableValue>{
             EncodableValue(), host::EncodableList{"path"}, "path", int32_t{3}, 2.5, true,
             std::vector<uint8_t>{1, 2}, EncodableMap{{"path", "/tmp/a.jpg"}, {int32_t{1}, "one"}},
             EncodableMap{{EncodableValue(), "null key"}}}) {
      SCOPED_TRACE(std::string(method) + " " + ::testing::PrintToString(arguments.index()));
      std::optional<host::Bytes> reply;
      plugin->handle({method, arguments},
                     std::make_unique<host::MethodResult>([&](host::Bytes bytes) {
                       reply = bytes;
                       ++replies;
                     }));
      ++refused;
      ASSERT_TRUE(reply.has_value());
      expectError(decodeReply(*reply), messages::kArgumentsCode, messages::kInvalidArguments);
    }
  }
  // A refused call must not also be queued: once a later call's reply is in (the worker is
  // serial) and the main thread has run everything posted to it, no call was answered twice.
  bool lastAnswered = false;
  plugin->handle({"metadata", EncodableMap{}},
                 std::make_unique<host::MethodResult>([&](host::Bytes) { lastAnswered = true; }));
  ASSERT_TRUE(mainThread->runUntil([&] { return lastAnswered; }, std::chrono::minutes(10)));
  mainThread->runUntilIdle();
  EXPECT_EQ(replies, refused);
  EXPECT_TRUE(reports.now().empty());
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kLoadCalls = 1'500;  // the sanitizers make each call many times dearer
#else
constexpr int kLoadCalls = 10'000;
#endif

// Load: thousands of mixed calls posted to the host stand-in as fast as it takes them. Every
// call is answered exactly once, refused calls at once and queued calls in call order, no
// result is misused, and the process does not grow once warmed up.
TEST(Dispatch, MixedCallsAreAnsweredOnceInOrderWithFlatMemory) {
  ResultReports reports;
  ScratchDir dir;
  const std::string photo = dir.file("photo.png");
  writePngFile(photo,
               RgbaImage::generate(96, 64,
                                   [](uint32_t x, uint32_t y) {
                                     return 0xFF000000u | (x * 2 << 16) | (y * 3 << 8) | 0x60;
                                   }),
               false);
  const EncodableValue recipe =
      map({{"quarterTurns", 1},
           {"strokes", EncodableList{map({{"shape", "arrow"},
                                          {"points", EncodableList{EncodableList{0.1, 0.1},
                                                                   EncodableList{0.8, 0.6}}}}),
                                     map({{"shape", "blur"},
                                          {"points", EncodableList{EncodableList{0.5, 0.5}}},
                                          {"widthFraction", 0.3}})}},
           {"watermark",
            map({{"enabled", true}, {"text", "Velmo 維爾莫"}, {"style", "cornerStamp"}})}});
  // Each call of the mix and its answer: "ok", the error message, or "not implemented".
  struct Call {
    std::string method;
    EncodableValue arguments;
    std::string answer;
  };
  std::vector<Call> calls = {
      {"metadata", map({{"path", photo}}), "ok"},
      {"render", renderArguments(photo, dir.file("render"), 48, 32, recipe), "ok"},
      {"tile",
       map({{"path", photo},
            {"destination", dir.file("tile")},
            {"height", 16},
            {"width", 64},
            {"sample", 2}}),
       "ok"},
      {"render", EncodableList{1, 2}, messages::kInvalidArguments},
      {"render", map({{"destination", dir.file("x")}, {"width", 0}, {"height", 5}}),
       messages::kOutputOutOfRange},
      // An empty map is queued like any other and fails in the method.
      {"metadata", EncodableMap{}, messages::kUnreadableImage},
  };
  // Names match exactly: any other spelling is not implemented, but only after the calls
  // queued before it have been answered.
  for (const char* name :
       {"crop", "Metadata", "metadata ", " metadata", "METADATA", "renderx", ""}) {
    calls.push_back({name, EncodableMap{}, "not implemented"});
  }
  PluginHarness harness;
  std::vector<long> resident;
  for (int sent = 0; sent < kLoadCalls;) {
    const int end = std::min(kLoadCalls, sent + 500);
    for (; sent < end; ++sent) {
      const Call& c = calls[sent % calls.size()];
      harness.send(c.method, c.arguments, sent);
    }
    ASSERT_TRUE(harness.waitForReplies(end)) << "stalled after " << end;
    resident.push_back(long(processStatusBytes("VmRSS") / 1024));
  }
  harness.engine().mainThread().runUntilIdle();
  ASSERT_EQ(harness.replies().size(), size_t(kLoadCalls));

  // Refused calls are answered at once, before any queued call; queued calls in call order.
  std::vector<bool> answered(kLoadCalls, false);
  int lastQueued = -1;
  for (const auto& [tag, reply] : harness.replies()) {
    ASSERT_FALSE(answered[tag]) << "call " << tag << " answered twice";
    answered[tag] = true;
    const Call& c = calls[tag % calls.size()];
    const bool refused = c.answer == messages::kInvalidArguments;
    ASSERT_EQ(reply.kind == Reply::Kind::NotImplemented ? "not implemented" : outcome(reply),
              c.answer)
        << "call " << tag << ", " << c.method;
    if (reply.kind == Reply::Kind::Error) {
      ASSERT_EQ(reply.error.code, refused ? messages::kArgumentsCode : messages::kProcessingCode);
    }
    if (refused) continue;  // not queued
    ASSERT_GT(tag, lastQueued);
    lastQueued = tag;
  }
  // One more call behind all the others: once it is answered, so is every report of theirs.
  harness.send("metadata", EncodableMap{}, kLoadCalls);
  ASSERT_TRUE(harness.waitForReplies(kLoadCalls + 1));
  harness.engine().mainThread().runUntilIdle();
  EXPECT_TRUE(reports.now().empty());

  // After the first two batches (fonts, caches, allocator arenas), memory stays flat.
  if (resident.size() > 3) {
    const auto [low, high] = std::minmax_element(resident.begin() + 2, resident.end());
    EXPECT_LE(*high - *low, 16 * 1024) << "resident KiB from " << *low << " to " << *high;
  }
}

TEST(Dispatch, DroppedPluginStillAnswersQueuedCalls) {
  ResultReports reports;
  PluginHarness harness;
  for (int i = 0; i < 20; ++i) harness.send("metadata", EncodableMap{}, i);
  harness.engine().mainThread().runUntilIdle();  // every call is now with the plug-in
  harness.engine().removeAllHandlers();
  ASSERT_TRUE(harness.waitForReplies(20));
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(harness.replies()[i].tag, i);
    EXPECT_EQ(harness.replies()[i].reply.errorMessage(), messages::kUnreadableImage);
  }
  // With no handler left, a new call finds nobody: the host's empty reply.
  EXPECT_EQ(harness.call("metadata", EncodableMap{}).kind, Reply::Kind::NotImplemented);
  // The worker posts a call's replies before it takes the next call, so a second reply of any
  // but the last call would have run by now; a dropped one would be missing above.
  harness.engine().mainThread().runUntilIdle();
  EXPECT_EQ(harness.replies().size(), 20u);
  EXPECT_TRUE(reports.now().empty());
}

TEST(Dispatch, EngineDestroyedWithCallsQueuedDropsTheirReplies) {
  ResultReports reports;
  auto engine = std::make_unique<host::Engine>();
  VelmoImageToolsPlugin::registerWith(engine->registrar());
  auto replies = std::make_shared<int>(0);
  host::MethodChannel channel(*engine, kChannelName);
  for (int i = 0; i < 20; ++i) {
    channel.invokeMethod({"metadata", EncodableMap{}}, [replies](host::Bytes) { ++*replies; });
  }
  engine->mainThread().runUntilIdle();
  const size_t unanswered = 20 - *replies;
  engine.reset();
  // Every call the main thread never answered is reported as dropped, from the worker.
  const auto texts = reports.waitFor(unanswered);
  EXPECT_EQ(texts.size(), unanswered);
  for (const auto& text : texts) EXPECT_NE(text.find("dropped"), std::string::npos);
}

}  // namespace
}  // namespace velmo::testing
