#include "render/watermark.h"

#include "method/arguments.h"
#include "render/color.h"

namespace velmo {

std::optional<draw::Watermark> readWatermark(const host::EncodableMap* map) {
  if (map == nullptr || readBool(*map, "enabled") != true) return std::nullopt;
  std::optional<std::string> text = readString(*map, "text");
  if (!text || text->empty()) return std::nullopt;

  draw::Watermark watermark;
  watermark.text = std::move(*text);
  const std::string style = readString(*map, "style").value_or("minimalSignature");
  if (style == "diagonalRepeat") {
    watermark.style = draw::WatermarkStyle::kDiagonalRepeat;
  } else if (style == "cornerStamp") {
    watermark.style = draw::WatermarkStyle::kCornerStamp;
  }
  watermark.opacity = readDouble(*map, "opacity");
  watermark.density = readDouble(*map, "density");
  // Each colour is read by the recipe's colour rule; the list counts only when every element
  // is a number.
  if (const auto numbers = readNumberList(*map, "gradientColors");
      numbers && numbers->size() >= 2) {
    for (const auto& value : std::get<EncodableList>(*host::findEntry(*map, "gradientColors"))) {
      watermark.gradientColors.push_back(color(&value));
    }
  }
  return watermark;
}

}  // namespace velmo
