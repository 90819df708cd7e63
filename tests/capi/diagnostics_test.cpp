// The C entry point's diagnostics: what a call tells a developer beside its reply, handed to
// the instance's own callback just before that call's reply, on the reply thread; nothing
// when no callback is set, and never a line on standard error.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "capi/velmo_image_tools.h"
#include "tests/support/test_support.h"

namespace velmo::testing {
namespace {

using host::Bytes;
using host::EncodableMap;

// The callbacks of one instance in the order they came: "why: ...", "warning: ..." and
// "reply TAG", with the thread of each.
struct Log {
  struct Entry {
    std::string text;
    std::thread::id thread;
  };
  std::mutex mutex;
  std::vector<Entry> entries;

  void add(std::string text) {
    std::lock_guard lock(mutex);
    entries.push_back({std::move(text), std::this_thread::get_id()});
  }

  static void diagnostics(const velmo_diagnostics* told, void* user) {
    auto* log = static_cast<Log*>(user);
    if (told->reason != nullptr) log->add(std::string("why: ") + told->reason);
    for (size_t i = 0; i < told->warning_count; ++i) {
      log->add(std::string("warning: ") + told->warnings[i]);
    }
  }

  struct Ticket {
    Log* log;
    int tag;
  };
  static void reply(const uint8_t*, size_t, void* user) {
    auto* ticket = static_cast<Ticket*>(user);
    ticket->log->add("reply " + std::to_string(ticket->tag));
    delete ticket;
  }
  int send(velmo_plugin* plugin, const Bytes& call, int tag) {
    return velmo_plugin_handle(plugin, call.data(), call.size(), &Log::reply,
                               new Ticket{this, tag});
  }
};

TEST(CApiDiagnostics, ToldJustBeforeEachReplyOnTheReplyThread) {
  ScratchDir dir;
  const std::string photo = dataPath("orientation/Landscape_1.jpg");
  Log log;
  velmo_plugin* plugin = velmo_plugin_create_with_diagnostics(&Log::diagnostics, &log);
  ASSERT_NE(plugin, nullptr);
  const Bytes calls[] = {
      callBytes("metadata", map({{"path", 5}})),
      callBytes("metadata", map({{"path", photo}})),  // nothing to tell
      {0x0f},                                         // not a method call
      callBytes("render", host::EncodableList{1}),    // not a map
      callBytes("render", map({{"path", photo},
                               {"destination", dir.file("out")},
                               {"width", 40},
                               {"height", 30},
                               {"recipe", map({{"quarterTurns", 6}})}})),
  };
  for (size_t i = 0; i < std::size(calls); ++i) {
    ASSERT_EQ(log.send(plugin, calls[i], static_cast<int>(i)), 0);
  }
  velmo_plugin_destroy(plugin);

  // What each call told: the entries just before its reply, since the previous reply. The
  // order of the calls' replies among themselves is not looked at (calls answered at once may
  // pass queued ones).
  std::map<int, std::vector<std::string>> told;
  std::vector<std::string> pending;
  for (const auto& entry : log.entries) {
    EXPECT_NE(entry.thread, std::this_thread::get_id());
    EXPECT_EQ(entry.thread, log.entries.front().thread);
    if (entry.text.starts_with("reply ")) {
      EXPECT_TRUE(told.emplace(std::stoi(entry.text.substr(6)), std::move(pending)).second);
      pending.clear();
    } else {
      pending.push_back(entry.text);
    }
  }
  EXPECT_TRUE(pending.empty());
  ASSERT_EQ(told.size(), std::size(calls));
  EXPECT_EQ(told[0],
            std::vector<std::string>{"why: metadata: \"path\" is the number 5, not a string"});
  EXPECT_EQ(told[1], std::vector<std::string>{});
  ASSERT_EQ(told[2].size(), 1u);
  EXPECT_TRUE(told[2][0].starts_with("why: velmo/image_tools: the message is not a method call: "))
      << told[2][0];
  EXPECT_EQ(told[3], std::vector<std::string>{
                         "why: render: the arguments are a list of 1 element, not a map with "
                         "string keys"});
  EXPECT_EQ(told[4], std::vector<std::string>{
                         "warning: render: \"quarterTurns\" 6 is outside 0 to 3; 2 (the same "
                         "turn) was used"});
}

// Without a callback nothing is told, and nothing is written to standard error, however many
// malformed calls come.
TEST(CApiDiagnostics, NothingOnStandardErrorWithoutACallback) {
  ScratchDir dir;
  const int saved = ::dup(STDERR_FILENO);
  const int file = ::open(dir.file("stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(file, 0);
  ::dup2(file, STDERR_FILENO);
  ::close(file);
  {
    Log log;
    velmo_plugin* plugin = velmo_plugin_create();
    for (int i = 0; i < 200; ++i) {
      log.send(plugin, {0x0f}, i);
      log.send(plugin, callBytes("metadata", host::EncodableList{}), i);
      log.send(plugin, callBytes("metadata", map({{"path", "/no/such/file"}})), i);
    }
    velmo_plugin_destroy(plugin);
    EXPECT_EQ(log.entries.size(), 600u);
  }
  ::dup2(saved, STDERR_FILENO);
  ::close(saved);
  EXPECT_EQ(readText(dir.file("stderr")), "");
}

}  // namespace
}  // namespace velmo::testing
