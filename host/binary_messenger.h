// Moves encoded messages between the host and the handlers registered on named channels.
#pragma once

#include <functional>
#include <string>

#include "host/standard_codec.h"

namespace velmo::host {

// Called once with the encoded reply; empty bytes mean "not implemented" (or no handler).
using BinaryReply = std::function<void(Bytes)>;
using BinaryMessageHandler = std::function<void(ByteView message, BinaryReply reply)>;

class BinaryMessenger {
 public:
  virtual ~BinaryMessenger() = default;
  // Installs (or with an empty handler, removes) the handler for |channel|. Handlers are
  // called on the main thread.
  virtual void setMessageHandler(const std::string& channel, BinaryMessageHandler handler) = 0;
  // Delivers |message| to the handler of |channel| on the main thread; |reply| gets its answer.
  virtual void send(const std::string& channel, Bytes message, BinaryReply reply) = 0;
};

}  // namespace velmo::host
