// Exactly one reply per call: what reaches the channel, and what is refused and reported.
#include "host/method_result.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace velmo::host {
namespace {

// Collects reports for the duration of a test and restores the previous reporter.
class ReportCatcher {
 public:
  ReportCatcher() {
    previous_ =
        MethodResult::setReporter([this](const std::string& text) { reports.push_back(text); });
  }
  ~ReportCatcher() { MethodResult::setReporter(std::move(previous_)); }
  std::vector<std::string> reports;

 private:
  MethodResult::Reporter previous_;
};

struct Sink {
  std::vector<Bytes> replies;
  MethodResult::ReplySink callback() {
    return [this](Bytes bytes) { replies.push_back(std::move(bytes)); };
  }
};

TEST(MethodResult, RepliesAreEncodedEnvelopes) {
  ReportCatcher catcher;
  Sink sink;
  MethodResult(sink.callback()).success(EncodableMap{{"w", int32_t{3}}});
  MethodResult(sink.callback()).error("PHOTO_ARGUMENTS", "bad", EncodableValue());
  MethodResult(sink.callback()).notImplemented();
  ASSERT_EQ(sink.replies.size(), 3u);
  EXPECT_EQ(sink.replies[0], encodeSuccessEnvelope(EncodableMap{{"w", int32_t{3}}}));
  EXPECT_EQ(sink.replies[1], encodeErrorEnvelope({"PHOTO_ARGUMENTS", "bad", EncodableValue()}));
  EXPECT_TRUE(sink.replies[2].empty());
  EXPECT_TRUE(catcher.reports.empty());
}

TEST(MethodResult, SecondReplyIsRefusedAndReported) {
  ReportCatcher catcher;
  Sink sink;
  {
    MethodResult result(sink.callback());
    result.success(int32_t{1});
    EXPECT_TRUE(result.replied());
    result.error("E", std::nullopt);
    result.notImplemented();
    result.success(int32_t{2});
  }
  ASSERT_EQ(sink.replies.size(), 1u);
  EXPECT_EQ(sink.replies[0], encodeSuccessEnvelope(int32_t{1}));
  ASSERT_EQ(catcher.reports.size(), 3u);
  EXPECT_NE(catcher.reports[0].find("second reply"), std::string::npos);
}

TEST(MethodResult, DroppedResultIsReported) {
  ReportCatcher catcher;
  Sink sink;
  { MethodResult result(sink.callback()); }
  EXPECT_TRUE(sink.replies.empty());
  ASSERT_EQ(catcher.reports.size(), 1u);
  EXPECT_NE(catcher.reports[0].find("dropped"), std::string::npos);
}

}  // namespace
}  // namespace velmo::host
