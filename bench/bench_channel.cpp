#include "bench/bench_channel.h"

#include <chrono>
#include <optional>
#include <utility>

#include "host/engine.h"
#include "host/method_channel.h"
#include "host/standard_codec.h"
#include "plugin/velmo_image_tools_plugin.h"

namespace velmo::bench {

ChannelDriver::ChannelDriver() : engine_(std::make_unique<host::Engine>()) {
  VelmoImageToolsPlugin::registerWith(engine_->registrar());
}

ChannelDriver::~ChannelDriver() {
  engine_->removeAllHandlers();
  engine_.reset();
}

host::EncodableMap ChannelDriver::call(const std::string& method,
                                       const host::EncodableMap& arguments, std::string* error) {
  std::optional<host::Bytes> answer;
  host::MethodChannel channel(*engine_, kChannelName);
  channel.invokeMethod({method, host::EncodableValue(arguments)},
                       [&answer](host::Bytes bytes) { answer = std::move(bytes); });
  engine_->mainThread().runUntil([&] { return answer.has_value(); }, std::chrono::minutes(2));
  if (!answer || answer->empty()) {
    *error = answer ? "not implemented" : "no reply";
    return {};
  }
  auto envelope = host::decodeEnvelope(*answer);
  if (auto* failure = std::get_if<host::ErrorEnvelope>(&envelope)) {
    *error = failure->code + ": " + failure->message.value_or("");
    return {};
  }
  auto* map = std::get_if<host::EncodableMap>(&std::get<host::EncodableValue>(envelope));
  if (!map) {
    *error = "reply is not a map";
    return {};
  }
  return std::move(*map);
}

int64_t intEntry(const host::EncodableMap& map, const std::string& key) {
  const host::EncodableValue* value = host::findEntry(map, key);
  if (!value) return -1;
  if (const auto* i = std::get_if<int32_t>(value)) return *i;
  if (const auto* l = std::get_if<int64_t>(value)) return *l;
  return -1;
}

}  // namespace velmo::bench
