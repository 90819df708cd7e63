// JSON on the command line and channel values, both ways.
//
// Two mappings. "Plain" JSON is what a person types for a call and reads in a reply: numbers
// pick their codec type from their value, the way the host's own clients pick it. "Typed"
// JSON names the codec type of every value ({"int64": 5}, {"float32list": [...]}), so that
// any message, envelope or call can be written and read back byte for byte.
#pragma once

#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>

#include "host/encodable_value.h"
#include "host/method_call.h"
#include "host/standard_codec.h"

namespace velmo::cli {

// Keeps object members in the order they were read or added, so that a reply map prints in
// the order the plug-in gave it.
using Json = nlohmann::ordered_json;

// JSON input that does not describe a value: the message says what and where.
class JsonInputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Parses |text| as JSON, refusing trailing text and nesting deeper than the codec accepts.
Json parseJson(const std::string& text);

// The text of |json| on one line, non-ASCII kept as UTF-8. Strings that are not valid UTF-8
// have their bad bytes replaced by U+FFFD.
std::string dumpJson(const Json& json);

// Plain JSON -> value: null, booleans, strings; integers that fit in 32 bits -> int32, other
// integers -> int64 (unsigned ones beyond int64 -> float64); other numbers -> float64;
// arrays -> lists; objects -> maps with string keys.
host::EncodableValue fromPlainJson(const Json& json);

// Value -> plain JSON: typed lists and lists -> arrays; a map whose keys are all strings ->
// an object, any other map -> an array of [key, value] pairs; non-finite floats -> null.
Json toPlainJson(const host::EncodableValue& value);

// Typed JSON: {"null": null}, {"bool": b}, {"int32": n}, {"int64": n}, {"float64": x} (x may
// also be "NaN", "Infinity" or "-Infinity"), {"string": s}, {"uint8list": [...]},
// {"int32list": [...]}, {"int64list": [...]}, {"float32list": [...]}, {"float64list": [...]},
// {"list": [typed, ...]}, {"map": [[typedKey, typedValue], ...]}.
host::EncodableValue fromTypedJson(const Json& json);
Json toTypedJson(const host::EncodableValue& value);

// {"method": name, "args": typed}; "args" may be left out for a call without arguments.
host::MethodCall methodCallFromJson(const Json& json);
Json methodCallToJson(const host::MethodCall& call);

// Which of the two mappings a value is written in.
enum class JsonForm { Plain, Typed };

// {"result": typed}, {"error": {"code": c, "message": m or null, "details": typed}} or
// {"notImplemented": true}, which stands for the empty reply.
host::Bytes envelopeFromJson(const Json& json);
// |reply| is envelope bytes, or empty for not-implemented; the result and the details are
// written in |form| (plain for what a person reads, typed to read them back). Every host
// that shows a reply shows it through this. Throws CodecError.
Json envelopeToJson(host::ByteView reply, JsonForm form = JsonForm::Typed);

}  // namespace velmo::cli
