#include "host/plugin_registrar.h"

namespace velmo::host {

PluginRegistrar::PluginRegistrar(BinaryMessenger& messenger, std::shared_ptr<TaskRunner> mainThread)
    : messenger_(messenger), mainThread_(std::move(mainThread)) {}

PluginRegistrar::~PluginRegistrar() = default;

void PluginRegistrar::addMethodCallDelegate(std::shared_ptr<MethodCallDelegate> delegate,
                                            MethodChannel& channel) {
  delegates_.push_back(delegate);
  channel.setMethodCallHandler(
      [delegate](const MethodCall& call, std::unique_ptr<MethodResult> result) {
        delegate->handle(call, std::move(result));
      },
      [delegate](const std::string& reason) { delegate->undecodable(reason); });
}

}  // namespace velmo::host
