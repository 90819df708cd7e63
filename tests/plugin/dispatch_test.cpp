// The dispatcher seen from the channel: which calls are refused at once, which are queued,
// the order of replies, exactly one reply per call, and the host letting go mid-stream.
#include <gtest/gtest.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host/method_channel.h"
#include "host/method_result.h"
#include "plugin/error.h"
#include "plugin/velmo_image_tools_plugin.h"
#include "tests/support/test_support.h"

namespace velmo {
namespace {

using host::EncodableList;
using host::EncodableMap;
using host::EncodableValue;
using testing::PluginHarness;
using testing::Reply;

const std::string kInvalidArguments(messages::kInvalidArguments);
const std::string kUnreadableImage(messages::kUnreadableImage);
const std::string kArguments(kArgumentsErrorCode);
const std::string kProcessing(kProcessingErrorCode);

// Counts reports of misused results (second replies, dropped results) from any thread.
class ResultReports {
 public:
  ResultReports() {
    previous_ = host::MethodResult::setReporter([this](const std::string& text) {
      std::lock_guard lock(mutex_);
      texts_.push_back(text);
      changed_.notify_all();
    });
  }
  ~ResultReports() { host::MethodResult::setReporter(std::move(previous_)); }

  std::vector<std::string> texts() {
    std::lock_guard lock(mutex_);
    return texts_;
  }
  bool waitFor(size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(10),
                             [&] { return texts_.size() >= count; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> texts_;
  host::MethodResult::Reporter previous_;
};

std::string missingPath() {
  return testing::dataPath("no-such-dir/missing.jpg");
}

void ExpectArgumentsError(const Reply& reply) {
  ASSERT_EQ(reply.kind, Reply::Kind::Error);
  EXPECT_EQ(reply.error.code, kArguments);
  EXPECT_EQ(reply.errorMessage(), kInvalidArguments);
  EXPECT_TRUE(reply.error.details.isNull());
}

// --- Argument test ------------------------------------------------------------------------

TEST(Dispatch, ArgumentsThatAreNotAStringKeyedMapAreRefusedAtOnce) {
  const std::vector<EncodableValue> notArgumentMaps = {
      EncodableValue(),
      EncodableList{"path"},
      "path",
      int32_t{3},
      int64_t{1} << 40,
      2.5,
      true,
      std::vector<uint8_t>{1, 2},
      EncodableMap{{"path", "/tmp/a.jpg"}, {int32_t{1}, "one"}},
      EncodableMap{{EncodableValue(), "null key"}},
  };
  for (const char* method : {"metadata", "render", "tile", "unknown", ""}) {
    PluginHarness harness;
    for (size_t i = 0; i < notArgumentMaps.size(); ++i) {
      harness.send(method, notArgumentMaps[i], static_cast<int>(i));
    }
    // One pass over the main thread delivers every call; the refusals are already there.
    harness.engine().mainThread().runUntilIdle();
    ASSERT_EQ(harness.replies().size(), notArgumentMaps.size()) << method;
    for (size_t i = 0; i < notArgumentMaps.size(); ++i) {
      SCOPED_TRACE(std::string(method) + " #" + std::to_string(i));
      EXPECT_EQ(harness.replies()[i].tag, static_cast<int>(i));
      ExpectArgumentsError(harness.replies()[i].reply);
    }
  }
}

TEST(Dispatch, ArgumentsErrorIsGivenBeforeHandleReturns) {
  auto mainThread = std::make_shared<host::TaskRunner>();
  auto plugin = std::make_shared<VelmoImageToolsPlugin>(mainThread);
  std::optional<host::Bytes> reply;
  plugin->handle({"render", EncodableList{}}, std::make_unique<host::MethodResult>(
                                                  [&reply](host::Bytes bytes) { reply = bytes; }));
  ASSERT_TRUE(reply.has_value());
  ExpectArgumentsError(testing::decodeReply(*reply));
}

TEST(Dispatch, EmptyMapIsQueuedAndFailsInTheMethod) {
  PluginHarness harness;
  const Reply reply = harness.call("metadata", EncodableMap{});
  ASSERT_EQ(reply.kind, Reply::Kind::Error);
  EXPECT_EQ(reply.error.code, kProcessing);
  EXPECT_EQ(reply.errorMessage(), kUnreadableImage);
  EXPECT_TRUE(reply.error.details.isNull());
}

TEST(Dispatch, MethodNamesMatchExactly) {
  PluginHarness harness;
  for (const char* method : {"Metadata", "metadata ", " metadata", "METADATA", "", "renderx"}) {
    EXPECT_EQ(harness.call(method, EncodableMap{}).kind, Reply::Kind::NotImplemented)
        << '"' << method << '"';
  }
}

// --- Order and exactly-once --------------------------------------------------------------

TEST(Dispatch, NotImplementedComesAfterTheCallsQueuedBeforeIt) {
  PluginHarness harness;
  harness.send("metadata", EncodableMap{}, 1);
  harness.send("metadata", testing::map({{"path", missingPath()}}), 2);
  harness.send("unknown", EncodableMap{}, 3);
  ASSERT_TRUE(harness.waitForReplies(3));
  const auto& replies = harness.replies();
  ASSERT_EQ(replies.size(), 3u);
  EXPECT_EQ(replies[0].tag, 1);
  EXPECT_EQ(replies[0].reply.errorMessage(), kUnreadableImage);
  EXPECT_EQ(replies[1].tag, 2);
  EXPECT_EQ(replies[1].reply.errorMessage(), kUnreadableImage);
  EXPECT_EQ(replies[2].tag, 3);
  EXPECT_EQ(replies[2].reply.kind, Reply::Kind::NotImplemented);
}

TEST(Dispatch, RefusalOvertakesCallsStillQueued) {
  PluginHarness harness;
  harness.send("metadata", EncodableMap{}, 1);
  harness.send("metadata", EncodableList{}, 2);
  harness.send("nope", EncodableMap{}, 3);
  ASSERT_TRUE(harness.waitForReplies(3));
  const auto& replies = harness.replies();
  // Both calls reach the plug-in before any worker reply can be queued behind them, so the
  // immediate refusal is always first; the queued calls keep their order.
  ASSERT_EQ(replies.size(), 3u);
  EXPECT_EQ(replies[0].tag, 2);
  ExpectArgumentsError(replies[0].reply);
  EXPECT_EQ(replies[1].tag, 1);
  EXPECT_EQ(replies[2].tag, 3);
}

TEST(Dispatch, ManyCallsAreAnsweredInCallOrderExactlyOnce) {
  ResultReports reports;
  PluginHarness harness;
  constexpr int kCalls = 300;
  for (int i = 0; i < kCalls; ++i) {
    harness.send(i % 3 == 0 ? "metadata" : "other", EncodableMap{{"path", missingPath()}}, i);
  }
  ASSERT_TRUE(harness.waitForReplies(kCalls));
  harness.engine().mainThread().runUntilIdle();
  ASSERT_EQ(harness.replies().size(), static_cast<size_t>(kCalls));
  for (int i = 0; i < kCalls; ++i) {
    const auto& tagged = harness.replies()[i];
    ASSERT_EQ(tagged.tag, i);
    EXPECT_EQ(tagged.reply.kind, i % 3 == 0 ? Reply::Kind::Error : Reply::Kind::NotImplemented);
  }
  EXPECT_TRUE(reports.texts().empty());
}

// --- The host letting go ------------------------------------------------------------------

TEST(Dispatch, DroppedPluginStillAnswersQueuedCalls) {
  ResultReports reports;
  PluginHarness harness;
  constexpr int kCalls = 20;
  for (int i = 0; i < kCalls; ++i) harness.send("metadata", EncodableMap{}, i);
  harness.engine().mainThread().runUntilIdle();  // every call is now with the plug-in
  harness.engine().removeAllHandlers();
  ASSERT_TRUE(harness.waitForReplies(kCalls));
  for (int i = 0; i < kCalls; ++i) {
    EXPECT_EQ(harness.replies()[i].tag, i);
    EXPECT_EQ(harness.replies()[i].reply.errorMessage(), kUnreadableImage);
  }
  // With no handler left, a new call finds nobody: the host's empty reply.
  EXPECT_EQ(harness.call("metadata", EncodableMap{}).kind, Reply::Kind::NotImplemented);
  EXPECT_TRUE(reports.texts().empty());
}

TEST(Dispatch, EngineDestroyedWithCallsQueuedDropsTheirReplies) {
  ResultReports reports;
  auto engine = std::make_unique<host::Engine>();
  VelmoImageToolsPlugin::registerWith(engine->registrar());
  auto replies = std::make_shared<int>(0);
  constexpr int kCalls = 20;
  {
    host::MethodChannel channel(*engine, kChannelName);
    for (int i = 0; i < kCalls; ++i) {
      channel.invokeMethod({"metadata", EncodableMap{{"path", missingPath()}}},
                           [replies](host::Bytes) { ++*replies; });
    }
  }
  engine->mainThread().runUntilIdle();
  const int answeredBeforeTeardown = *replies;
  engine.reset();
  // Every call the main thread never answered is reported as dropped, from the worker.
  ASSERT_TRUE(reports.waitFor(static_cast<size_t>(kCalls - answeredBeforeTeardown)));
  EXPECT_EQ(*replies, answeredBeforeTeardown);
  for (const auto& text : reports.texts()) EXPECT_NE(text.find("dropped"), std::string::npos);
}

}  // namespace
}  // namespace velmo
