#include "method/arguments.h"

#include <cmath>
#include <iomanip>
#include <limits>
#include <sstream>
#include <type_traits>
#include <variant>

namespace velmo::method {

using host::EncodableList;
using host::EncodableMap;
using host::EncodableValue;

bool isArgumentMap(const EncodableValue& value) {
  const auto* map = std::get_if<EncodableMap>(&value);
  if (!map) return false;
  for (const auto& entry : *map) {
    if (!std::holds_alternative<std::string>(entry.first)) return false;
  }
  return true;
}

std::optional<double> numberValue(const EncodableValue& value) {
  if (const auto* i = std::get_if<int32_t>(&value)) return static_cast<double>(*i);
  if (const auto* l = std::get_if<int64_t>(&value)) return static_cast<double>(*l);
  if (const auto* d = std::get_if<double>(&value)) return *d;
  return std::nullopt;
}

std::optional<int64_t> truncateToInt64(double value) {
  if (std::isnan(value)) return std::nullopt;
  // 2^63 is exactly representable; every double below it and at or above -2^63 converts.
  constexpr double kTwo63 = 9223372036854775808.0;
  if (value >= kTwo63) return std::numeric_limits<int64_t>::max();
  if (value < -kTwo63) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(value);
}

std::optional<std::string> readString(const EncodableMap& map, std::string_view key) {
  const auto* value = host::findEntry(map, key);
  if (!value) return std::nullopt;
  if (const auto* s = std::get_if<std::string>(value)) return *s;
  return std::nullopt;
}

std::optional<double> readDouble(const EncodableMap& map, std::string_view key) {
  const auto* value = host::findEntry(map, key);
  return value ? numberValue(*value) : std::nullopt;
}

std::optional<int64_t> readTruncatedInt64(const EncodableMap& map, std::string_view key) {
  const auto* value = host::findEntry(map, key);
  if (!value) return std::nullopt;
  // Integers need no trip through double, which would round values above 2^53.
  if (const auto* i = std::get_if<int32_t>(value)) return *i;
  if (const auto* l = std::get_if<int64_t>(value)) return *l;
  if (const auto* d = std::get_if<double>(value)) return truncateToInt64(*d);
  return std::nullopt;
}

std::optional<int64_t> readCount(const EncodableMap& map, std::string_view key) {
  const auto* value = host::findEntry(map, key);
  if (!value) return std::nullopt;
  if (const auto* i = std::get_if<int32_t>(value)) return *i;
  if (const auto* l = std::get_if<int64_t>(value)) return *l;
  if (const auto* d = std::get_if<double>(value)) {
    constexpr double kTwo63 = 9223372036854775808.0;
    if (!std::isfinite(*d) || std::trunc(*d) != *d || *d >= kTwo63 || *d < -kTwo63) {
      return std::nullopt;
    }
    return static_cast<int64_t>(*d);
  }
  return std::nullopt;
}

std::optional<std::vector<double>> readNumberList(const EncodableMap& map, std::string_view key) {
  const auto* value = host::findEntry(map, key);
  if (!value) return std::nullopt;
  const auto* list = std::get_if<EncodableList>(value);
  if (!list) return std::nullopt;
  std::vector<double> numbers;
  numbers.reserve(list->size());
  for (const auto& element : *list) {
    auto number = numberValue(element);
    if (!number) return std::nullopt;
    numbers.push_back(*number);
  }
  return numbers;
}

const EncodableMap* readMap(const EncodableMap& map, std::string_view key) {
  const auto* value = host::findEntry(map, key);
  if (!value || !isArgumentMap(*value)) return nullptr;
  return &std::get<EncodableMap>(*value);
}

std::optional<std::vector<const EncodableMap*>> readMapList(const EncodableMap& map,
                                                            std::string_view key) {
  const auto* value = host::findEntry(map, key);
  if (!value) return std::nullopt;
  const auto* list = std::get_if<EncodableList>(value);
  if (!list) return std::nullopt;
  std::vector<const EncodableMap*> maps;
  maps.reserve(list->size());
  for (const auto& element : *list) {
    if (!isArgumentMap(element)) return std::nullopt;
    maps.push_back(&std::get<EncodableMap>(element));
  }
  return maps;
}

std::optional<bool> readBool(const EncodableMap& map, std::string_view key) {
  const auto* value = host::findEntry(map, key);
  if (!value) return std::nullopt;
  if (const auto* b = std::get_if<bool>(value)) return *b;
  return std::nullopt;
}

std::string describeValue(const EncodableValue& value) {
  constexpr size_t kShortText = 40;
  return std::visit(
      [&](const auto& v) -> std::string {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::monostate>) {
          return "null";
        } else if constexpr (std::is_same_v<T, bool>) {
          return v ? "the boolean true" : "the boolean false";
        } else if constexpr (std::is_same_v<T, int32_t> || std::is_same_v<T, int64_t>) {
          return "the number " + std::to_string(v);
        } else if constexpr (std::is_same_v<T, double>) {
          std::ostringstream out;
          out << "the number " << std::setprecision(17) << v;
          return out.str();
        } else if constexpr (std::is_same_v<T, std::string>) {
          if (v.size() > kShortText) return "a string of " + std::to_string(v.size()) + " bytes";
          std::string text = "the string \"";
          text.append(v).push_back('"');
          return text;
        } else if constexpr (std::is_same_v<T, EncodableList>) {
          return "a list of " + std::to_string(v.size()) +
                 (v.size() == 1 ? " element" : " elements");
        } else if constexpr (std::is_same_v<T, EncodableMap>) {
          return isArgumentMap(value) ? "a map" : "a map with keys that are not strings";
        } else {
          return "a typed list";
        }
      },
      static_cast<const host::EncodableVariant&>(value));
}

std::string describeMismatch(const EncodableMap& map, std::string_view key,
                             std::string_view expected) {
  std::ostringstream text;
  text << '"' << key << "\" is ";
  if (const auto* value = host::findEntry(map, key)) {
    text << describeValue(*value) << ", not " << expected;
  } else {
    text << "absent";
  }
  return text.str();
}

EncodableValue integerValue(int64_t value) {
  if (value >= std::numeric_limits<int32_t>::min() &&
      value <= std::numeric_limits<int32_t>::max()) {
    return static_cast<int32_t>(value);
  }
  return value;
}

}  // namespace velmo::method
