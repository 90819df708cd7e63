#include "render/request.h"

#include <array>
#include <cmath>
#include <initializer_list>
#include <string_view>
#include <utility>
#include <variant>

#include "method/arguments.h"
#include "render/crop_arithmetic.h"

namespace velmo::render {

using namespace std::string_literals;
namespace {

constexpr double kDefaultWidthFraction = 0.006;
constexpr uint32_t kWhite = 0xFFFFFFFFu;

std::string quoted(std::string_view key) {
  return "\""s + std::string(key) + "\"";
}

// Warns of each key of |map| that is not one of |known|; |where| names the map.
void warnUnknownKeys(const host::EncodableMap& map, std::initializer_list<std::string_view> known,
                     std::string_view where, Diagnostics& diagnostics) {
  for (const auto& [key, value] : map) {
    const auto& name = std::get<std::string>(key);
    bool found = false;
    for (std::string_view k : known) found = found || name == k;
    if (!found)
      diagnostics.warn(std::string(where) + " has the unknown key " + quoted(name) +
                       "; it was ignored");
  }
}

// Warns when |key| is present in |map| but not a |expected|; |instead| says what was done.
template <typename Read>
auto readWarned(const host::EncodableMap& map, std::string_view key, std::string_view expected,
                std::string_view instead, Diagnostics& diagnostics, Read read) {
  auto value = read(map, key);
  if (!value && host::findEntry(map, key) != nullptr) {
    diagnostics.warn(method::describeMismatch(map, key, expected) + "; " + std::string(instead));
  }
  return value;
}

// A whole number of pixels read by truncation: a fraction is warned of.
std::optional<int64_t> readPixels(const host::EncodableMap& map, std::string_view key,
                                  Diagnostics& diagnostics) {
  const auto value = method::readTruncatedInt64(map, key);
  const auto* given = host::findEntry(map, key);
  if (value && given != nullptr) {
    if (const auto* d = std::get_if<double>(given);
        d && std::isfinite(*d) && std::trunc(*d) != *d) {
      diagnostics.warn(quoted(key) + " is " + method::describeValue(*given) +
                       ", not a whole number; " + std::to_string(*value) + " was used");
    }
  }
  return value;
}

// The colour a recipe value names (see RenderRequest::strokes).
draw::Color color(const host::EncodableValue* value) {
  uint32_t argb = kWhite;
  if (value != nullptr) {
    if (const auto* i = std::get_if<int32_t>(value)) {
      argb = static_cast<uint32_t>(*i);
    } else if (const auto* l = std::get_if<int64_t>(value)) {
      argb = static_cast<uint32_t>(*l);
    } else if (const auto* d = std::get_if<double>(value)) {
      if (auto truncated = method::truncateToInt64(*d)) argb = static_cast<uint32_t>(*truncated);
    }
  }
  return draw::colorFromArgb(argb);
}

std::vector<draw::Point> readPoints(const host::EncodableMap& map, std::string_view where,
                                    Diagnostics& diagnostics) {
  const host::EncodableValue* value = host::findEntry(map, "points");
  if (value == nullptr) return {};
  const auto* list = std::get_if<host::EncodableList>(value);
  const std::string nothing = std::string(where) + " has no points and draws nothing";
  if (list == nullptr) {
    diagnostics.warn(method::describeMismatch(map, "points", "a list of [x, y] pairs") + "; " +
                     nothing);
    return {};
  }
  std::vector<draw::Point> points;
  points.reserve(list->size());
  size_t skipped = 0;
  for (size_t index = 0; index < list->size(); ++index) {
    const host::EncodableValue& element = (*list)[index];
    const auto* pair = std::get_if<host::EncodableList>(&element);
    const auto spoilt = [&](const std::string& what) {
      diagnostics.warn("point "s + std::to_string(index) + " of " + std::string(where) + " is " +
                       what + ", not an [x, y] pair of numbers; " + nothing);
      return std::vector<draw::Point>{};
    };
    if (pair == nullptr) return spoilt(method::describeValue(element));
    std::optional<double> numbers[2];
    for (size_t i = 0; i < pair->size(); ++i) {
      const auto number = method::numberValue((*pair)[i]);
      // One element that is not a number spoils the whole value.
      if (!number) return spoilt("a list holding "s + method::describeValue((*pair)[i]));
      if (i < 2) numbers[i] = number;
    }
    if (pair->size() == 2) {
      points.push_back({*numbers[0], *numbers[1]});
    } else {
      ++skipped;
    }
  }
  if (skipped > 0) {
    diagnostics.warn(std::string(where) + " has " + std::to_string(skipped) +
                     " point(s) that are not two numbers; they were skipped");
  }
  return points;
}

std::optional<draw::Shape> shapeNamed(const std::string& name) {
  if (name == "blur") return draw::Shape::Blur;
  if (name == "rectangle" || name == "rect") return draw::Shape::Rectangle;
  if (name == "circle" || name == "oval") return draw::Shape::Ellipse;
  if (name == "line") return draw::Shape::Line;
  if (name == "arrow") return draw::Shape::Arrow;
  if (name == "freehand") return draw::Shape::Freehand;
  return std::nullopt;
}

draw::Stroke readStroke(const host::EncodableMap& map, size_t index, Diagnostics& diagnostics) {
  const std::string where = "stroke "s + std::to_string(index);
  warnUnknownKeys(map, {"shape", "points", "colorARGB", "widthFraction"}, where, diagnostics);
  draw::Stroke stroke;
  stroke.points = readPoints(map, where, diagnostics);

  const host::EncodableValue* given = host::findEntry(map, "colorARGB");
  stroke.color = color(given);
  if (given != nullptr && !method::numberValue(*given)) {
    diagnostics.warn(where + ": " +
                     method::describeMismatch(map, "colorARGB", "a 0xAARRGGBB number") +
                     "; opaque white was used");
  } else if (const auto* d = given ? std::get_if<double>(given) : nullptr; d && std::isnan(*d)) {
    diagnostics.warn(where + ": \"colorARGB\" is NaN; opaque white was used");
  }

  stroke.widthFraction = readWarned(map, "widthFraction", "a number", "the default 0.006 was used",
                                    diagnostics, method::readDouble)
                             .value_or(kDefaultWidthFraction);
  if (const auto shape = method::readString(map, "shape")) {
    if (const auto known = shapeNamed(*shape)) {
      stroke.shape = *known;
    } else {
      diagnostics.warn(where + ": \"shape\" " +
                       method::describeValue(host::EncodableValue(*shape)) +
                       " is not a known shape (blur, rectangle, rect, circle, oval, line, "
                       "arrow); it was drawn as a freehand line");
    }
  } else if (host::findEntry(map, "shape") != nullptr) {
    diagnostics.warn(where + ": " + method::describeMismatch(map, "shape", "a string") +
                     "; it was drawn as a freehand line");
  }
  return stroke;
}

std::optional<draw::Watermark> readWatermark(const host::EncodableMap& recipe,
                                             Diagnostics& diagnostics) {
  const host::EncodableValue* given = host::findEntry(recipe, "watermark");
  if (given == nullptr) return std::nullopt;
  const host::EncodableMap* map = method::readMap(recipe, "watermark");
  if (map == nullptr) {
    diagnostics.warn(method::describeMismatch(recipe, "watermark", "a map") +
                     "; no watermark was drawn");
    return std::nullopt;
  }
  warnUnknownKeys(*map, {"enabled", "text", "style", "opacity", "density", "gradientColors"},
                  "the watermark", diagnostics);
  const auto enabled = method::readBool(*map, "enabled");
  if (enabled != true) {
    if (!enabled && host::findEntry(*map, "text") != nullptr) {
      diagnostics.warn("the watermark's "s +
                       method::describeMismatch(*map, "enabled", "a boolean") +
                       "; no watermark was drawn");
    }
    return std::nullopt;
  }
  std::optional<std::string> text = method::readString(*map, "text");
  if (!text || text->empty()) {
    diagnostics.warn("the watermark's "s +
                     (text ? std::string("\"text\" is empty")
                           : method::describeMismatch(*map, "text", "a string")) +
                     "; no watermark was drawn");
    return std::nullopt;
  }

  draw::Watermark watermark;
  watermark.text = std::move(*text);
  const std::optional<std::string> style = method::readString(*map, "style");
  if (!style && host::findEntry(*map, "style") != nullptr) {
    diagnostics.warn("the watermark's "s + method::describeMismatch(*map, "style", "a string") +
                     "; it was drawn as \"minimalSignature\"");
  }
  if (style == "diagonalRepeat") {
    watermark.style = draw::WatermarkStyle::DiagonalRepeat;
  } else if (style == "cornerStamp") {
    watermark.style = draw::WatermarkStyle::CornerStamp;
  } else if (style && *style != "minimalSignature") {
    diagnostics.warn("the watermark's \"style\" "s +
                     method::describeValue(host::EncodableValue(*style)) +
                     " is not a known style (diagonalRepeat, cornerStamp, minimalSignature); "
                     "it was drawn as \"minimalSignature\"");
  }
  watermark.opacity = readWarned(*map, "opacity", "a number", "the default 0.12 was used",
                                 diagnostics, method::readDouble);
  watermark.density = readWarned(*map, "density", "a number", "the default 1 was used", diagnostics,
                                 method::readDouble);
  // Each colour is read by the recipe's colour rule; the list counts only when every element
  // is a number.
  const auto numbers = method::readNumberList(*map, "gradientColors");
  if (numbers && numbers->size() >= 2) {
    for (const auto& value :
         std::get<host::EncodableList>(*host::findEntry(*map, "gradientColors"))) {
      watermark.gradientColors.push_back(color(&value));
    }
  } else if (host::findEntry(*map, "gradientColors") != nullptr &&
             watermark.style == draw::WatermarkStyle::CornerStamp) {
    diagnostics.warn(
        "the watermark's "s +
        method::describeMismatch(*map, "gradientColors", "a list of two or more numbers") +
        "; the box was filled black");
  }
  return watermark;
}

}  // namespace

RenderRequest readRenderRequest(const host::EncodableMap& arguments, Diagnostics& diagnostics) {
  RenderRequest request;
  warnUnknownKeys(arguments,
                  {"path", "destination", "width", "height", "recipe", "referenceWidth",
                   "referenceHeight", "maxFileBytes"},
                  "the arguments", diagnostics);
  request.path = method::readString(arguments, "path");
  if (!arguments.empty()) request.destination = method::readString(arguments, "destination");
  request.width = readPixels(arguments, "width", diagnostics).value_or(0);
  request.height = readPixels(arguments, "height", diagnostics).value_or(0);

  if (const host::EncodableMap* recipe = method::readMap(arguments, "recipe")) {
    warnUnknownKeys(*recipe, {"crop", "quarterTurns", "strokes", "watermark"}, "the recipe",
                    diagnostics);
    if (auto crop = readWarned(*recipe, "crop", "a list of numbers [x, y, width, height]",
                               "the whole photo was used", diagnostics, method::readNumberList)) {
      if (crop->size() == 4) {
        request.crop = {(*crop)[0], (*crop)[1], (*crop)[2], (*crop)[3]};
      } else {
        request.miscountedCrop = std::move(*crop);
      }
    }
    const int64_t turns = readWarned(*recipe, "quarterTurns", "a whole number", "no turn was made",
                                     diagnostics, method::readCount)
                              .value_or(0);
    request.turns = normalizeTurns(turns);
    if (turns < 0 || turns > 3) {
      diagnostics.warn("\"quarterTurns\" "s + std::to_string(turns) + " is outside 0 to 3; " +
                       std::to_string(request.turns) + " (the same turn) was used");
    }
    if (auto strokes = readWarned(*recipe, "strokes", "a list of maps", "no stroke was drawn",
                                  diagnostics, method::readMapList)) {
      request.strokes.reserve(strokes->size());
      for (size_t i = 0; i < strokes->size(); ++i) {
        request.strokes.push_back(readStroke(*(*strokes)[i], i, diagnostics));
      }
    }
    request.watermark = readWatermark(*recipe, diagnostics);
  } else if (host::findEntry(arguments, "recipe") != nullptr) {
    diagnostics.warn(method::describeMismatch(arguments, "recipe", "a map") +
                     "; the photo was drawn without crop, turn, strokes or watermark");
  }

  request.referenceWidth = readWarned(arguments, "referenceWidth", "a number",
                                      "the output width was used", diagnostics, method::readDouble)
                               .value_or(static_cast<double>(request.width));
  request.referenceHeight =
      readWarned(arguments, "referenceHeight", "a number", "the output height was used",
                 diagnostics, method::readDouble)
          .value_or(static_cast<double>(request.height));
  request.maxFileBytes =
      readWarned(arguments, "maxFileBytes", "a number", "the default 8388608 was used", diagnostics,
                 method::readTruncatedInt64)
          .value_or(kDefaultMaxFileBytes);
  return request;
}

bool wantsBlur(const std::vector<draw::Stroke>& strokes) {
  for (const draw::Stroke& stroke : strokes) {
    if (stroke.shape == draw::Shape::Blur) return true;
  }
  return false;
}

}  // namespace velmo::render
