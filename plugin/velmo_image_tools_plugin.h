// The plug-in: registration on the "velmo/image_tools" channel, and dispatch of every call
// to the serial worker, with exactly one reply on the main thread.
#pragma once

#include <memory>

#include "host/plugin_registrar.h"

namespace velmo {

// Held by pointer, so that this header (which embedders include) names no private header.
class SerialWorker;
namespace draw {
class BlurContext;
}
namespace platform {
class DecodeCheckpoints;
}

inline constexpr const char* kChannelName = "velmo/image_tools";
inline constexpr const char* kWorkerLabel = "velmo.image.processing";

class VelmoImageToolsPlugin : public host::MethodCallDelegate,
                              public std::enable_shared_from_this<VelmoImageToolsPlugin> {
 public:
  // Makes a plug-in and its channel on |registrar|'s messenger; the registrar keeps the
  // plug-in alive. Each call makes a new plug-in and a new channel.
  static void registerWith(host::PluginRegistrar& registrar);

  explicit VelmoImageToolsPlugin(std::weak_ptr<host::TaskRunner> mainThread);
  ~VelmoImageToolsPlugin() override;

  // On the main thread. An argument value that is not a string-keyed map is answered at once
  // with "PHOTO_ARGUMENTS"; anything else is queued on the worker and answered from there,
  // through the main thread, in call order.
  void handle(const host::MethodCall& call, std::unique_ptr<host::MethodResult> result) override;

 private:
  void runWorkItem(const host::MethodCall& call, std::shared_ptr<host::MethodResult> result);

  // Declared in this order so that worker is made first and destroyed last: the blur engine
  // is never destroyed under a running call.
  std::unique_ptr<SerialWorker> worker;
  std::unique_ptr<draw::BlurContext> blurContext;
  // Where the decodes of the long images this plug-in has tiled resume; used on the worker.
  std::unique_ptr<platform::DecodeCheckpoints> tileCheckpoints;
  std::weak_ptr<host::TaskRunner> mainThread_;
};

}  // namespace velmo
