// An in-process stand-in for the host engine: a messenger whose handlers run on the main
// thread, the main thread's task runner, and a registrar for plug-ins.
//
// The thread that pumps mainThread() is the main thread. send() may be called from any
// thread; the message is delivered by a task on the main thread, and the reply callback is
// called wherever the handler replies (the main thread for a well-behaved plug-in).
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "host/binary_messenger.h"
#include "host/plugin_registrar.h"
#include "host/task_runner.h"

namespace velmo::host {

class Engine : public BinaryMessenger {
 public:
  Engine();
  ~Engine() override;

  TaskRunner& mainThread() { return *mainThread_; }
  PluginRegistrar& registrar() { return *registrar_; }

  void setMessageHandler(const std::string& channel, BinaryMessageHandler handler) override;
  void send(const std::string& channel, Bytes message, BinaryReply reply) override;

  // Drops every handler (and with them the delegates they hold), as when the host lets a
  // plug-in go. Calls already queued on a plug-in still get their replies delivered as long
  // as the main thread is pumped.
  void removeAllHandlers();

 private:
  std::shared_ptr<TaskRunner> mainThread_;
  std::mutex mutex_;
  std::map<std::string, BinaryMessageHandler> handlers_;
  std::unique_ptr<PluginRegistrar> registrar_;
};

}  // namespace velmo::host
