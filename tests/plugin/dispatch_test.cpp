// The dispatcher seen from the channel: which calls are refused at once, which are queued,
// the order of replies, exactly one reply per call, and the host letting go mid-stream.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host/method_channel.h"
#include "host/method_result.h"
#include "plugin/velmo_image_tools_plugin.h"
#include "tests/support/messages.h"
#include "tests/support/test_support.h"

namespace velmo {
namespace {

using host::EncodableMap;
using host::EncodableValue;
using testing::Reply;

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
  // Waits (a while) for |count| reports and returns all there are.
  std::vector<std::string> waitFor(size_t count) {
    std::unique_lock lock(mutex);
    changed.wait_for(lock, std::chrono::seconds(10), [&] { return texts.size() >= count; });
    return texts;
  }
  // Gives a late report |quiet| to arrive, then returns all there are (none, when all is well).
  std::vector<std::string> after(std::chrono::milliseconds quiet) {
    std::unique_lock lock(mutex);
    changed.wait_for(lock, quiet, [&] { return !texts.empty(); });
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
      testing::expectError(testing::decodeReply(*reply), testing::messages::kArgumentsCode,
                           testing::messages::kInvalidArguments);
    }
  }
  // A refused call must not also be queued: once a later call's reply is in (the worker is
  // serial) and the main thread has run everything posted to it, no call was answered twice.
  bool lastAnswered = false;
  plugin->handle({"metadata", EncodableMap{}},
                 std::make_unique<host::MethodResult>([&](host::Bytes) { lastAnswered = true; }));
  ASSERT_TRUE(mainThread->runUntil([&] { return lastAnswered; }, std::chrono::seconds(30)));
  mainThread->runUntilIdle();
  EXPECT_EQ(replies, refused);
  EXPECT_TRUE(reports.after(std::chrono::milliseconds(100)).empty());
}

TEST(Dispatch, QueuedCallsAreAnsweredInCallOrderExactlyOnce) {
  ResultReports reports;
  testing::PluginHarness harness;
  // Names match exactly: any other spelling is not implemented, but only after the calls
  // queued before it have been answered.
  const std::vector<const char*> methods = {"metadata", "Metadata", "metadata ", " metadata",
                                            "METADATA", "renderx",  ""};
  constexpr int kCalls = 140;
  for (int i = 0; i < kCalls; ++i) harness.send(methods[i % methods.size()], EncodableMap{}, i);
  ASSERT_TRUE(harness.waitForReplies(kCalls));
  harness.engine().mainThread().runUntilIdle();
  ASSERT_EQ(harness.replies().size(), static_cast<size_t>(kCalls));
  for (int i = 0; i < kCalls; ++i) {
    SCOPED_TRACE(i);
    const auto& [tag, reply] = harness.replies()[i];
    ASSERT_EQ(tag, i);
    if (i % methods.size() == 0) {
      // An empty map is queued like any other and fails in the method.
      testing::expectError(reply, testing::messages::kProcessingCode,
                           testing::messages::kUnreadableImage);
    } else {
      EXPECT_EQ(reply.kind, Reply::Kind::NotImplemented);
    }
  }
  EXPECT_TRUE(reports.after(std::chrono::milliseconds(100)).empty());
}

TEST(Dispatch, DroppedPluginStillAnswersQueuedCalls) {
  ResultReports reports;
  testing::PluginHarness harness;
  for (int i = 0; i < 20; ++i) harness.send("metadata", EncodableMap{}, i);
  harness.engine().mainThread().runUntilIdle();  // every call is now with the plug-in
  harness.engine().removeAllHandlers();
  ASSERT_TRUE(harness.waitForReplies(20));
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(harness.replies()[i].tag, i);
    EXPECT_EQ(harness.replies()[i].reply.errorMessage(), testing::messages::kUnreadableImage);
  }
  // With no handler left, a new call finds nobody: the host's empty reply.
  EXPECT_EQ(harness.call("metadata", EncodableMap{}).kind, Reply::Kind::NotImplemented);
  EXPECT_TRUE(reports.after(std::chrono::milliseconds(100)).empty());
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
}  // namespace velmo
