// What a plug-in sees of the host at registration: the messenger, the main thread, and a
// place to leave its channel delegate, which the registrar keeps alive.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/binary_messenger.h"
#include "host/method_channel.h"
#include "host/task_runner.h"

namespace velmo::host {

class MethodCallDelegate {
 public:
  virtual ~MethodCallDelegate() = default;
  // Called on the main thread for every call on the delegate's channel.
  virtual void handle(const MethodCall& call, std::unique_ptr<MethodResult> result) = 0;
  // Called on the main thread for a message on the channel that is not a method call, just
  // before the channel answers it with the empty reply; |reason| says why, in English.
  virtual void undecodable(const std::string& reason) { (void)reason; }
};

class PluginRegistrar {
 public:
  PluginRegistrar(BinaryMessenger& messenger, std::shared_ptr<TaskRunner> mainThread);
  ~PluginRegistrar();

  BinaryMessenger& messenger() { return messenger_; }
  // The main thread's runner; plug-ins keep only a weak reference to it.
  std::shared_ptr<TaskRunner> mainThread() const { return mainThread_; }

  // Routes the channel's calls to |delegate| and keeps |delegate| alive while the registrar
  // lives (and, through the channel's handler, while the handler is installed).
  void addMethodCallDelegate(std::shared_ptr<MethodCallDelegate> delegate, MethodChannel& channel);

 private:
  BinaryMessenger& messenger_;
  std::shared_ptr<TaskRunner> mainThread_;
  std::vector<std::shared_ptr<MethodCallDelegate>> delegates_;
};

}  // namespace velmo::host
