// The plug-in: registration on the "velmo/image_tools" channel, and dispatch of every call
// to the serial worker, with exactly one reply on the main thread.
#pragma once

#include <memory>

#include "host/plugin_registrar.h"
#include "method/diagnostics.h"

namespace velmo {

// Held by pointer, so that this header (which embedders include) names no private header.
class SerialWorker;
namespace render {
class BlurEngine;
}
namespace codec {
class DecodeCheckpoints;
}

inline constexpr const char* kChannelName = "velmo/image_tools";
inline constexpr const char* kWorkerLabel = "velmo.image.processing";

class VelmoImageToolsPlugin : public host::MethodCallDelegate,
                              public std::enable_shared_from_this<VelmoImageToolsPlugin> {
 public:
  // Makes a plug-in and its channel on |registrar|'s messenger; the registrar keeps the
  // plug-in alive. Each call makes a new plug-in and a new channel. |onDiagnostics|, when
  // given, receives what a call can tell a developer in English (why it failed, what its
  // arguments' reading forgave), on the main thread just before that call's reply, and only
  // for calls with something to tell; it never changes a reply.
  static void registerWith(host::PluginRegistrar& registrar, DiagnosticsHandler onDiagnostics = {});

  explicit VelmoImageToolsPlugin(std::weak_ptr<host::TaskRunner> mainThread,
                                 DiagnosticsHandler onDiagnostics = {});
  ~VelmoImageToolsPlugin() override;

  // On the main thread. An argument value that is not a string-keyed map is answered at once
  // with "PHOTO_ARGUMENTS"; anything else is queued on the worker and answered from there,
  // through the main thread, in call order.
  void handle(const host::MethodCall& call, std::unique_ptr<host::MethodResult> result) override;
  // On the main thread, before the channel's empty reply: the reason goes to the diagnostics.
  void undecodable(const std::string& reason) override;

 private:
  void runWorkItem(const host::MethodCall& call, std::shared_ptr<host::MethodResult> result);

  // The worker is made first and destroyed last, after the blur engine. No call can be using
  // the engine by then: every queued task holds the plug-in alive, so the plug-in is destroyed
  // only once no task is left (on the worker's own thread when the last task lets go of it).
  std::unique_ptr<SerialWorker> worker;
  std::unique_ptr<render::BlurEngine> blurContext;
  // Where the decodes of the long images this plug-in has tiled resume; used on the worker.
  std::unique_ptr<codec::DecodeCheckpoints> tileCheckpoints_;
  std::weak_ptr<host::TaskRunner> mainThread_;
  DiagnosticsHandler onDiagnostics_;
};

}  // namespace velmo
