#include "render/color.h"

#include <cstdint>
#include <variant>

#include "method/arguments.h"

namespace velmo {

draw::Color color(const host::EncodableValue* value) {
  uint32_t argb = 0xFFFFFFFFu;
  if (value != nullptr) {
    if (const auto* i = std::get_if<int32_t>(value)) {
      argb = static_cast<uint32_t>(*i);
    } else if (const auto* l = std::get_if<int64_t>(value)) {
      argb = static_cast<uint32_t>(*l);
    } else if (const auto* d = std::get_if<double>(value)) {
      if (auto truncated = truncateToInt64(*d)) argb = static_cast<uint32_t>(*truncated);
    }
  }
  return draw::colorFromArgb(argb);
}

}  // namespace velmo
