// Values that travel over a method channel, one alternative per type tag of the
// standard message codec (see standard_codec.h for the wire format).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace velmo::host {

class EncodableValue;

using EncodableList = std::vector<EncodableValue>;
// A map keeps the order in which its entries arrived. Keys may be any value, so that a map
// with a non-string key can be represented (and refused by the plug-in).
using EncodableMap = std::vector<std::pair<EncodableValue, EncodableValue>>;

// The variant index of each alternative is part of the interface: the codec maps indices to
// type tags, and tests name them.
using EncodableVariant = std::variant<std::monostate,        // null
                                      bool,                  // true / false
                                      int32_t,               // int32
                                      int64_t,               // int64
                                      double,                // float64
                                      std::string,           // string (UTF-8); also "large int"
                                      std::vector<uint8_t>,  // uint8 list
                                      std::vector<int32_t>,  // int32 list
                                      std::vector<int64_t>,  // int64 list
                                      std::vector<float>,    // float32 list
                                      std::vector<double>,   // float64 list
                                      EncodableList,         // list
                                      EncodableMap>;         // map

class EncodableValue : public EncodableVariant {
 public:
  using EncodableVariant::EncodableVariant;
  using EncodableVariant::operator=;

  EncodableValue() = default;
  // String literals would otherwise pick the bool alternative.
  EncodableValue(const char* text) : EncodableVariant(std::string(text)) {}

  bool isNull() const { return std::holds_alternative<std::monostate>(*this); }

  friend bool operator==(const EncodableValue& a, const EncodableValue& b) {
    return static_cast<const EncodableVariant&>(a) == static_cast<const EncodableVariant&>(b);
  }
};

// The entry of |map| whose key is the string |key|, or nullptr. Maps decoded from the wire
// hold each key once.
inline const EncodableValue* findEntry(const EncodableMap& map, std::string_view key) {
  for (const auto& [k, v] : map) {
    if (const auto* s = std::get_if<std::string>(&k); s && *s == key) return &v;
  }
  return nullptr;
}

}  // namespace velmo::host
