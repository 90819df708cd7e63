#include "cli/json_values.h"

#include <cmath>
#include <limits>
#include <utility>

namespace velmo::cli {
namespace {

using host::EncodableList;
using host::EncodableMap;
using host::EncodableValue;

// The channel's decoder refuses lists and maps nested more than 1000 deep; refusing them here
// too keeps the tool from sending what the other side cannot read. Typed JSON spends up to
// three JSON levels per container level.
constexpr int kMaxContainerDepth = 1000;
constexpr int kMaxJsonDepth = 3 * kMaxContainerDepth + 16;

[[noreturn]] void invalid(const std::string& what, const Json& json) {
  std::string shown = json.dump(-1, ' ', false, Json::error_handler_t::replace);
  if (shown.size() > 60) shown = shown.substr(0, 57) + "...";
  throw JsonInputError(what + ": " + shown);
}

void checkDepth(int depth) {
  if (depth > kMaxContainerDepth) {
    throw JsonInputError("lists and maps nested more than " + std::to_string(kMaxContainerDepth) +
                         " deep");
  }
}

// ---- numbers ---------------------------------------------------------------------------

std::optional<int64_t> exactInt64(const Json& json) {
  if (json.is_number_integer() && !json.is_number_unsigned()) return json.get<int64_t>();
  if (json.is_number_unsigned()) {
    const uint64_t u = json.get<uint64_t>();
    if (u <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
      return static_cast<int64_t>(u);
    }
  }
  return std::nullopt;
}

template <typename Int>
Int integerIn(const Json& json, const char* type) {
  const auto n = exactInt64(json);
  if (!n || *n < std::numeric_limits<Int>::min() || *n > std::numeric_limits<Int>::max()) {
    invalid(std::string(type) + " needs an integer in its range", json);
  }
  return static_cast<Int>(*n);
}

// A float: any JSON number, or one of the names of the values JSON cannot write.
double floatFrom(const Json& json, const char* type) {
  if (json.is_number()) return json.get<double>();
  if (json.is_string()) {
    const auto& s = json.get_ref<const std::string&>();
    if (s == "NaN") return std::numeric_limits<double>::quiet_NaN();
    if (s == "Infinity") return std::numeric_limits<double>::infinity();
    if (s == "-Infinity") return -std::numeric_limits<double>::infinity();
  }
  invalid(std::string(type) + " needs a number, \"NaN\", \"Infinity\" or \"-Infinity\"", json);
}

Json floatTo(double d) {
  if (std::isnan(d)) return "NaN";
  if (std::isinf(d)) return d > 0 ? "Infinity" : "-Infinity";
  return d;
}

template <typename Element, typename Convert>
std::vector<Element> typedElements(const Json& json, const char* type, Convert convert) {
  if (!json.is_array()) invalid(std::string(type) + " needs an array", json);
  std::vector<Element> values;
  values.reserve(json.size());
  for (const auto& element : json) values.push_back(convert(element));
  return values;
}

// ---- plain -------------------------------------------------------------------------------

EncodableValue fromPlain(const Json& json, int depth) {
  switch (json.type()) {
    case Json::value_t::null:
      return EncodableValue();
    case Json::value_t::boolean:
      return json.get<bool>();
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned: {
      const auto n = exactInt64(json);
      if (!n) return json.get<double>();  // beyond int64: only a double can hold it
      if (*n >= std::numeric_limits<int32_t>::min() && *n <= std::numeric_limits<int32_t>::max()) {
        return static_cast<int32_t>(*n);
      }
      return *n;
    }
    case Json::value_t::number_float:
      return json.get<double>();
    case Json::value_t::string:
      return json.get<std::string>();
    case Json::value_t::array: {
      checkDepth(depth + 1);
      EncodableList list;
      list.reserve(json.size());
      for (const auto& element : json) list.push_back(fromPlain(element, depth + 1));
      return list;
    }
    case Json::value_t::object: {
      checkDepth(depth + 1);
      EncodableMap map;
      map.reserve(json.size());
      for (const auto& [key, element] : json.items()) {
        map.emplace_back(key, fromPlain(element, depth + 1));
      }
      return map;
    }
    default:
      invalid("not a value", json);
  }
}

template <typename Element>
Json plainArray(const std::vector<Element>& values) {
  Json array = Json::array();
  for (Element v : values) {
    if constexpr (std::is_floating_point_v<Element>) {
      array.push_back(std::isfinite(v) ? Json(static_cast<double>(v)) : Json());
    } else {
      array.push_back(v);
    }
  }
  return array;
}

// ---- typed -------------------------------------------------------------------------------

EncodableValue fromTyped(const Json& json, int depth) {
  if (!json.is_object() || json.size() != 1) {
    invalid("a typed value is an object with one member naming its type", json);
  }
  const std::string& type = json.begin().key();
  const Json& body = json.begin().value();
  if (type == "null") {
    if (!body.is_null()) invalid("\"null\" takes null", body);
    return EncodableValue();
  }
  if (type == "bool") {
    if (!body.is_boolean()) invalid("\"bool\" takes true or false", body);
    return body.get<bool>();
  }
  if (type == "int32") return integerIn<int32_t>(body, "int32");
  if (type == "int64") return integerIn<int64_t>(body, "int64");
  if (type == "float64") return floatFrom(body, "float64");
  if (type == "string") {
    if (!body.is_string()) invalid("\"string\" takes a string", body);
    return body.get<std::string>();
  }
  if (type == "uint8list") {
    return typedElements<uint8_t>(body, "uint8list",
                                  [](const Json& e) { return integerIn<uint8_t>(e, "uint8list"); });
  }
  if (type == "int32list") {
    return typedElements<int32_t>(body, "int32list",
                                  [](const Json& e) { return integerIn<int32_t>(e, "int32list"); });
  }
  if (type == "int64list") {
    return typedElements<int64_t>(body, "int64list",
                                  [](const Json& e) { return integerIn<int64_t>(e, "int64list"); });
  }
  if (type == "float32list") {
    return typedElements<float>(body, "float32list", [](const Json& e) {
      return static_cast<float>(floatFrom(e, "float32list"));
    });
  }
  if (type == "float64list") {
    return typedElements<double>(body, "float64list",
                                 [](const Json& e) { return floatFrom(e, "float64list"); });
  }
  if (type == "list") {
    if (!body.is_array()) invalid("\"list\" takes an array of typed values", body);
    checkDepth(depth + 1);
    EncodableList list;
    list.reserve(body.size());
    for (const auto& element : body) list.push_back(fromTyped(element, depth + 1));
    return list;
  }
  if (type == "map") {
    if (!body.is_array()) invalid("\"map\" takes an array of [key, value] pairs", body);
    checkDepth(depth + 1);
    EncodableMap map;
    map.reserve(body.size());
    for (const auto& entry : body) {
      if (!entry.is_array() || entry.size() != 2) {
        invalid("a map entry is a [typedKey, typedValue] pair", entry);
      }
      map.emplace_back(fromTyped(entry[0], depth + 1), fromTyped(entry[1], depth + 1));
    }
    return map;
  }
  invalid("unknown type \"" + type + "\"", json);
}

Json typed(const char* type, Json body) {
  Json json = Json::object();
  json[type] = std::move(body);
  return json;
}

template <typename Element>
Json typedArray(const std::vector<Element>& values) {
  Json array = Json::array();
  for (Element v : values) {
    if constexpr (std::is_floating_point_v<Element>) {
      array.push_back(floatTo(v));
    } else {
      array.push_back(v);
    }
  }
  return array;
}

const Json& member(const Json& object, const char* key) {
  static const Json absent;
  auto it = object.find(key);
  return it == object.end() ? absent : *it;
}

void onlyMembers(const Json& object, std::initializer_list<const char*> allowed, const char* what) {
  for (const auto& [key, unused] : object.items()) {
    bool known = false;
    for (const char* name : allowed) known = known || key == name;
    if (!known) throw JsonInputError(std::string(what) + " has an unknown member \"" + key + "\"");
  }
}

}  // namespace

Json parseJson(const std::string& text) {
  try {
    return Json::parse(text, [](int depth, Json::parse_event_t, Json&) {
      if (depth > kMaxJsonDepth) throw JsonInputError("JSON nested too deep");
      return true;
    });
  } catch (const Json::exception& e) {
    // Syntax errors, and numbers that no double holds (1e400 is out_of_range, not a
    // parse_error).
    throw JsonInputError(std::string("bad JSON: ") + e.what());
  }
}

std::string dumpJson(const Json& json) {
  return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

EncodableValue fromPlainJson(const Json& json) {
  return fromPlain(json, 0);
}

Json toPlainJson(const EncodableValue& value) {
  return std::visit(
      [](const auto& v) -> Json {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::monostate>) {
          return nullptr;
        } else if constexpr (std::is_same_v<T, double>) {
          return std::isfinite(v) ? Json(v) : Json();
        } else if constexpr (std::is_same_v<T, EncodableList>) {
          Json array = Json::array();
          for (const auto& element : v) array.push_back(toPlainJson(element));
          return array;
        } else if constexpr (std::is_same_v<T, EncodableMap>) {
          bool stringKeys = true;
          for (const auto& entry : v) {
            stringKeys = stringKeys && std::holds_alternative<std::string>(entry.first);
          }
          if (stringKeys) {
            Json object = Json::object();
            for (const auto& [key, element] : v) {
              object[std::get<std::string>(key)] = toPlainJson(element);
            }
            return object;
          }
          Json pairs = Json::array();
          for (const auto& [key, element] : v) {
            pairs.push_back(Json::array({toPlainJson(key), toPlainJson(element)}));
          }
          return pairs;
        } else if constexpr (std::is_same_v<T, std::vector<uint8_t>> ||
                             std::is_same_v<T, std::vector<int32_t>> ||
                             std::is_same_v<T, std::vector<int64_t>> ||
                             std::is_same_v<T, std::vector<float>> ||
                             std::is_same_v<T, std::vector<double>>) {
          return plainArray(v);
        } else {
          return v;  // bool, int32, int64, string
        }
      },
      static_cast<const host::EncodableVariant&>(value));
}

EncodableValue fromTypedJson(const Json& json) {
  return fromTyped(json, 0);
}

Json toTypedJson(const EncodableValue& value) {
  return std::visit(
      [](const auto& v) -> Json {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::monostate>) {
          return typed("null", nullptr);
        } else if constexpr (std::is_same_v<T, bool>) {
          return typed("bool", v);
        } else if constexpr (std::is_same_v<T, int32_t>) {
          return typed("int32", v);
        } else if constexpr (std::is_same_v<T, int64_t>) {
          return typed("int64", v);
        } else if constexpr (std::is_same_v<T, double>) {
          return typed("float64", floatTo(v));
        } else if constexpr (std::is_same_v<T, std::string>) {
          return typed("string", v);
        } else if constexpr (std::is_same_v<T, std::vector<uint8_t>>) {
          return typed("uint8list", typedArray(v));
        } else if constexpr (std::is_same_v<T, std::vector<int32_t>>) {
          return typed("int32list", typedArray(v));
        } else if constexpr (std::is_same_v<T, std::vector<int64_t>>) {
          return typed("int64list", typedArray(v));
        } else if constexpr (std::is_same_v<T, std::vector<float>>) {
          return typed("float32list", typedArray(v));
        } else if constexpr (std::is_same_v<T, std::vector<double>>) {
          return typed("float64list", typedArray(v));
        } else if constexpr (std::is_same_v<T, EncodableList>) {
          Json array = Json::array();
          for (const auto& element : v) array.push_back(toTypedJson(element));
          return typed("list", std::move(array));
        } else {
          static_assert(std::is_same_v<T, EncodableMap>);
          Json pairs = Json::array();
          for (const auto& [key, element] : v) {
            pairs.push_back(Json::array({toTypedJson(key), toTypedJson(element)}));
          }
          return typed("map", std::move(pairs));
        }
      },
      static_cast<const host::EncodableVariant&>(value));
}

