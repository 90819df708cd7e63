// Reading a call's argument map. Every method reads its keys through these helpers, so the
// rules are the same everywhere:
// - a key whose value has the wrong type counts as absent (the caller applies its default);
// - numbers are int32, int64 or float64 values only (booleans are not numbers, typed lists
//   are not lists);
// - a list counts as absent as a whole when one element has the wrong type;
// - a nested map counts only when every key is a string;
// - conversions to integers truncate toward zero and saturate; NaN counts as absent.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/encodable_value.h"

namespace velmo::method {

// True when |value| is a map whose keys are all strings (the empty map included).
bool isArgumentMap(const host::EncodableValue& value);

// The value as a double when it is an int32, int64 or float64 (NaN included).
std::optional<double> numberValue(const host::EncodableValue& value);

// Truncation toward zero into int64: NaN gives nullopt, +Inf and values at or above 2^63
// give INT64_MAX, -Inf and values below -2^63 give INT64_MIN.
std::optional<int64_t> truncateToInt64(double value);

std::optional<std::string> readString(const host::EncodableMap& map, std::string_view key);
// A number as a double, NaN kept (checks decide what NaN means).
std::optional<double> readDouble(const host::EncodableMap& map, std::string_view key);
// A number truncated toward zero to int64 (see truncateToInt64); NaN counts as absent.
std::optional<int64_t> readTruncatedInt64(const host::EncodableMap& map, std::string_view key);
// An integral count: an integer, or a float64 that is finite, integral and within int64.
std::optional<int64_t> readCount(const host::EncodableMap& map, std::string_view key);
// A list of numbers as doubles; absent when any element is not a number.
std::optional<std::vector<double>> readNumberList(const host::EncodableMap& map,
                                                  std::string_view key);
// A string-keyed map.
const host::EncodableMap* readMap(const host::EncodableMap& map, std::string_view key);
// A list of string-keyed maps; absent when any element is not one.
std::optional<std::vector<const host::EncodableMap*>> readMapList(const host::EncodableMap& map,
                                                                  std::string_view key);
// A boolean.
std::optional<bool> readBool(const host::EncodableMap& map, std::string_view key);

// For developers' diagnostics: |value| in a few words, with its content when short, for
// example `the string "true"`, `the number 0.5`, `a list of 3 elements`, `a map`.
std::string describeValue(const host::EncodableValue& value);
// Why |key| of |map| was not read as |expected| ("a string", "a number", ...):
// `"path" is absent` or `"path" is the number 5, not a string`.
std::string describeMismatch(const host::EncodableMap& map, std::string_view key,
                             std::string_view expected);

// An integer for a result map, written the way the host's own clients write integers: int32
// when the value fits, else int64.
host::EncodableValue integerValue(int64_t value);

}  // namespace velmo::method
