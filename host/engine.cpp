#include "host/engine.h"

namespace velmo::host {

Engine::Engine()
    : mainThread_(std::make_shared<TaskRunner>()),
      registrar_(std::make_unique<PluginRegistrar>(*this, mainThread_)) {}

Engine::~Engine() {
  registrar_.reset();
  removeAllHandlers();
}

void Engine::setMessageHandler(const std::string& channel, BinaryMessageHandler handler) {
  std::lock_guard lock(mutex_);
  if (handler) {
    handlers_[channel] = std::move(handler);
  } else {
    handlers_.erase(channel);
  }
}

void Engine::removeAllHandlers() {
  std::map<std::string, BinaryMessageHandler> dropped;
  {
    std::lock_guard lock(mutex_);
    dropped.swap(handlers_);
  }
}

void Engine::send(const std::string& channel, Bytes message, BinaryReply reply) {
  mainThread_->post([this, channel, message = std::move(message), reply = std::move(reply)] {
    BinaryMessageHandler handler;
    {
      std::lock_guard lock(mutex_);
      auto it = handlers_.find(channel);
      if (it != handlers_.end()) handler = it->second;
    }
    if (!handler) {
      reply(Bytes());
      return;
    }
    handler(message, reply);
  });
}

}  // namespace velmo::host
