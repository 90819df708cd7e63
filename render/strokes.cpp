#include "render/strokes.h"

#include <optional>
#include <string>
#include <variant>

#include "method/arguments.h"
#include "render/color.h"

namespace velmo {
namespace {

constexpr double kDefaultWidthFraction = 0.006;

std::vector<draw::Point> readPoints(const host::EncodableMap& map) {
  const host::EncodableValue* value = host::findEntry(map, "points");
  const auto* list = value ? std::get_if<host::EncodableList>(value) : nullptr;
  if (list == nullptr) return {};
  std::vector<draw::Point> points;
  points.reserve(list->size());
  for (const host::EncodableValue& element : *list) {
    const auto* pair = std::get_if<host::EncodableList>(&element);
    if (pair == nullptr) return {};
    std::optional<double> numbers[2];
    for (size_t i = 0; i < pair->size(); ++i) {
      const auto number = numberValue((*pair)[i]);
      // One element that is not a number spoils the whole value.
      if (!number) return {};
      if (i < 2) numbers[i] = number;
    }
    if (pair->size() == 2) points.push_back({*numbers[0], *numbers[1]});
  }
  return points;
}

draw::Shape shapeNamed(const std::string& name) {
  if (name == "blur") return draw::Shape::Blur;
  if (name == "rectangle" || name == "rect") return draw::Shape::Rectangle;
  if (name == "circle" || name == "oval") return draw::Shape::Ellipse;
  if (name == "line") return draw::Shape::Line;
  if (name == "arrow") return draw::Shape::Arrow;
  return draw::Shape::Freehand;
}

}  // namespace

draw::Stroke readStroke(const host::EncodableMap& map) {
  draw::Stroke stroke;
  stroke.points = readPoints(map);
  stroke.color = color(host::findEntry(map, "colorARGB"));
  stroke.widthFraction = readDouble(map, "widthFraction").value_or(kDefaultWidthFraction);
  if (auto shape = readString(map, "shape")) stroke.shape = shapeNamed(*shape);
  return stroke;
}

std::vector<draw::Stroke> readStrokes(const std::vector<const host::EncodableMap*>& maps) {
  std::vector<draw::Stroke> strokes;
  strokes.reserve(maps.size());
  for (const host::EncodableMap* map : maps) strokes.push_back(readStroke(*map));
  return strokes;
}

bool wantsBlur(const std::vector<draw::Stroke>& strokes) {
  for (const draw::Stroke& stroke : strokes) {
    if (stroke.shape == draw::Shape::Blur) return true;
  }
  return false;
}

}  // namespace velmo