host::MethodCall methodCallFromJson(const Json& json) {
  if (!json.is_object()) invalid("a method call is {\"method\": name, \"args\": typed}", json);
  onlyMembers(json, {"method", "args"}, "the method call");
  const Json& method = member(json, "method");
  if (!method.is_string()) invalid("\"method\" needs a string", method);
  const Json& args = member(json, "args");
  return {method.get<std::string>(), args.is_null() ? EncodableValue() : fromTypedJson(args)};
}

Json methodCallToJson(const host::MethodCall& call) {
  Json json = Json::object();
  json["method"] = call.method;
  json["args"] = toTypedJson(call.arguments);
  return json;
}

host::Bytes envelopeFromJson(const Json& json) {
  if (!json.is_object() || json.size() != 1) {
    invalid("an envelope is {\"result\": typed}, {\"error\": {...}} or {\"notImplemented\": true}",
            json);
  }
  const std::string& kind = json.begin().key();
  const Json& body = json.begin().value();
  if (kind == "result") return host::encodeSuccessEnvelope(fromTypedJson(body));
  if (kind == "notImplemented") {
    if (body != Json(true)) invalid("\"notImplemented\" takes true", body);
    return {};
  }
  if (kind != "error") invalid("unknown envelope \"" + kind + "\"", json);
  if (!body.is_object()) invalid("\"error\" takes {\"code\", \"message\", \"details\"}", body);
  onlyMembers(body, {"code", "message", "details"}, "the error");
  const Json& code = member(body, "code");
  if (!code.is_string()) invalid("the error \"code\" needs a string", code);
  const Json& message = member(body, "message");
  if (!message.is_null() && !message.is_string()) {
    invalid("the error \"message\" needs a string or null", message);
  }
  const Json& details = member(body, "details");
  host::ErrorEnvelope error{
      code.get<std::string>(),
      message.is_string() ? std::optional<std::string>(message.get<std::string>()) : std::nullopt,
      details.is_null() ? EncodableValue() : fromTypedJson(details)};
  return host::encodeErrorEnvelope(error);
}

Json envelopeToJson(host::ByteView reply, JsonForm form) {
  const auto toJson = form == JsonForm::Typed ? &toTypedJson : &toPlainJson;
  Json json = Json::object();
  if (reply.empty()) {
    json["notImplemented"] = true;
    return json;
  }
  auto envelope = host::decodeEnvelope(reply);
  if (auto* result = std::get_if<EncodableValue>(&envelope)) {
    json["result"] = toJson(*result);
    return json;
  }
  const auto& error = std::get<host::ErrorEnvelope>(envelope);
  Json body = Json::object();
  body["code"] = error.code;
  body["message"] = error.message ? Json(*error.message) : Json();
  body["details"] = toJson(error.details);
  json["error"] = std::move(body);
  return json;
}

}  // namespace velmo::cli
