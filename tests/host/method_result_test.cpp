// Exactly one reply per result: what reaches the channel, and what is refused and reported.
#include "host/method_result.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace velmo::host {
namespace {

TEST(MethodResult, RepliesExactlyOnceAndReportsMisuse) {
  std::vector<std::string> reports;
  auto previous =
      MethodResult::setReporter([&](const std::string& text) { reports.push_back(text); });
  std::vector<Bytes> replies;
  const auto sink = [&](Bytes bytes) { replies.push_back(std::move(bytes)); };
  {
    MethodResult result(sink);
    result.success(int32_t{1});
    result.error("E", std::nullopt);
    result.notImplemented();
    result.success(int32_t{2});
  }
  MethodResult(sink).error("PHOTO_ARGUMENTS", "bad");
  MethodResult(sink).notImplemented();
  { MethodResult dropped(sink); }
  MethodResult::setReporter(std::move(previous));

  ASSERT_EQ(replies.size(), 3u);
  EXPECT_EQ(replies[0], encodeSuccessEnvelope(int32_t{1}));
  EXPECT_EQ(replies[1], encodeErrorEnvelope({"PHOTO_ARGUMENTS", "bad", EncodableValue()}));
  EXPECT_TRUE(replies[2].empty());
  ASSERT_EQ(reports.size(), 4u);
  for (int i = 0; i < 3; ++i) EXPECT_NE(reports[i].find("second reply"), std::string::npos) << i;
  EXPECT_NE(reports[3].find("dropped"), std::string::npos);
}

}  // namespace
}  // namespace velmo::host
