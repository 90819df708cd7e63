#include "plugin/velmo_image_tools_plugin.h"

#include <cassert>
#include <exception>
#include <system_error>
#include <variant>

#include "codec/window_decoder.h"
#include "method/arguments.h"
#include "method/error.h"
#include "plugin/serial_worker.h"
#include "render/blur_engine.h"
#include "render/render.h"
#include "source/image_source.h"
#include "tile/tile.h"

namespace velmo {
namespace {

struct NotImplemented {};
struct Failure {
  std::string message;
};
using Outcome = std::variant<host::EncodableMap, Failure, NotImplemented>;

std::string_view unexpectedFailureMessage(const std::string& method) {
  if (method == "render") return method::messages::kOutputOutOfRange;
  if (method == "tile") return method::messages::kCannotCreateTile;
  return method::messages::kUnreadableImage;
}

}  // namespace

void VelmoImageToolsPlugin::registerWith(host::PluginRegistrar& registrar,
                                         DiagnosticsHandler onDiagnostics) {
  auto plugin =
      std::make_shared<VelmoImageToolsPlugin>(registrar.mainThread(), std::move(onDiagnostics));
  host::MethodChannel channel(registrar.messenger(), kChannelName);
  registrar.addMethodCallDelegate(std::move(plugin), channel);
}

VelmoImageToolsPlugin::VelmoImageToolsPlugin(std::weak_ptr<host::TaskRunner> mainThread,
                                             DiagnosticsHandler onDiagnostics)
    : worker(std::make_unique<SerialWorker>(kWorkerLabel)),
      blurContext(std::make_unique<render::BlurEngine>()),
      tileCheckpoints_(std::make_unique<codec::DecodeCheckpoints>()),
      mainThread_(std::move(mainThread)),
      onDiagnostics_(std::move(onDiagnostics)) {}

VelmoImageToolsPlugin::~VelmoImageToolsPlugin() = default;

void VelmoImageToolsPlugin::handle(const host::MethodCall& call,
                                   std::unique_ptr<host::MethodResult> result) {
  // The host delivers calls on its main thread, and replies are given there too.
  assert(mainThread_.expired() || mainThread_.lock()->isCurrentThread());
  if (!method::isArgumentMap(call.arguments)) {
    if (onDiagnostics_) {
      Diagnostics diagnostics{call.method, {}, {}};
      diagnostics.reason = call.method + ": the arguments are " +
                           method::describeValue(call.arguments) + ", not a map with string keys";
      onDiagnostics_(diagnostics);
    }
    result->error(std::string(method::kArgumentsErrorCode),
                  std::string(method::messages::kInvalidArguments));
    return;
  }
  // The task must be copyable; the result is still used exactly once.
  std::shared_ptr<host::MethodResult> shared(std::move(result));
  worker->submit([self = shared_from_this(), call, shared] { self->runWorkItem(call, shared); });
}

void VelmoImageToolsPlugin::undecodable(const std::string& reason) {
  if (onDiagnostics_) onDiagnostics_(Diagnostics{{}, reason, {}});
}

void VelmoImageToolsPlugin::runWorkItem(const host::MethodCall& call,
                                        std::shared_ptr<host::MethodResult> result) {
  Outcome outcome = NotImplemented{};
  Diagnostics diagnostics{call.method, {}, {}};
  const std::string prefix = call.method + ": ";
  try {
    const auto& arguments = std::get<host::EncodableMap>(call.arguments);
    if (call.method == "metadata") {
      outcome = source::metadata(arguments);
    } else if (call.method == "render") {
      outcome = render::render(arguments, *blurContext, diagnostics);
    } else if (call.method == "tile") {
      outcome = tile::tile(arguments, tileCheckpoints_.get());
    }
  } catch (const method::PluginError& e) {
    outcome = Failure{e.message()};
    diagnostics.reason = prefix + e.reason();
  } catch (const std::system_error& e) {
    // The file system's own reason: what() names the operation, the path and the cause.
    outcome = Failure{e.what()};
    diagnostics.reason = prefix + e.what();
  } catch (const std::exception& e) {
    // Anything else (memory that a step did not expect to run out of, a library's own
    // exception) is never shown as it is: the caller gets the method's catalogue message.
    outcome = Failure{std::string(unexpectedFailureMessage(call.method))};
    diagnostics.reason = prefix + "unexpected failure: " + e.what();
  } catch (...) {
    outcome = Failure{std::string(unexpectedFailureMessage(call.method))};
    diagnostics.reason = prefix + "unexpected failure";
  }

  auto mainThread = mainThread_.lock();
  if (!mainThread) return;  // the host has gone; there is nobody to answer
  // The handler goes with the reply only when there is something to tell.
  DiagnosticsHandler tell = diagnostics.empty() ? DiagnosticsHandler() : onDiagnostics_;
  mainThread->post([result = std::move(result), outcome = std::move(outcome),
                    diagnostics = std::move(diagnostics), tell = std::move(tell)] {
    if (tell) tell(diagnostics);
    if (auto* map = std::get_if<host::EncodableMap>(&outcome)) {
      result->success(*map);
    } else if (auto* failure = std::get_if<Failure>(&outcome)) {
      result->error(std::string(method::kProcessingErrorCode), failure->message);
    } else {
      result->notImplemented();
    }
  });
}

}  // namespace velmo
