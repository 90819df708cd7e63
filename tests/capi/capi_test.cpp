// The C entry point, driven as a foreign caller drives it: codec bytes in, reply bytes out
// through a C callback, from several threads at once.
#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "capi/velmo_image_tools.h"
#include "tests/support/messages.h"
#include "tests/support/test_support.h"

namespace velmo::testing {
namespace {

using host::Bytes;
using host::EncodableList;
using host::EncodableMap;

// Every reply an instance gave: the bytes, the thread it came on, and the call's tag.
struct Inbox {
  struct Entry {
    int tag;
    Bytes reply;
    std::thread::id thread;
  };
  std::mutex mutex;
  std::vector<Entry> entries;

  // The user pointer of one call.
  struct Ticket {
    Inbox* inbox;
    int tag;
  };

  static void receive(const uint8_t* reply, size_t length, void* user) {
    auto* ticket = static_cast<Ticket*>(user);
    Inbox& inbox = *ticket->inbox;
    std::lock_guard lock(inbox.mutex);
    inbox.entries.push_back(
        {ticket->tag, Bytes(reply, reply + length), std::this_thread::get_id()});
    delete ticket;
  }

  int send(velmo_plugin* plugin, const Bytes& call, int tag) {
    return velmo_plugin_handle(plugin, call.data(), call.size(), &Inbox::receive,
                               new Ticket{this, tag});
  }
};

using Plugin = std::unique_ptr<velmo_plugin, decltype(&velmo_plugin_destroy)>;
Plugin makePlugin() {
  return Plugin(velmo_plugin_create(), &velmo_plugin_destroy);
}

TEST(CApi, BadBytesAreAnsweredAndNeverCrash) {
  const Bytes valid = callBytes("metadata", EncodableMap{});
  Bytes leftover = valid;
  leftover.push_back(0x00);
  // Undecodable bytes get the host's empty reply; a call that decodes gets its error code.
  const struct {
    const char* name;
    Bytes call;
    const char* code = nullptr;
  } cases[] = {
      {"no bytes", {}},
      {"truncated", Bytes(valid.begin(), valid.end() - 1)},
      {"cut inside the name", Bytes(valid.begin(), valid.begin() + 4)},
      {"unknown tag", {0x0f}},
      {"extension tag as argument", {0x07, 0x01, 0x61, 0x80}},
      {"name is not a string", {0x03, 1, 0, 0, 0, 0x0d, 0x00}},
      {"string longer than the bytes", {0x07, 0xff, 0xff, 0xff, 0xff, 0x7f, 0x61}},
      {"a byte left over", leftover},
      {"null argument", callBytes("metadata", {}), messages::kArgumentsCode},
      {"list argument", callBytes("render", EncodableList{1, 2}), messages::kArgumentsCode},
      {"string argument", callBytes("tile", "path"), messages::kArgumentsCode},
      {"map with a number key", callBytes("metadata", EncodableMap{{1, "path"}}),
       messages::kArgumentsCode},
      {"empty map", valid, messages::kProcessingCode},
      {"unknown method", callBytes("Metadata", EncodableMap{})},
  };
  Inbox inbox;  // outlives the plug-in, which may still answer into it
  Plugin plugin = makePlugin();
  ASSERT_NE(plugin, nullptr);
  for (size_t i = 0; i < std::size(cases); ++i) {
    ASSERT_EQ(inbox.send(plugin.get(), cases[i].call, static_cast<int>(i)), 0) << cases[i].name;
  }
  plugin.reset();  // waits for every reply
  ASSERT_EQ(inbox.entries.size(), std::size(cases));
  for (const auto& entry : inbox.entries) {
    const auto& c = cases[entry.tag];
    SCOPED_TRACE(c.name);
    const Reply reply = decodeReply(entry.reply);
    EXPECT_EQ(reply.kind, c.code ? Reply::Kind::Error : Reply::Kind::NotImplemented);
    EXPECT_EQ(reply.error.code, c.code ? c.code : "");
  }
}

TEST(CApi, RefusedCallsGetNoCallback) {
  Plugin plugin = makePlugin();
  int called = 0;
  const auto count = [](const uint8_t*, size_t, void* user) { ++*static_cast<int*>(user); };
  const uint8_t byte = 0;
  EXPECT_EQ(velmo_plugin_handle(nullptr, &byte, 1, count, &called), -1);
  EXPECT_EQ(velmo_plugin_handle(plugin.get(), &byte, 1, nullptr, &called), -1);
  EXPECT_EQ(velmo_plugin_handle(plugin.get(), nullptr, 1, count, &called), -1);
  plugin.reset();
  velmo_plugin_destroy(nullptr);
  EXPECT_EQ(called, 0);
}

// The calls waiting for an answer are bounded by what they may hold: while the reply thread is
// kept busy by a callback, calls of 400,000 nulls each (26 MB once decoded) are taken up to
// VELMO_MAX_QUEUED_BYTES and refused beyond it; each taken call is answered once, no refused
// one ever, and once the queue has drained a call is taken again.
TEST(CApi, WaitingCallsAreBoundedByWhatTheyHold) {
  struct Gate {
    std::mutex mutex;
    std::condition_variable changed;
    bool entered = false;
    bool open = false;
    int replies = 0;
  } gate;
  const auto blockFirst = [](const uint8_t*, size_t, void* user) {
    auto& g = *static_cast<Gate*>(user);
    std::unique_lock lock(g.mutex);
    g.entered = true;
    g.changed.notify_all();
    g.changed.wait(lock, [&g] { return g.open; });
  };
  const auto count = [](const uint8_t*, size_t, void* user) {
    auto& g = *static_cast<Gate*>(user);
    std::lock_guard lock(g.mutex);
    ++g.replies;
    g.changed.notify_all();
  };
  Plugin plugin = makePlugin();
  const Bytes small = callBytes("metadata", EncodableList{});
  ASSERT_EQ(velmo_plugin_handle(plugin.get(), small.data(), small.size(), blockFirst, &gate), 0);
  {
    std::unique_lock lock(gate.mutex);
    gate.changed.wait(lock, [&gate] { return gate.entered; });
  }
  const Bytes big = callBytes(
      "metadata",
      EncodableMap{{"path", "x.jpg"}, {"junk", EncodableList(400'000, host::EncodableValue())}});
  int taken = 0;
  while (taken < 1000 &&
         velmo_plugin_handle(plugin.get(), big.data(), big.size(), count, &gate) == 0) {
    ++taken;
  }
  EXPECT_GE(taken, 1);
  EXPECT_LT(taken, 1000);
  // Each counts as its bytes and 65 times them (what 400,000 nulls can decode into).
  EXPECT_LE(uint64_t(taken) * big.size() * 66, uint64_t{VELMO_MAX_QUEUED_BYTES});
  EXPECT_GT(uint64_t(taken + 1) * big.size() * 66, uint64_t{VELMO_MAX_QUEUED_BYTES});
  {
    std::unique_lock lock(gate.mutex);
    gate.open = true;
    gate.changed.notify_all();
    gate.changed.wait(lock, [&] { return gate.replies == taken; });
  }
  EXPECT_EQ(velmo_plugin_handle(plugin.get(), big.data(), big.size(), count, &gate), 0);
  plugin.reset();
  EXPECT_EQ(gate.replies, taken + 1);
}

// Four threads send at once; every call is answered exactly once, on the instance's reply
// thread, and each thread's queued calls are answered in that thread's order. Destroy, right
// after the last call is handed in, returns only once every call has been answered and every
// render's file written.
TEST(CApi, ConcurrentCallersGetOneReplyEachInTheirOrder) {
  constexpr int kThreads = 4;
  constexpr int kCallsPerThread = 30;
  const std::string photo = dataPath("orientation/Landscape_1.jpg");
  const std::string camera = dataPath("camera/canon_sx60hs_orientation6.jpg");
  ScratchDir out;
  Inbox inbox;
  Plugin plugin = makePlugin();
  std::vector<std::thread> callers;
  std::vector<std::thread::id> callerIds(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    callers.emplace_back([&, t] {
      callerIds[t] = std::this_thread::get_id();
      for (int i = 0; i < kCallsPerThread; ++i) {
        // Mostly queued calls; every fifth is refused at once for its argument.
        const std::string render = out.file(std::to_string(t * 1000 + i));
        Bytes call = i % 5 == 4    ? callBytes("metadata", EncodableList{})
                     : i % 10 == 7 ? callBytes("render", renderArguments(camera, render, 600, 800))
                     : i % 3 == 0  ? callBytes("unknown", EncodableMap{})
                                   : callBytes("metadata", map({{"path", photo}}));
        EXPECT_EQ(inbox.send(plugin.get(), call, t * 1000 + i), 0);
      }
    });
  }
  for (auto& caller : callers) caller.join();
  plugin.reset();  // waits for every reply

  ASSERT_EQ(inbox.entries.size(), size_t{kThreads * kCallsPerThread});
  std::set<int> seen;
  std::vector<int> lastQueued(kThreads, -1);
  const std::thread::id replyThread = inbox.entries.front().thread;
  for (const auto& entry : inbox.entries) {
    const int t = entry.tag / 1000;
    const int i = entry.tag % 1000;
    EXPECT_TRUE(seen.insert(entry.tag).second) << entry.tag << " answered twice";
    EXPECT_EQ(entry.thread, replyThread);
    for (const auto& id : callerIds) EXPECT_NE(entry.thread, id);
    const Reply reply = decodeReply(entry.reply);
    if (i % 5 == 4) {
      EXPECT_EQ(reply.error.code, messages::kArgumentsCode) << entry.tag;
      continue;
    }
    EXPECT_GT(i, lastQueued[t]) << "thread " << t << " answered out of order";
    lastQueued[t] = i;
    if (i % 10 == 7) {
      EXPECT_TRUE(reply.ok()) << entry.tag << " " << reply.errorMessage();
      EXPECT_TRUE(std::filesystem::exists(out.file(std::to_string(entry.tag) + ".jpg")));
    } else if (i % 3 == 0) {
      EXPECT_EQ(reply.kind, Reply::Kind::NotImplemented) << entry.tag;
    } else {
      ASSERT_TRUE(reply.ok()) << entry.tag << " " << reply.errorMessage();
      EXPECT_EQ(*host::findEntry(reply.map(), "width"), host::EncodableValue(1800));
    }
  }
  EXPECT_EQ(seen.size(), size_t{kThreads * kCallsPerThread});
}

// A reply callback may hand in the next call; destroy waits for those too.
struct Chain {
  velmo_plugin* plugin;
  Bytes call;
  int answered = 0;  // on the reply thread only

  static void reply(const uint8_t*, size_t, void* user) {
    auto* chain = static_cast<Chain*>(user);
    if (++chain->answered < 5) {
      EXPECT_EQ(velmo_plugin_handle(chain->plugin, chain->call.data(), chain->call.size(),
                                    &Chain::reply, chain),
                0);
    }
  }
};

TEST(CApi, CallbacksMayCallAgain) {
  Chain chain{nullptr, callBytes("metadata", map({{"path", "/nonexistent"}}))};
  Plugin plugin = makePlugin();
  chain.plugin = plugin.get();
  ASSERT_EQ(velmo_plugin_handle(plugin.get(), chain.call.data(), chain.call.size(), &Chain::reply,
                                &chain),
            0);
  plugin.reset();
  EXPECT_EQ(chain.answered, 5);
}

TEST(CApi, CreatesAndDestroysIdleInstances) {
  for (int i = 0; i < 20; ++i) {
    velmo_plugin* plugin = velmo_plugin_create();
    ASSERT_NE(plugin, nullptr);
    velmo_plugin_destroy(plugin);
  }
  EXPECT_STREQ(velmo_image_tools_version(), "0.4.0");
}

// The threads of this process named "velmo." (as an instance names its reply thread and its
// worker) that are not exiting, by thread id. A thread that has been joined may still be
// listed for a moment while the kernel finishes its exit; it is marked exiting (PF_EXITING,
// 0x4, in the flags of its stat line) from the start of that exit. A library's thread started
// from the worker without a name of its own inherits the worker's, so the instance's threads
// are told apart by their ids, not their names.
std::set<std::string> velmoThreads() {
  std::set<std::string> ids;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    const std::string line = readText((task.path() / "stat").string());
    const size_t open = line.find('(');
    const size_t name = line.rfind(')');
    if (open == std::string::npos || name == std::string::npos) continue;  // gone while read
    std::istringstream fields(line.substr(name + 1));
    std::string state;
    uint64_t flags = 0;
    fields >> state;
    for (int i = 0; i < 6; ++i) fields >> flags;  // ppid, pgrp, session, tty, tpgid, flags
    if (line.compare(open + 1, 6, "velmo.") == 0 && (flags & 0x4) == 0 && state != "Z" &&
        state != "X") {
      ids.insert(task.path().filename().string());
    }
  }
  return ids;
}

// Destroy, right after a render is handed in, answers it first and leaves no thread of the
// instance running.
TEST(CApi, DestroyRightAfterARenderAnswersItAndLeavesNoThread) {
  const std::string photo = dataPath("orientation/Landscape_1.jpg");
  const host::EncodableValue recipe =
      map({{"watermark", map({{"enabled", true}, {"text", "Velmo"}})},
           {"strokes", EncodableList{map({{"shape", "blur"},
                                          {"widthFraction", 0.2},
                                          {"points", EncodableList{EncodableList{0.5, 0.5}}}})}}});
  ScratchDir out;
  for (int round = 0; round <= 5; ++round) {
    SCOPED_TRACE(round);
    Inbox inbox;
    const std::set<std::string> before = velmoThreads();
    velmo_plugin* plugin = velmo_plugin_create();
    ASSERT_NE(plugin, nullptr);
    std::set<std::string> instance;  // its reply thread and its worker, named as it starts them
    for (const std::string& id : velmoThreads()) {
      if (!before.contains(id)) instance.insert(id);
    }
    EXPECT_EQ(instance.size(), 2u);
    const std::string destination = out.file(std::to_string(round));
    EXPECT_EQ(inbox.send(plugin,
                         callBytes("render", renderArguments(photo, destination, 600, 400, recipe)),
                         round),
              0);
    velmo_plugin_destroy(plugin);
    ASSERT_EQ(inbox.entries.size(), 1u);
    const Reply reply = decodeReply(inbox.entries[0].reply);
    EXPECT_TRUE(reply.ok()) << reply.errorMessage();
    EXPECT_TRUE(std::filesystem::exists(destination + ".jpg"));
    const std::set<std::string> after = velmoThreads();
    for (const std::string& id : instance) EXPECT_FALSE(after.contains(id)) << "thread " << id;
  }
}

}  // namespace
}  // namespace velmo::testing
