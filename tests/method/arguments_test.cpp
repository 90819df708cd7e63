// The reading rules at their edges, and integers in results.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

#include "method/arguments.h"

namespace velmo {
namespace {

using host::EncodableList;
using host::EncodableMap;
using host::EncodableValue;

TEST(Results, IntegersAreInt32WhenTheyFitElseInt64) {
  constexpr int64_t kMax32 = std::numeric_limits<int32_t>::max();
  constexpr int64_t kMin32 = std::numeric_limits<int32_t>::min();
  EXPECT_EQ(method::integerValue(kMax32), EncodableValue(int32_t{INT32_MAX}));
  EXPECT_EQ(method::integerValue(kMin32), EncodableValue(int32_t{INT32_MIN}));
  EXPECT_EQ(method::integerValue(kMax32 + 1), EncodableValue(int64_t{kMax32 + 1}));
  EXPECT_EQ(method::integerValue(kMin32 - 1), EncodableValue(int64_t{kMin32 - 1}));
}

TEST(Arguments, TruncationSaturatesAtTheEndsOfInt64) {
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  const EncodableMap map{{"two63", 9223372036854775808.0},  // INT64_MAX sent as a float
                         {"minus", -9223372036854775808.0},
                         {"below", -1e300},
                         {"inf", std::numeric_limits<double>::infinity()},
                         {"nan", std::nan("")},
                         {"big", int64_t{kMax}},
                         {"fraction", -2.9},
                         {"flag", true}};
  EXPECT_EQ(method::readTruncatedInt64(map, "two63"), kMax);
  EXPECT_EQ(method::readTruncatedInt64(map, "minus"), kMin);
  EXPECT_EQ(method::readTruncatedInt64(map, "below"), kMin);
  EXPECT_EQ(method::readTruncatedInt64(map, "inf"), kMax);
  EXPECT_EQ(method::readTruncatedInt64(map, "nan"), std::nullopt);
  EXPECT_EQ(method::readTruncatedInt64(map, "big"), kMax);  // not rounded through a double
  EXPECT_EQ(method::readTruncatedInt64(map, "fraction"), -2);
  EXPECT_EQ(method::readTruncatedInt64(map, "flag"), std::nullopt);
  // Counts must be integral and inside int64.
  EXPECT_EQ(method::readCount(map, "two63"), std::nullopt);
  EXPECT_EQ(method::readCount(map, "minus"), kMin);
  EXPECT_EQ(method::readCount(map, "fraction"), std::nullopt);
}

}  // namespace
}  // namespace velmo
