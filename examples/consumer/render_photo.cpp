// Renders a photo through the plug-in, in process, with the host stand-in's engine:
//   render_photo <photo> <destination>   writes <destination>.jpg (or .png), 800 x 600
#include <chrono>
#include <cstdio>
#include <variant>

#include "host/engine.h"
#include "host/method_channel.h"
#include "plugin/velmo_image_tools_plugin.h"

using namespace velmo::host;

// Integers arrive as int32 or int64, by size.
long long integer(const EncodableValue* value) {
  if (const auto* small = std::get_if<int32_t>(value)) return *small;
  return std::get<int64_t>(*value);
}

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: render_photo <photo> <destination>\n");
    return 2;
  }
  Engine engine;  // this thread, pumping engine.mainThread(), is the host's main thread
  velmo::VelmoImageToolsPlugin::registerWith(engine.registrar());
  MethodChannel channel(engine, velmo::kChannelName);

  const EncodableMap recipe{{"crop", EncodableList{0.1, 0.1, 0.8, 0.8}}, {"quarterTurns", 0}};
  const EncodableMap arguments{{"path", argv[1]},
                               {"destination", argv[2]},
                               {"width", 800},
                               {"height", 600},
                               {"recipe", recipe}};
  bool answered = false;
  int status = 1;
  channel.invokeMethod({"render", arguments}, [&](Bytes reply) {
    answered = true;
    if (reply.empty()) return;
    const auto envelope = decodeEnvelope(reply);
    if (const auto* error = std::get_if<ErrorEnvelope>(&envelope)) {
      std::fprintf(stderr, "%s: %s\n", error->code.c_str(), error->message.value_or("").c_str());
      return;
    }
    const auto& result = std::get<EncodableMap>(std::get<EncodableValue>(envelope));
    std::printf("%s %s %lldx%lld, %lld bytes\n",
                std::get<std::string>(*findEntry(result, "path")).c_str(),
                std::get<std::string>(*findEntry(result, "mimeType")).c_str(),
                integer(findEntry(result, "width")), integer(findEntry(result, "height")),
                integer(findEntry(result, "byteSize")));
    status = 0;
  });
  engine.mainThread().runUntil([&] { return answered; }, std::chrono::minutes(2));
  return status;
}
