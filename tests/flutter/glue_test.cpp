// The plug-in's Linux glue, registered as a Flutter app registers it and driven on a running
// GLib main loop through a test double of the embedding's binary messenger: encoded calls in,
// the responses compared byte for byte with the pipe host's (`velmo-image-tools serve`) for
// the same calls.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "flutter/linux/include/velmo_image_tools/velmo_image_tools_plugin.h"
#include "host/standard_codec.h"
#include "tests/flutter/flutter_double.h"
#include "tests/support/messages.h"
#include "tests/support/test_support.h"

namespace velmo::testing {
namespace {

namespace fs = std::filesystem;
using host::Bytes;
using host::EncodableList;
using host::EncodableMap;

constexpr char kChannel[] = "velmo/image_tools";

// The replies `velmo-image-tools serve` gives to |calls|, by index.
std::vector<Bytes> serveReplies(const std::vector<Bytes>& calls) {
  ScratchDir dir;
  {
    std::ofstream in(dir.file("in"), std::ios::binary);
    for (uint32_t id = 0; id < calls.size(); ++id) {
      for (uint32_t v : {static_cast<uint32_t>(calls[id].size()), id}) {
        for (int i = 0; i < 4; ++i) in.put(static_cast<char>(v >> (8 * i)));
      }
      in.write(reinterpret_cast<const char*>(calls[id].data()),
               static_cast<std::streamsize>(calls[id].size()));
    }
  }
  const std::string command = std::string("'") + VELMO_CLI_PATH + "' serve <'" + dir.file("in") +
                              "' >'" + dir.file("out") + "' 2>/dev/null";
  EXPECT_EQ(std::system(command.c_str()), 0) << command;
  const std::string out = readText(dir.file("out"));
  std::vector<Bytes> replies(calls.size());
  std::vector<int> seen(calls.size(), 0);
  for (size_t at = 0; at + 8 <= out.size();) {
    uint32_t header[2] = {0, 0};
    for (int k = 0; k < 2; ++k) {
      for (int i = 0; i < 4; ++i) {
        header[k] |= uint32_t(uint8_t(out[at + 4 * k + i])) << (8 * i);
      }
    }
    at += 8;
    if (header[1] >= calls.size() || at + header[0] > out.size()) break;
    replies[header[1]].assign(out.begin() + static_cast<std::ptrdiff_t>(at),
                              out.begin() + static_cast<std::ptrdiff_t>(at + header[0]));
    ++seen[header[1]];
    at += header[0];
  }
  for (size_t id = 0; id < calls.size(); ++id) EXPECT_EQ(seen[id], 1) << "serve, call " << id;
  return replies;
}

// A registered plug-in on the test messenger, as a Flutter app has it once its generated
// registrant has run, with the responses it sent.
class GlueTest : public ::testing::Test {
 protected:
  struct Response {
    int64_t id;
    Bytes bytes;
    std::thread::id thread;
    bool duringHandler;
  };

  void SetUp() override {
    messenger_ = velmo_test_messenger_new(&GlueTest::receive, this);
    FlPluginRegistrar* registrar = velmo_test_registrar_new(FL_BINARY_MESSENGER(messenger_));
    velmo_image_tools_plugin_register_with_registrar(registrar);
    g_object_unref(registrar);  // the registrant lets go of it at once
  }

  void TearDown() override {
    if (messenger_ != nullptr) g_object_unref(messenger_);  // drops the handler
    EXPECT_EQ(responses_.size(), delivered_) << "every message answered";
  }

  static void receive(gint64 id, GBytes* response, gboolean duringHandler, gpointer self) {
    gsize size = 0;
    const auto* data = static_cast<const uint8_t*>(g_bytes_get_data(response, &size));
    static_cast<GlueTest*>(self)->responses_.push_back(
        {id, Bytes(data, data + size), std::this_thread::get_id(), duringHandler != FALSE});
  }

