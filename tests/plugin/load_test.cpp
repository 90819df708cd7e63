// Load: thousands of mixed calls posted to the host stand-in as fast as it takes them. Every
// call is answered exactly once, queued calls in call order, and the process does not grow
// once warmed up.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/image_files.h"
#include "tests/support/messages.h"
#include "tests/support/test_support.h"

namespace velmo::testing {
namespace {

using host::EncodableList;
using host::EncodableMap;
using host::EncodableValue;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kCalls = 1'500;  // the sanitizers make each call many times dearer
#else
constexpr int kCalls = 10'000;
#endif
constexpr int kBatch = 500;

enum class Expect { Success, Refused, Failure, NotImplemented };

struct Call {
  std::string method;
  EncodableValue arguments;
  Expect expect;
};

std::vector<Call> mix(const ScratchDir& dir, const std::string& photo) {
  const EncodableList strokes{
      map({{"shape", "arrow"},
           {"points", EncodableList{EncodableList{0.1, 0.1}, EncodableList{0.8, 0.6}}}}),
      map({{"shape", "blur"},
           {"points", EncodableList{EncodableList{0.5, 0.5}}},
           {"widthFraction", 0.3}}),
  };
  const EncodableValue watermark =
      map({{"enabled", true}, {"text", "Velmo 維爾莫"}, {"style", "cornerStamp"}});
  return {
      {"metadata", map({{"path", photo}}), Expect::Success},
      {"render",
       map({{"path", photo},
            {"destination", dir.file("render")},
            {"width", 48},
            {"height", 32},
            {"recipe",
             map({{"quarterTurns", 1}, {"strokes", strokes}, {"watermark", watermark}})}}),
       Expect::Success},
      {"tile",
       map({{"path", photo},
            {"destination", dir.file("tile")},
            {"height", 16},
            {"width", 64},
            {"sample", 2}}),
       Expect::Success},
      {"render", EncodableList{1, 2}, Expect::Refused},
      {"render", map({{"destination", dir.file("x")}, {"width", 0}, {"height", 5}}),
       Expect::Failure},
      {"crop", map({}), Expect::NotImplemented},
  };
}

TEST(Load, MixedCallsAreAnsweredOnceInOrderWithFlatMemory) {
  ScratchDir dir;
  const std::string photo = dir.file("photo.png");
  writePngFile(photo,
               RgbaImage::generate(96, 64,
                                   [](uint32_t x, uint32_t y) {
                                     return 0xFF000000u | (x * 2 << 16) | (y * 3 << 8) | 0x60;
                                   }),
               false);
  const std::vector<Call> calls = mix(dir, photo);
  PluginHarness harness;
  std::vector<long> resident;
  for (int sent = 0; sent < kCalls;) {
    const int end = std::min(kCalls, sent + kBatch);
    for (; sent < end; ++sent) {
      const Call& c = calls[sent % calls.size()];
      harness.send(c.method, c.arguments, sent);
    }
    ASSERT_TRUE(harness.waitForReplies(end, std::chrono::minutes(5))) << "stalled after " << end;
    resident.push_back(long(processStatusBytes("VmRSS") / 1024));
  }
  harness.engine().mainThread().runUntilIdle();
  ASSERT_EQ(harness.replies().size(), size_t(kCalls));

  // Refused calls are answered at once, before any queued call; queued calls in call order.
  std::vector<bool> answered(kCalls, false);
  int lastQueued = -1;
  for (const auto& [tag, reply] : harness.replies()) {
    ASSERT_FALSE(answered[tag]) << "call " << tag << " answered twice";
    answered[tag] = true;
    const Call& c = calls[tag % calls.size()];
    switch (c.expect) {
      case Expect::Success:
        ASSERT_TRUE(reply.ok()) << c.method << ": " << reply.errorMessage();
        break;
      case Expect::Refused:
        ASSERT_EQ(reply.error.code, messages::kArgumentsCode);
        continue;  // not queued
      case Expect::Failure:
        ASSERT_EQ(reply.errorMessage(), messages::kOutputOutOfRange);
        break;
      case Expect::NotImplemented:
        ASSERT_EQ(reply.kind, Reply::Kind::NotImplemented);
        break;
    }
    ASSERT_GT(tag, lastQueued);
    lastQueued = tag;
  }

  // After the first two batches (fonts, caches, allocator arenas), memory stays flat.
  if (resident.size() > 3) {
    const auto [low, high] = std::minmax_element(resident.begin() + 2, resident.end());
    EXPECT_LE(*high - *low, 16 * 1024) << "resident KiB from " << *low << " to " << *high;
  }
}

}  // namespace
}  // namespace velmo::testing