  void deliver(const Bytes& message, int64_t id) {
    GBytes* bytes = g_bytes_new(message.data(), message.size());
    ASSERT_TRUE(velmo_test_messenger_deliver(messenger_, kChannel, bytes, id));
    g_bytes_unref(bytes);
    ++delivered_;
  }

  // Runs the main loop until |count| responses have come (or a generous deadline passes, which
  // fails the test rather than hanging it).
  void runUntilResponses(size_t count) {
    bool expired = false;
    const guint deadline = g_timeout_add_seconds(
        300, [](gpointer flag) { return *static_cast<bool*>(flag) = true, G_SOURCE_REMOVE; },
        &expired);
    while (responses_.size() < count && !expired) g_main_context_iteration(nullptr, TRUE);
    if (!expired) g_source_remove(deadline);
    ASSERT_FALSE(expired) << responses_.size() << " of " << count << " responses";
  }

  // Runs whatever the main context has ready, without waiting.
  static void runPending() {
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
  }

  VelmoTestMessenger* messenger_ = nullptr;
  std::vector<Response> responses_;
  size_t delivered_ = 0;
  const std::thread::id mainThread_ = std::this_thread::get_id();
};

// Every kind of message the channel meets, delivered back to back before the loop runs. Each
// is answered exactly once, on the main thread and never from inside a handler (the handler
// returns without waiting for image work), with the bytes the pipe host gives for it; the
// calls that go to the worker are answered in the order they came.
TEST_F(GlueTest, AnswersEveryMessageOnceOnTheMainThreadAsThePipeHostDoes) {
  ScratchDir out;
  const std::string photo = dataPath("camera/canon_sx60hs_orientation6.jpg");
  const std::string landscape = dataPath("orientation/Landscape_1.jpg");
  const host::EncodableValue strokes = EncodableList{
      map({{"points", EncodableList{EncodableList{0.1, 0.1}, EncodableList{0.4, 0.3},
                                    EncodableList{0.6, 0.2}}},
           {"colorARGB", static_cast<int64_t>(0xFFE53935)},
           {"widthFraction", 0.01},
           {"shape", "freehand"}}),
      map({{"points", EncodableList{EncodableList{0.2, 0.5}, EncodableList{0.5, 0.8}}},
           {"colorARGB", static_cast<int64_t>(0xFF1E88E5)},
           {"shape", "rectangle"}}),
      map({{"points", EncodableList{EncodableList{0.7, 0.7}, EncodableList{0.9, 0.4}}},
           {"shape", "arrow"}}),
      map({{"points", EncodableList{EncodableList{0.3, 0.3}, EncodableList{0.5, 0.5}}},
           {"widthFraction", 0.05},
           {"shape", "blur"}}),
  };
  const host::EncodableValue recipe = map(
      {{"crop", EncodableList{0.1, 0.1, 0.8, 0.8}},
       {"quarterTurns", 1},
       {"strokes", strokes},
       {"watermark", map({{"enabled", true},
                          {"text", "velmo 測試"},
                          {"style", "cornerStamp"},
                          {"gradientColors", EncodableList{static_cast<int64_t>(0xCC3949AB),
                                                           static_cast<int64_t>(0xCC00ACC1)}}})}});
  EncodableMap render = renderArguments(photo, out.file("render"), 480, 640, recipe);
  render.push_back({"referenceWidth", 1080.0});
  render.push_back({"referenceHeight", 1440.0});
  const std::vector<Bytes> calls = {
      callBytes("metadata", map({{"path", photo}})),
      callBytes("render", render),
      callBytes("tile", map({{"path", landscape},
                             {"destination", out.file("tile")},
                             {"x", 10},
                             {"y", 20},
                             {"width", 300},
                             {"height", 200},
                             {"sample", 2}})),
      callBytes("crop", map({{"path", photo}})),                     // unknown method
      callBytes("metadata", EncodableList{photo}),                   // argument not a map
      Bytes{0x07, 0x03, 'a'},                                        // not a method call
      callBytes("metadata", map({{"path", out.file("none.jpg")}})),  // no such file
  };
  // Answered through the worker, in call order; the rest as soon as the core takes them.
  const std::vector<int64_t> queued = {0, 1, 2, 3, 6};

  const std::vector<Bytes> expected = serveReplies(calls);
  for (const auto& entry : fs::directory_iterator(out.path())) fs::remove(entry.path());

  for (size_t id = 0; id < calls.size(); ++id) deliver(calls[id], static_cast<int64_t>(id));
  runUntilResponses(calls.size());
  runPending();

  ASSERT_EQ(responses_.size(), calls.size());
  EXPECT_EQ(velmo_test_messenger_repeated_responses(messenger_), 0u);
  std::map<int64_t, const Response*> byId;
  std::vector<int64_t> queuedOrder;
  for (const Response& response : responses_) {
    EXPECT_TRUE(byId.emplace(response.id, &response).second) << "twice: " << response.id;
    EXPECT_EQ(response.thread, mainThread_) << response.id;
    EXPECT_FALSE(response.duringHandler) << response.id;
    if (std::find(queued.begin(), queued.end(), response.id) != queued.end()) {
      queuedOrder.push_back(response.id);
    }
  }
  EXPECT_EQ(queuedOrder, queued);
  for (size_t id = 0; id < calls.size(); ++id) {
    ASSERT_EQ(byId.count(static_cast<int64_t>(id)), 1u) << id;
    EXPECT_EQ(byId[static_cast<int64_t>(id)]->bytes, expected[id]) << "call " << id;
  }
  // What the bytes say, so that a pipe host and glue wrong in the same way still fail.
  EXPECT_TRUE(decodeReply(expected[0]).ok());
  EXPECT_TRUE(decodeReply(expected[1]).ok()) << outcome(decodeReply(expected[1]));
  EXPECT_TRUE(decodeReply(expected[2]).ok()) << outcome(decodeReply(expected[2]));
  EXPECT_TRUE(expected[3].empty());
  expectError(decodeReply(expected[4]), messages::kArgumentsCode, messages::kInvalidArguments);
  EXPECT_TRUE(expected[5].empty());
  expectError(decodeReply(expected[6]), messages::kProcessingCode, messages::kUnreadableImage);
  EXPECT_TRUE(fs::exists(out.file("render.jpg")));
  EXPECT_TRUE(fs::exists(out.file("tile.png")));
}

// The handler goes away (the app replacing it, or its engine shutting down) while calls are
// still queued: its release returns once each has been answered, and nothing is sent after.
TEST_F(GlueTest, ReleaseAnswersEveryAcceptedCallAndSendsNothingAfter) {
  ScratchDir out;
  const std::string photo = dataPath("camera/canon_sx60hs_orientation6.jpg");
  constexpr int kCalls = 6;
  for (int i = 0; i < kCalls; ++i) {
    const Bytes call =
        i % 2 == 0
            ? callBytes("render", renderArguments(photo, out.file(std::to_string(i)), 1200, 1600))
            : callBytes("metadata", map({{"path", photo}}));
    deliver(call, i);
  }
  fl_binary_messenger_set_message_handler_on_channel(FL_BINARY_MESSENGER(messenger_), kChannel,
                                                     nullptr, nullptr, nullptr);
  ASSERT_EQ(responses_.size(), size_t{kCalls});
  for (int i = 0; i < kCalls; ++i) {
    EXPECT_EQ(responses_[i].id, i);
    EXPECT_EQ(responses_[i].thread, mainThread_);
    EXPECT_TRUE(decodeReply(responses_[i].bytes).ok()) << i;
  }
  for (int i = 0; i < kCalls; i += 2) EXPECT_TRUE(fs::exists(out.file(std::to_string(i) + ".jpg")));

  runPending();
  EXPECT_EQ(responses_.size(), size_t{kCalls});
  EXPECT_EQ(velmo_test_messenger_repeated_responses(messenger_), 0u);
  // With no handler, a message is the embedding's to answer, not the plug-in's.
  GBytes* bytes = g_bytes_new(nullptr, 0);
  EXPECT_FALSE(velmo_test_messenger_deliver(messenger_, kChannel, bytes, kCalls));
  g_bytes_unref(bytes);
}

// The engine going away with calls still queued: its messenger drops the handler as it is
// disposed, and each call is answered by then.
TEST_F(GlueTest, MessengerDisposedWithCallsQueuedAnswersEachOnce) {
  ScratchDir out;
  const std::string photo = dataPath("camera/canon_sx60hs_orientation6.jpg");
  constexpr int kCalls = 4;
  for (int i = 0; i < kCalls; ++i) {
    deliver(callBytes("render", renderArguments(photo, out.file(std::to_string(i)), 1200, 1600)),
            i);
  }
  g_object_unref(std::exchange(messenger_, nullptr));
  ASSERT_EQ(responses_.size(), size_t{kCalls});
  for (int i = 0; i < kCalls; ++i) {
    EXPECT_EQ(responses_[i].id, i);
    EXPECT_TRUE(decodeReply(responses_[i].bytes).ok()) << i;
  }
  runPending();
  EXPECT_EQ(responses_.size(), size_t{kCalls});
}

// The core's account of a call goes to the GLib log under the plug-in's own domain, never into
// the response: why a call failed at the debug level, what its reading forgave as a warning.
TEST_F(GlueTest, LogsTheCoresAccountUnderItsOwnDomain) {
  struct Logged {
    std::mutex mutex;
    std::vector<std::pair<GLogLevelFlags, std::string>> lines;
  } logged;
  const guint handler = g_log_set_handler(
      "velmo_image_tools",
      static_cast<GLogLevelFlags>(G_LOG_LEVEL_DEBUG | G_LOG_LEVEL_WARNING | G_LOG_LEVEL_MESSAGE |
                                  G_LOG_LEVEL_INFO),
      [](const gchar*, GLogLevelFlags level, const gchar* message, gpointer user) {
        auto* log = static_cast<Logged*>(user);
        std::lock_guard lock(log->mutex);
        log->lines.emplace_back(static_cast<GLogLevelFlags>(level & G_LOG_LEVEL_MASK), message);
      },
      &logged);
  const std::vector<Bytes> calls = {
      callBytes("metadata", map({{"path", 5}})),
      callBytes("render", map({{"recipe", map({{"quarterTurns", 6}})}})),
  };
  for (size_t i = 0; i < calls.size(); ++i) deliver(calls[i], static_cast<int64_t>(i));
  runUntilResponses(calls.size());
  g_log_remove_handler("velmo_image_tools", handler);

  // The responses are the pipe host's, byte for byte.
  const std::vector<Bytes> expected = serveReplies(calls);
  for (const Response& response : responses_) {
    EXPECT_EQ(response.bytes, expected[static_cast<size_t>(response.id)]);
  }
  std::lock_guard lock(logged.mutex);
  const auto has = [&](GLogLevelFlags level, const std::string& text) {
    return std::count(logged.lines.begin(), logged.lines.end(), std::make_pair(level, text)) == 1;
  };
  EXPECT_TRUE(has(G_LOG_LEVEL_DEBUG, "metadata: \"path\" is the number 5, not a string"));
  EXPECT_TRUE(has(G_LOG_LEVEL_WARNING,
                  "render: \"quarterTurns\" 6 is outside 0 to 3; 2 (the same turn) was used"));
  EXPECT_TRUE(has(G_LOG_LEVEL_DEBUG, "render: \"destination\" is absent"));
}

}  // namespace
}  // namespace velmo::testing
